#include "codeSign/src/internal/utf8.h"

#include <cstddef>

namespace bnq::sign {

bool isValidUtf8(std::string_view text) noexcept {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The length of the sequence and the range of its second byte, which alone rules out overlong forms,
    // surrogates and values above U+10FFFF; every later byte is a plain continuation byte 80-BF.
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead == 0xE0) {
      length = 3, low = 0xA0;
    } else if (lead == 0xED) {
      length = 3, high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      length = 3;
    } else if (lead == 0xF0) {
      length = 4, low = 0x90;
    } else if (lead == 0xF4) {
      length = 4, high = 0x8F;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      length = 4;
    } else {
      return false;  // a continuation byte, C0, C1 or F5 to FF
    }
    if (size - i < length) return false;
    if (byte(i + 1) < low || byte(i + 1) > high) return false;
    for (size_t k = 2; k < length; ++k) {
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace bnq::sign
