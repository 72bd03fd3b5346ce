// The JSON texts of the library: the canonical text that signatures and hashes are defined over, and the
// reader settings for every JSON text that comes from a file or a section.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_JSON_TEXT_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_JSON_TEXT_H_

#include <cstddef>
#include <istream>
#include <optional>
#include <string>

#include <json/value.h>
#include <json/writer.h>

namespace bnq::sign {

// Json::writeString of `value` with `builder`, every text and member name first made valid UTF-8 by
// withValidUtf8 (internal/utf8.h): with the default "emitUTF8" false, a character outside ASCII is written
// as a \u escape of its code point (two for one above U+FFFF) and each invalid sequence as \ufffd, byte
// for byte as JsonCpp writes that character. (JsonCpp itself would write a cut sequence as a character made
// of the bytes after it, and a value above U+10FFFF as two wrong escapes.) Member names that differ only
// in invalid sequences become one member. Every JSON text the library writes goes through here.
std::string writeJson(const Json::StreamWriterBuilder& builder, const Json::Value& value);

// The canonical JSON text of `value`: writeJson with a default-constructed Json::StreamWriterBuilder (TAB
// indentation, keys in byte order, non-ASCII as \u escapes, no final line break). Signed messages,
// section payloads and the manifest hash are defined over this text, so any change to it changes the
// formats.
std::string canonicalJson(const Json::Value& value);

// Parses one JSON value from `in` with a default-constructed Json::CharReaderBuilder (comments and
// trailing commas allowed, a leading byte-order mark skipped, text after the first value ignored, any
// root type, nesting limited to 1000). Empty when the text does not parse, including an empty text and
// nesting past the limit.
std::optional<Json::Value> parseJson(std::istream& in);
// The same over `size` bytes at `data`, read where they lie (the bytes are not copied first).
std::optional<Json::Value> parseJson(const char* data, size_t size);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_JSON_TEXT_H_
