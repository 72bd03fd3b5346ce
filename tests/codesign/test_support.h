// Small helpers shared by the codeSign tests.
#ifndef BNQ_SIGN_TESTS_TEST_SUPPORT_H_
#define BNQ_SIGN_TESTS_TEST_SUPPORT_H_

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <json/value.h>

#include "codeSign/src/json_text.h"
#include "codeSign/src/types.h"

namespace bnq::sign::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "codesign-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
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

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline Json::Value parse(const std::string& text) {
  std::istringstream in(text);
  auto value = parseJson(in);
  if (!value) throw std::runtime_error("test JSON does not parse: " + text);
  return *value;
}

inline TimePoint atNanos(int64_t nanos) { return TimePoint(std::chrono::nanoseconds(nanos)); }
inline TimePoint atSeconds(int64_t seconds) { return atNanos(seconds * 1000000000); }

}  // namespace bnq::sign::testing

#endif  // BNQ_SIGN_TESTS_TEST_SUPPORT_H_
