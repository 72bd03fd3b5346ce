// SignConfig: which files a directory scan leaves out of a manifest.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_SIGN_CONFIG_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_SIGN_CONFIG_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bnq::sign {

struct SignConfig {
  // Glob patterns ("." literal, "?" any one character, "*" any run of characters, "/" included; every other
  // character keeps its ECMAScript regular-expression meaning). A file whose relative path or file name
  // matches one whole is left out. Patterns that do not compile are passed over.
  std::vector<std::string> exclude_patterns;
  // Relative paths of files to leave out, compared element by element (sub//a equals sub/a; sub/a/ does not).
  std::vector<std::filesystem::path> exclude_paths;
  // Files larger than this many bytes are left out; 0: no limit.
  uint64_t max_file_size = 0;
  // Read by no operation.
  bool reserved_flag = false;
  // When false, files whose own name begins with "." are left out.
  bool include_hidden = false;

  // True when `relative` (relative to the scanned directory) is one of exclude_paths or matches one of
  // exclude_patterns. Exact paths are tried first; each pattern is compiled anew on every call.
  bool shouldExclude(const std::filesystem::path& relative) const;
};

// The ECMAScript regular expression of a glob pattern: "." becomes "\.", "?" becomes ".", "*" becomes ".*",
// every other character is copied.
std::string globToRegex(const std::string& glob);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_SIGN_CONFIG_H_
