// ManifestLoader: reads a stored Manifest back from its JSON file.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_LOADER_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>

#include "codeSign/src/records.h"

namespace bnq::sign {

// A manifest file larger than this is unreadable, decided from its status before any byte is read. The
// generator writes about 200 bytes per file, so 500,000 files with paths of up to about 100 bytes fit.
inline constexpr uint64_t kMaxManifestSize = uint64_t{128} << 20;
// A manifest text that costs more than this, or holds a text (a path, a hash) longer than
// kMaxManifestTextLength, is unreadable too, decided before it is parsed. The cost counts each value 1, 1
// more when it is a member or an element, 1 more when it is an object or an array, and 1 per comment and per
// "/" in a text (JsonCpp's tree and the manifest hold a node, a map or a path element for each): each costs
// up to about 90 bytes of memory, so a check holds less than 1 GiB. The generator writes 11 of them, and one
// more per directory level, for each file: 500,000 files three levels deep fit.
inline constexpr uint64_t kMaxManifestElements = 7500000;
// No path that can be opened comes near it (PATH_MAX is 4096), nor does it when every byte is written as a
// \u escape.
inline constexpr size_t kMaxManifestTextLength = 65536;

class ManifestLoader {
 public:
  // The manifest in `in` (default reader settings, then Manifest::fromJson, nothing else validated). Empty
  // when the text holds more than the bounds above (kMaxManifestElements, kMaxManifestTextLength), does not
  // parse or does not convert (a root that is an array, a number or a text); a null root gives the
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
