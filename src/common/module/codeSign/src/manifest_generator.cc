#include "codeSign/src/manifest_generator.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/file_reading.h"
#include "codeSign/src/internal/manifest_walk.h"

namespace bnq::sign {
namespace fs = std::filesystem;

namespace {

TimePoint systemNow() {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

}  // namespace

ManifestGenerator::ManifestGenerator(const SignConfig& config) : config_(config) {}

void ManifestGenerator::setProgressCallback(ProgressCallback callback) { progress_callback_ = std::move(callback); }

bool ManifestGenerator::shouldInclude(const fs::path& relative) const { return !config_.shouldExclude(relative); }

void ManifestGenerator::scanDirectory(const fs::path& directory, std::vector<fs::path>& files) {
  std::error_code ec;
  fs::recursive_directory_iterator it(directory, ec);
  if (ec) return;
  appendListedFiles(it, directory, config_, files);
}

bool ManifestGenerator::addFile(Manifest& manifest, const fs::path& directory, const fs::path& relative) {
  try {
    // Sized, timed and hashed through one descriptor (links followed): one look-up of the path, and the
    // three describe the same file even if the path changes meanwhile.
    const OpenedFile file(directory / relative);
    if (!file.isRegular()) return false;
    ManifestEntry entry;
    entry.path = relative;
    entry.size = static_cast<uint64_t>(file.status().st_size);
    entry.modified_time = file.modifiedTime();
    entry.hash = crypto::computeOpenedFileHash(file, HashAlgorithm::SHA256);
    if (entry.hash.empty()) return false;
    manifest.entries.push_back(std::move(entry));
    return true;
  } catch (...) {
    // A file that vanished or cannot be read, or memory running out: the file is simply not listed.
    return false;
  }
}

Manifest ManifestGenerator::generate(const fs::path& directory) {
  Manifest manifest;
  manifest.version = 1;
  manifest.manifest_version = "1.0";
  manifest.created_at = systemNow();
  std::vector<fs::path> files;
  scanDirectory(directory, files);
  processed_count_ = 0;
  total_count_ = files.size();
  for (const fs::path& relative : files) {
    addFile(manifest, directory, relative);
    ++processed_count_;
    if (progress_callback_) progress_callback_(relative, processed_count_, total_count_);
  }
  return manifest;
}

}  // namespace bnq::sign
