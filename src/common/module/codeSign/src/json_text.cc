#include "codeSign/src/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

namespace bnq::sign {

std::string canonicalJson(const Json::Value& value) {
  const Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

std::optional<Json::Value> parseJson(std::istream& in) {
  const Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errors;
  try {
    if (!Json::parseFromStream(builder, in, &root, &errors)) return std::nullopt;
  } catch (const Json::Exception&) {
    // The reader throws rather than reporting when nesting passes its stack limit.
    return std::nullopt;
  }
  return root;
}

}  // namespace bnq::sign
