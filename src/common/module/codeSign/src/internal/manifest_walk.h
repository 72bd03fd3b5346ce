// The directory walk behind ManifestGenerator::scanDirectory, and the rescan of the directory check, which
// lists a signed tree by the same rules but must see all of it.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_MANIFEST_WALK_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_MANIFEST_WALK_H_

#include <filesystem>
#include <vector>

#include "codeSign/src/sign_config.h"

namespace bnq::sign {

// Appends to `files` what ManifestGenerator::scanDirectory lists under `config` (its scan rules), walking
// `it`, already opened on `directory`, to its end. Errors of the walk leave as scanDirectory says.
void appendListedFiles(std::filesystem::recursive_directory_iterator& it, const std::filesystem::path& directory,
                       const SignConfig& config, std::vector<std::filesystem::path>& files);

// ManifestGenerator(config).scanDirectory for a check that must see the whole tree: a `directory` that
// exists but cannot be listed throws std::filesystem::filesystem_error as a subdirectory does; only a
// missing one (or a file where a directory should be) yields nothing. Lists paths only: nothing is opened
// or hashed.
void scanWholeDirectory(const SignConfig& config, const std::filesystem::path& directory,
                        std::vector<std::filesystem::path>& files);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_MANIFEST_WALK_H_
