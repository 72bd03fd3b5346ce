#include "codeSign/src/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <sstream>

namespace bnq::sign {

std::string canonicalJson(const Json::Value& value) {
  const Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

std::optional<Json::Value> parseJson(const char* data, size_t size) {
  // The reader that Json::parseFromStream builds, run over the bytes where they lie; parseFromStream itself
  // would first copy the whole text out of the stream.
  const Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  try {
    if (!reader->parse(data, data + size, &root, &errors)) return std::nullopt;
  } catch (const Json::Exception&) {
    // The reader throws rather than reporting when nesting passes its stack limit.
    return std::nullopt;
  }
  return root;
}

std::optional<Json::Value> parseJson(std::istream& in) {
  // What Json::parseFromStream does: the whole stream into one text, then the same reader over it.
  std::ostringstream text;
  text << in.rdbuf();
  const std::string bytes = text.str();
  return parseJson(bytes.data(), bytes.size());
}

}  // namespace bnq::sign
