// Strict UTF-8 validation, and the reason it exists: only valid texts survive the canonical JSON text;
// and how JSON texts write what is not valid.
#include <gtest/gtest.h>

#include <string>

#include <json/value.h>

#include "codeSign/src/internal/utf8.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/tolvane_check.h"
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

// How every JSON text of the library writes a text: a character outside ASCII as the \u escape of its
// code point (a surrogate pair above U+FFFF), and each malformed or overlong sequence as \ufffd, the bytes
// after it standing as they are.
TEST(Utf8, JsonTextsWriteInvalidSequencesAsReplacementCharacters) {
  const struct {
    const char* what;
    std::string text;
    const char* written;  // between the quotes
  } cases[] = {
      {"a word", "Caf\xc3\xa9", "Caf\\u00e9"},
      {"U+FFFD itself", "\xef\xbf\xbd", "\\ufffd"},
      {"U+10000 and U+10FFFF", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\\ud800\\udc00\\udbff\\udfff"},
      {"a cut sequence before ASCII", "bad\xc3\x28", "bad\\ufffd("},
      {"a lone continuation byte", "a\x80" "b", "a\\ufffdb"},
      {"two lone continuation bytes", "\x80\xbf", "\\ufffd\\ufffd"},
      {"a cut two-byte sequence at the end", "Caf\xc3", "Caf\\ufffd"},
      {"a cut three-byte sequence", "\xe2\x82x", "\\ufffdx"},
      {"a cut three-byte sequence at the end", "\xe2\x82", "\\ufffd"},
      {"a cut four-byte sequence", "\xf0\x90\x80" "a", "\\ufffda"},
      {"a cut sequence before a whole one", "\xc3\xc3\xa9", "\\ufffd\\u00e9"},
      {"a cut surrogate before a whole sequence", "\xed\xa0\xe2\x82\xac", "\\ufffd\\u20ac"},
      {"overlong C0", "\xc0\xaf!", "\\ufffd!"},
      {"overlong C1", "\xc1\xbf", "\\ufffd"},
      {"overlong three bytes", "\xe0\x9f\xbf", "\\ufffd"},
      {"overlong four bytes", "\xf0\x8f\xbf\xbf", "\\ufffd"},
      {"the first surrogate", "\xed\xa0\x80", "\\ufffd"},
      {"the last surrogate", "\xed\xbf\xbf", "\\ufffd"},
      {"U+110000", "\xf4\x90\x80\x80", "\\ufffd"},
      {"lead byte F5", "\xf5\x80\x80\x80", "\\ufffd"},
      {"byte F8 and a continuation byte", "\xf8\x80", "\\ufffd\\ufffd"},
      {"byte FF", "\xff", "\\ufffd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string quoted = std::string("\"") + c.written + "\"";
    EXPECT_EQ(canonicalJson(Json::Value(c.text)), quoted);
    Json::Value object(Json::objectValue);
    object[c.text] = c.text;
    EXPECT_EQ(canonicalJson(object), "{\n\t" + quoted + " : " + quoted + "\n}") << "a member name alike";
    // The export of a check result, compact and pretty, as a file of that name added to a tree gives it.
    TolvaneCheckResult result;
    result.is_directory = true;
    result.added = {c.text};
    for (const std::string& exported : {exportSignatureInfo(result), exportSignatureInfoPretty(result)}) {
      EXPECT_NE(exported.find(quoted), std::string::npos) << exported;
    }
  }
}

}  // namespace
}  // namespace bnq::sign
