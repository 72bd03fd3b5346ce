#include "codeSign/src/manifest_generator.h"

#include <chrono>
#include <optional>
#include <system_error>
#include <utility>

#include "codeSign/src/file_reading.h"

namespace bnq::sign {
namespace fs = std::filesystem;

namespace {

TimePoint systemNow() {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
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
  appendListed(it, directory, files);
}

void ManifestGenerator::scanWholeDirectory(const fs::path& directory, std::vector<fs::path>& files) {
  std::error_code ec;
  fs::recursive_directory_iterator it(directory, ec);
  // Missing as a file status is: no such entry, or a file where a directory should be.
  if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return;
  if (ec) throw fs::filesystem_error("recursive directory iterator cannot open directory", directory, ec);
  appendListed(it, directory, files);
}

void ManifestGenerator::appendListed(fs::recursive_directory_iterator& it, const fs::path& directory,
                                     std::vector<fs::path>& files) {
  // The walk names every entry `directory`/a/.../name, entering only real directories (links to
  // directories are not followed). For an entry that is not itself a link, no element below `directory`
  // is a link, so its weakly canonical form relative to the directory's is a/.../name itself: the text
  // after this prefix. Links (and any entry not named under the prefix) take the full resolution.
  // The shortcut still queries the entry's status, as the resolution does first, so that an entry whose
  // path cannot be resolved (a directory that may be listed but not searched, a name too long) raises
  // here instead of being listed and then silently dropped when it cannot be hashed.
  std::string prefix = (directory / "x").native();
  prefix.pop_back();
  std::optional<fs::path> base;  // the directory's weakly canonical form, made at the first link
  for (const fs::recursive_directory_iterator end; it != end; ++it) {
    const fs::directory_entry& entry = *it;
    // The listed type when it is not a link; otherwise the status, following the link.
    if (!entry.is_regular_file()) continue;
    const std::string& text = entry.path().native();
    fs::path relative;
    if (!entry.is_symlink() && text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0) {
      (void)fs::status(entry.path());
      relative = text.substr(prefix.size());
    } else {
      if (!base) base = fs::weakly_canonical(directory);
      relative = fs::weakly_canonical(entry.path()).lexically_relative(*base);
    }
    if (directlyInsideMetaInf(relative)) continue;
    if (config_.shouldExclude(relative)) continue;
    if (!config_.include_hidden) {
      const std::string name = entry.path().filename().native();
      if (!name.empty() && name.front() == '.') continue;
    }
    if (config_.max_file_size != 0 && fs::file_size(entry.path()) > config_.max_file_size) continue;
    files.push_back(std::move(relative));
  }
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
    entry.hash = file.sha256Hex();
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
