#include "codeSign/src/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <sstream>
#include <string_view>
#include <utility>

#include "codeSign/src/internal/utf8.h"

namespace bnq::sign {

namespace {

std::string_view textOf(const Json::Value& value) {
  const char* begin = nullptr;
  const char* end = nullptr;
  if (!value.getString(&begin, &end)) return {};
  return std::string_view(begin, static_cast<size_t>(end - begin));
}

// Whether a text or a member name anywhere in `value` is not valid UTF-8.
bool holdsInvalidText(const Json::Value& value) {
  if (value.isString()) return !isValidUtf8(textOf(value));
  if (value.isArray()) {
    for (const Json::Value& element : value) {
      if (holdsInvalidText(element)) return true;
    }
  } else if (value.isObject()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      const char* end = nullptr;
      const char* name = it.memberName(&end);
      if (!isValidUtf8(std::string_view(name, static_cast<size_t>(end - name))) || holdsInvalidText(*it)) {
        return true;
      }
    }
  }
  return false;
}

// Replaces, in place, every text and member name of `value` by withValidUtf8 of it; comments stay.
void replaceInvalidTexts(Json::Value& value) {
  if (value.isString()) {
    const std::string_view text = textOf(value);
    if (isValidUtf8(text)) return;
    Json::Value valid(withValidUtf8(text));
    value.swapPayload(valid);
  } else if (value.isArray()) {
    for (Json::Value& element : value) replaceInvalidTexts(element);
  } else if (value.isObject()) {
    for (const std::string& name : value.getMemberNames()) {
      replaceInvalidTexts(value[name]);
      if (isValidUtf8(name)) continue;
      Json::Value member;
      value.removeMember(name, &member);
      value[withValidUtf8(name)] = std::move(member);
    }
  }
}

}  // namespace

std::string writeJson(const Json::StreamWriterBuilder& builder, const Json::Value& value) {
  if (!holdsInvalidText(value)) return Json::writeString(builder, value);
  Json::Value valid = value;
  replaceInvalidTexts(valid);
  return Json::writeString(builder, valid);
}

std::string canonicalJson(const Json::Value& value) {
  const Json::StreamWriterBuilder builder;
  return writeJson(builder, value);
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
