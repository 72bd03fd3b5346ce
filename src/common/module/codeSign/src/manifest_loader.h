// ManifestLoader: reads a stored Manifest back from its JSON file.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_LOADER_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_LOADER_H_

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>

#include "codeSign/src/records.h"

namespace bnq::sign {

// A manifest file larger than this (far above that of any genuine tree) is unreadable, decided from its
// status before any byte is read.
inline constexpr uint64_t kMaxManifestSize = uint64_t{256} << 20;

class ManifestLoader {
 public:
  // The manifest in `in` (default reader settings, then Manifest::fromJson, nothing else validated). Empty
  // when it does not parse or convert (a root that is an array, a number or a text); a null root gives the
  // defaults. Never throws.
  static std::optional<Manifest> parse(std::istream& in);
  // parse() of the file at `file`, opened once (OpenedFile); empty also when it cannot be opened, is not a
  // regular file (a FIFO, a socket or a device is never opened for reading) or is larger than
  // kMaxManifestSize. Never throws.
  static std::optional<Manifest> load(const std::filesystem::path& file);
  // load() of `directory`/meta-inf/manifest.json, except that when the file cannot be opened, its status
  // is read: empty when it does not exist (a dangling link included) or cannot be opened, and
  // std::filesystem::filesystem_error when the status cannot be read for another reason.
  static std::optional<Manifest> loadFromDirectory(const std::filesystem::path& directory);
};

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_LOADER_H_
