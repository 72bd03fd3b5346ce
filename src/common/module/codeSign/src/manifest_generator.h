// ManifestGenerator: walks a directory under a SignConfig and builds the Manifest of its regular files.
// The signing side writes its result as "meta-inf/manifest.json"; the directory check rescans with it.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_GENERATOR_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_GENERATOR_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "codeSign/src/records.h"
#include "codeSign/src/sign_config.h"

namespace bnq::sign {

class ManifestGenerator {
 public:
  // Called once per listed file after it was handled: its relative path, the files handled so far
  // (1-based) and the number listed.
  using ProgressCallback = std::function<void(const std::filesystem::path&, uint64_t, uint64_t)>;

  explicit ManifestGenerator(const SignConfig& config);

  // Replaces the callback; an empty one switches reporting off.
  void setProgressCallback(ProgressCallback callback);
  // !config.shouldExclude(relative).
  bool shouldInclude(const std::filesystem::path& relative) const;

  // Appends to `files`, in walk order (depth-first, pre-order, as the system lists each directory), the
  // path relative to `directory` of every regular file (links to regular files included, listed under
  // their target's weakly canonical path, which may begin with "../") that is not directly inside a
  // directory named "meta-inf", not excluded by the config, not hidden (unless include_hidden) and not
  // larger than max_file_size. Links to directories are not followed. A `directory` that cannot be opened
  // yields nothing; a subdirectory that cannot be read, or an entry whose status cannot be read for another
  // reason than its absence, throws std::filesystem::filesystem_error.
  void scanDirectory(const std::filesystem::path& directory, std::vector<std::filesystem::path>& files);
  // Appends the entry of `directory`/`relative` (size, last write time, SHA-256) to `manifest`. False, with
  // nothing appended, when the file cannot be sized, timed or hashed; never throws.
  bool addFile(Manifest& manifest, const std::filesystem::path& directory, const std::filesystem::path& relative);
  // A new manifest (version 1, "1.0", created now) with one entry per listed file that addFile could add,
  // in walk order. Errors of the walk leave as scanDirectory says.
  Manifest generate(const std::filesystem::path& directory);

  uint64_t processedCount() const noexcept { return processed_count_; }
  uint64_t totalCount() const noexcept { return total_count_; }

 private:
  const SignConfig config_;
  ProgressCallback progress_callback_;
  uint64_t processed_count_ = 0;
  uint64_t total_count_ = 0;
};

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_MANIFEST_GENERATOR_H_
