#include "codeSign/src/internal/utf8.h"

#include <cstddef>

namespace bnq::sign {

namespace {

// The length of the valid sequence at `i`, or 0 when the sequence there is invalid.
size_t validSequenceAt(std::string_view text, size_t i) noexcept {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
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
    return 0;  // a continuation byte, C0, C1 or F5 to FF
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// The length of the invalid sequence at `i` (see withValidUtf8): at least 1.
size_t invalidSequenceAt(std::string_view text, size_t i) noexcept {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t announced = lead >= 0xC0 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xF0 && lead <= 0xF7 ? 4 : 1;
  size_t length = 1;
  while (length < announced && i + length < text.size() &&
         (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) noexcept {
  for (size_t i = 0; i < text.size();) {
    const size_t length = validSequenceAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string withValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = validSequenceAt(text, i);
    if (length != 0) {
      out.append(text.substr(i, length));
    } else {
      length = invalidSequenceAt(text, i);
      out.append("\xEF\xBF\xBD");
    }
    i += length;
  }
  return out;
}

}  // namespace bnq::sign
