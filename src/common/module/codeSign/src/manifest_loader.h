// ManifestLoader: reads a stored Manifest back from its JSON file.
#ifndef BNQ_SIGN_MANIFEST_LOADER_H_
#define BNQ_SIGN_MANIFEST_LOADER_H_

#include <filesystem>
#include <istream>
#include <optional>

#include "codeSign/src/records.h"

namespace bnq::sign {

class ManifestLoader {
 public:
  // The manifest in `in` (default reader settings, then Manifest::fromJson, nothing else validated). Empty
  // when it does not parse or convert (a root that is an array, a number or a text); a null root gives the
  // defaults. Never throws.
  static std::optional<Manifest> parse(std::istream& in);
  // parse() of the file at `file`; empty also when it cannot be opened.
  static std::optional<Manifest> load(const std::filesystem::path& file);
  // load() of `directory`/meta-inf/manifest.json. Empty when that file does not exist (a dangling link
  // included) or is not a regular file; a status query that fails for another reason throws
  // std::filesystem::filesystem_error.
  static std::optional<Manifest> loadFromDirectory(const std::filesystem::path& directory);
};

}  // namespace bnq::sign

#endif  // BNQ_SIGN_MANIFEST_LOADER_H_
