// Parses arbitrary text with the library's JSON reader and converts it into each record. A conversion may
// refuse the value only with JsonCpp's exception; a record that was read must write and read back the same.
// The input taken as one JSON string must write and read back to the same bytes exactly when it is valid
// UTF-8, which is what lets a signature over the canonical text stand for valid signed texts alone.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>

#include <json/value.h>

#include "codeSign/src/internal/utf8.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"

namespace {

using bnq::sign::canonicalJson;

// Reads `value` as a Record, then checks that its JSON form reads back to the same canonical text.
template <typename Record>
void roundTrip(const Json::Value& value) {
  std::optional<Record> record;
  try {
    record = Record::fromJson(value);
  } catch (const Json::Exception&) {
    return;
  }
  const std::string text = canonicalJson(record->toJson());
  try {
    if (canonicalJson(Record::fromJson(record->toJson()).toJson()) != text) __builtin_trap();
  } catch (const Json::Exception&) {
    // A version read from a negative number is written unsigned and cannot be read back; nothing else may fail.
    if constexpr (std::is_same_v<Record, bnq::sign::Certificate> || std::is_same_v<Record, bnq::sign::ManifestEntry>) {
      __builtin_trap();
    } else {
      if (record->version <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string written = canonicalJson(Json::Value(raw));
  const std::optional<Json::Value> read_back = bnq::sign::parseJson(written.data(), written.size());
  const bool same = read_back && read_back->isString() && read_back->asString() == raw;
  if (same != bnq::sign::isValidUtf8(raw)) __builtin_trap();

  std::istringstream in(raw);
  const std::optional<Json::Value> value = bnq::sign::parseJson(in);
  if (!value) return 0;
  canonicalJson(*value);
  roundTrip<bnq::sign::Certificate>(*value);
  roundTrip<bnq::sign::SignaturePayload>(*value);
  roundTrip<bnq::sign::ManifestEntry>(*value);
  roundTrip<bnq::sign::Manifest>(*value);
  if (value->isObject() && value->isMember("payload")) roundTrip<bnq::sign::SignaturePayload>((*value)["payload"]);
  return 0;
}
