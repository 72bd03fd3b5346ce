// A directory of its own for one test or benchmark, removed with everything in it.
//
// The constructor makes it with mkdtemp under std::filesystem::temp_directory_path() ($TMPDIR, else /tmp),
// named `prefix` followed by "-" and six random characters, and throws std::runtime_error when it cannot.
// Its mode is 0700 (mkdtemp's), or 0755 with Access::kOthersMayRead, for a test that has another user (the
// user nobody) run or read what it puts there; a test may widen or narrow the mode itself afterwards.
// The destructor removes the directory and everything in it, files that a child process made there as
// another user included (the tests that make such files run as root). Errors are ignored: what cannot be
// removed stays.
#ifndef BRANNIC_TESTS_SUPPORT_TEMP_DIR_H_
#define BRANNIC_TESTS_SUPPORT_TEMP_DIR_H_

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace brannic_test {

class TempDir {
 public:
  enum class Access { kOwnerOnly, kOthersMayRead };

  explicit TempDir(const std::string& prefix = "brannic-test", Access access = Access::kOwnerOnly) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
    if (access == Access::kOthersMayRead && ::chmod(pattern.c_str(), 0755) != 0) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
      throw std::runtime_error("cannot open " + pattern + " to others");
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace brannic_test

#endif  // BRANNIC_TESTS_SUPPORT_TEMP_DIR_H_
