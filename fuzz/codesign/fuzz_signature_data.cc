// Feeds arbitrary bytes to SignatureData::deserialize, the reader of the ".tolsec" section content. Whatever
// it accepts must survive serialize and a second deserialize unchanged.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using bnq::sign::SignatureData;
  const std::vector<uint8_t> bytes(data, data + size);
  const std::optional<SignatureData> first = SignatureData::deserialize(bytes);
  if (!first) return 0;

  const std::optional<SignatureData> second = SignatureData::deserialize(first->serialize());
  if (!second) {
    // Only a payload version read from a negative number cannot be read back.
    if (first->payload.version <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) __builtin_trap();
    return 0;
  }
  if (second->version != first->version || second->signature != first->signature) __builtin_trap();
  if (bnq::sign::canonicalJson(second->payload.toJson()) != bnq::sign::canonicalJson(first->payload.toJson())) {
    __builtin_trap();
  }
  return 0;
}
