#include "codeSign/src/internal/manifest_walk.h"

#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace bnq::sign {
namespace fs = std::filesystem;

namespace {

bool directlyInsideMetaInf(const fs::path& relative) {
  return relative.has_parent_path() && relative.parent_path().filename() == "meta-inf";
}

}  // namespace

void appendListedFiles(fs::recursive_directory_iterator& it, const fs::path& directory, const SignConfig& config,
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
    if (config.shouldExclude(relative)) continue;
    if (!config.include_hidden) {
      const std::string name = entry.path().filename().native();
      if (!name.empty() && name.front() == '.') continue;
    }
    if (config.max_file_size != 0 && fs::file_size(entry.path()) > config.max_file_size) continue;
    files.push_back(std::move(relative));
  }
}

void scanWholeDirectory(const SignConfig& config, const fs::path& directory, std::vector<fs::path>& files) {
  std::error_code ec;
  fs::recursive_directory_iterator it(directory, ec);
  // Missing as a file status is: no such entry, or a file where a directory should be.
  if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return;
  if (ec) throw fs::filesystem_error("recursive directory iterator cannot open directory", directory, ec);
  appendListedFiles(it, directory, config, files);
}

}  // namespace bnq::sign
