#include "codeSign/src/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <streambuf>

namespace bnq::sign {
namespace {

// A read-only stream buffer over bytes that someone else owns.
class MemoryBuffer : public std::streambuf {
 public:
  MemoryBuffer(const char* data, size_t size) {
    // The get area is only read: putting back a character that matches moves the pointer and writes nothing.
    char* begin = const_cast<char*>(data);
    setg(begin, begin, begin + size);
  }
};

}  // namespace

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

std::optional<Json::Value> parseJson(const char* data, size_t size) {
  MemoryBuffer buffer(data, size);
  std::istream in(&buffer);
  return parseJson(in);
}

}  // namespace bnq::sign
