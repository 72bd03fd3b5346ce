#include "codeSign/src/manifest_generator.h"

#include <chrono>
#include <optional>
#include <utility>

#include "codeSign/src/crypto.h"

namespace bnq::sign {
namespace fs = std::filesystem;

namespace {

TimePoint systemNow() {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

// A last-write time moved from the file-system clock to the system clock.
TimePoint toSystemTime(fs::file_time_type file_time) {
  const auto file_now = fs::file_time_type::clock::now();
  const auto system_now = std::chrono::system_clock::now();
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(
      system_now + std::chrono::duration_cast<std::chrono::nanoseconds>(file_time - file_now));
}

bool directlyInsideMetaInf(const fs::path& relative) {
  return relative.has_parent_path() && relative.parent_path().filename() == "meta-inf";
}

}  // namespace

ManifestGenerator::ManifestGenerator(const SignConfig& config) : config_(config) {}

void ManifestGenerator::setProgressCallback(ProgressCallback callback) { progress_callback_ = std::move(callback); }

bool ManifestGenerator::shouldInclude(const fs::path& relative) const { return !config_.shouldExclude(relative); }

void ManifestGenerator::scanDirectory(const fs::path& directory, std::vector<fs::path>& files) {
  std::error_code ec;
  fs::recursive_directory_iterator it(directory, ec);
  if (ec) return;
  // The directory's own weakly canonical form, computed once at the first file rather than for each one.
  std::optional<fs::path> base;
  for (const fs::recursive_directory_iterator end; it != end; ++it) {
    const fs::directory_entry& entry = *it;
    // The listed type when it is not a link; otherwise the status, following the link.
    if (!entry.is_regular_file()) continue;
    if (!base) base = fs::weakly_canonical(directory);
    const fs::path relative = fs::weakly_canonical(entry.path()).lexically_relative(*base);
    if (directlyInsideMetaInf(relative)) continue;
    if (config_.shouldExclude(relative)) continue;
    if (!config_.include_hidden) {
      const std::string& name = entry.path().filename().native();
      if (!name.empty() && name.front() == '.') continue;
    }
    if (config_.max_file_size != 0 && fs::file_size(entry.path()) > config_.max_file_size) continue;
    files.push_back(relative);
  }
}

bool ManifestGenerator::addFile(Manifest& manifest, const fs::path& directory, const fs::path& relative) {
  try {
    const fs::path full = directory / relative;
    ManifestEntry entry;
    entry.path = relative;
    entry.size = fs::file_size(full);
    entry.modified_time = toSystemTime(fs::last_write_time(full));
    entry.hash = crypto::computeFileHash(full, HashAlgorithm::SHA256);
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
