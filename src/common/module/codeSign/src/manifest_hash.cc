// Manifest::computeHash: the 64-bit polynomial hash of a manifest's canonical JSON text.

#include <cstdio>

#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"

namespace bnq::sign {

std::string polynomialHashHex(const std::string& text) {
  uint64_t h = 0;
  for (const char c : text) {
    // Each byte counts as a signed 8-bit value widened to 64 bits (0xC3 adds 0xC3 - 256).
    const auto widened = static_cast<int64_t>(static_cast<int8_t>(c));
    h = h * 31 + static_cast<uint64_t>(widened);
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return std::string(hex, 16);
}

std::string Manifest::computeHash() const { return polynomialHashHex(canonicalJson(toJson())); }

}  // namespace bnq::sign
