// Strict UTF-8 validation, and the reason it exists: only valid texts survive the canonical JSON text.
#include <gtest/gtest.h>

#include <string>

#include <json/value.h>

#include "codeSign/src/internal/utf8.h"
#include "codeSign/src/json_text.h"
#include "test_support.h"

namespace bnq::sign {
namespace {

// Whether the canonical JSON text of `text` reads back to the same bytes.
bool survivesCanonicalJson(const std::string& text) {
  return testing::parse(canonicalJson(Json::Value(text))).asString() == text;
}

TEST(Utf8, ValidAndInvalidSequences) {
  const struct {
    const char* what;
    std::string text;
    bool valid;
  } cases[] = {
      {"empty", "", true},
      {"ASCII with a NUL and DEL", std::string("a\0b\x7f", 4), true},
      {"U+0080 and U+07FF", "\xc2\x80\xdf\xbf", true},
      {"U+0800", "\xe0\xa0\x80", true},
      {"U+D7FF and U+E000 around the surrogates", "\xed\x9f\xbf\xee\x80\x80", true},
      {"U+FFFD and U+FFFF", "\xef\xbf\xbd\xef\xbf\xbf", true},
      {"U+10000 and U+10FFFF", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", true},
      {"a word", "Caf\xc3\xa9", true},
      {"a stray continuation byte", "a\x80", false},
      {"a wrong continuation byte", "Caf\xc3)", false},
      {"a cut two-byte sequence", "Caf\xc3", false},
      {"a cut three-byte sequence", "\xe2\x82", false},
      {"a cut four-byte sequence, then ASCII", "\xf0\x90\x80" "a", false},
      {"a bad third byte", "\xe2\x82(", false},
      {"a bad fourth byte", "\xf0\x90\x80(", false},
      {"overlong C0", "\xc0\xaf", false},
      {"overlong C1", "\xc1\xbf", false},
      {"overlong three bytes", "\xe0\x9f\xbf", false},
      {"overlong four bytes", "\xf0\x8f\xbf\xbf", false},
      {"the first surrogate", "\xed\xa0\x80", false},
      {"the last surrogate", "\xed\xbf\xbf", false},
      {"U+110000", "\xf4\x90\x80\x80", false},
      {"lead byte F5", "\xf5\x80\x80\x80", false},
      {"byte FF", "\xff", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.text), c.valid) << c.what;
    EXPECT_EQ(survivesCanonicalJson(c.text), c.valid) << c.what;
  }
}

}  // namespace
}  // namespace bnq::sign
