// Small helpers shared by the codeSign benchmarks: timing, medians, a scratch directory, and running a
// command without a shell.
#ifndef BNQ_SIGN_BENCH_SUPPORT_H_
#define BNQ_SIGN_BENCH_SUPPORT_H_

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace bnq::sign::bench {

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double secondsOf(F&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A fresh directory under the temporary directory, removed with its content.
class ScratchDir {
 public:
  explicit ScratchDir(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs argv[0] (looked up in PATH) in `cwd` with its output discarded; true when it exits with 0.
inline bool runQuietly(const std::vector<std::string>& argv, const std::filesystem::path& cwd = ".") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(127);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace bnq::sign::bench

#endif  // BNQ_SIGN_BENCH_SUPPORT_H_
