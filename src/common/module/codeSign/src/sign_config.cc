#include "codeSign/src/sign_config.h"

#include <regex>

namespace bnq::sign {

std::string globToRegex(const std::string& glob) {
  std::string out;
  out.reserve(glob.size() * 2);
  for (const char c : glob) {
    switch (c) {
      case '.':
        out += "\\.";
        break;
      case '?':
        out += '.';
        break;
      case '*':
        out += ".*";
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

bool SignConfig::shouldExclude(const std::filesystem::path& relative) const {
  for (const std::filesystem::path& excluded : exclude_paths) {
    if (relative == excluded) return true;
  }
  const std::string& text = relative.native();
  const std::string name = relative.filename().native();
  for (const std::string& pattern : exclude_patterns) {
    try {
      const std::regex expression(globToRegex(pattern), std::regex::ECMAScript);
      if (std::regex_match(text, expression) || std::regex_match(name, expression)) return true;
    } catch (const std::regex_error&) {
      // An invalid expression (an unclosed "(" or "[") or one too complex to match: passed over.
    }
  }
  return false;
}

}  // namespace bnq::sign
