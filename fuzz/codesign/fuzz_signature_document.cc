// Reads arbitrary text as a signature document. The reader must never throw; a document it accepts must
// write and read back to the same signature data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include <json/value.h>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/signature_document.h"
#include "codeSign/src/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const std::optional<bnq::sign::SignatureData> read = bnq::sign::parseSignatureDocument(in);
  if (!read) return 0;
  // A version read from a negative number is stored unsigned; written out, it cannot be read back.
  constexpr auto kReadable = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
  if (read->version > kReadable || read->payload.version > kReadable) return 0;
  Json::Value doc(Json::objectValue);
  doc["version"] = read->version;
  doc["signature"] = bnq::sign::crypto::bytesToHex(read->signature);
  doc["payload"] = read->payload.toJson();
  std::istringstream again(bnq::sign::canonicalJson(doc));
  const std::optional<bnq::sign::SignatureData> back = bnq::sign::parseSignatureDocument(again);
  if (!back || back->signature != read->signature ||
      bnq::sign::canonicalJson(back->payload.toJson()) != bnq::sign::canonicalJson(read->payload.toJson())) {
    std::abort();
  }
  return 0;
}
