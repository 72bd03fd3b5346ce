// Small helpers shared by the codeSign tests.
#ifndef BRANNIC_TESTS_CODESIGN_TEST_SUPPORT_H_
#define BRANNIC_TESTS_CODESIGN_TEST_SUPPORT_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <json/value.h>

#include "codeSign/src/json_text.h"
#include "codeSign/src/types.h"
#include "background_child.h"
#include "temp_dir.h"

namespace bnq::sign::testing {

using brannic_test::BackgroundChild;
using brannic_test::TempDir;
using brannic_test::WaitingWriter;

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

// Runs `body` in a child process and gives its exit status (98 when it threw, -1 when no child could be
// made), or nothing when the child has not ended within `limit`; it is then killed. For calls that might
// block for ever: such a fault shows as a time-out of one test instead of a test run that never ends.
inline std::optional<int> exitCodeWithin(std::chrono::milliseconds limit, const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = 98;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// While it lives, a thread of its own keeps exchanging the file at `path` with a FIFO beside it, so that
// code which looks at the name twice (a status, then an open) sees a regular file the first time and a FIFO
// the second, sooner or later. Throws when the file system cannot exchange the two names.
class FifoSwapper {
 public:
  explicit FifoSwapper(const std::filesystem::path& path) : path_(path), fifo_(path.string() + ".swap-fifo") {
    if (mkfifo(fifo_.c_str(), 0600) != 0 || !exchange() || !exchange()) {
      throw std::runtime_error("cannot exchange " + path_.string() + " with a FIFO");
    }
    thread_ = std::thread([this] {
      while (!stop_.load(std::memory_order_relaxed)) exchange();
    });
  }
  ~FifoSwapper() {
    stop_ = true;
    thread_.join();
  }
  FifoSwapper(const FifoSwapper&) = delete;
  FifoSwapper& operator=(const FifoSwapper&) = delete;

 private:
  bool exchange() { return renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, fifo_.c_str(), RENAME_EXCHANGE) == 0; }

  std::filesystem::path path_;
  std::filesystem::path fifo_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// While it lives, a child process keeps a file growing with ftruncate (holes, no disk used): by `step`
// bytes at once, then by `step` a millisecond, up to 1 TiB. The first step is taken before the constructor
// returns. Throws when the child cannot be made or cannot extend the file.
class FileExtender : public BackgroundChild {
 public:
  FileExtender(const std::filesystem::path& path, off_t step) {
    const bool started = start([&path, step](int ready) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      struct stat status {};
      if (fd < 0 || ::fstat(fd, &status) != 0) _exit(1);
      constexpr off_t kLimit = off_t{1} << 40;
      for (off_t size = status.st_size + step;; size = std::min(size + step, kLimit)) {
        if (::ftruncate(fd, size) != 0) _exit(1);
        if (ready >= 0) {
          (void)!::write(ready, "r", 1);
          ::close(ready);
          ready = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    if (!started) throw std::runtime_error("cannot extend " + path.string());
  }
};

// What a child process that ran `body` used.
struct ChildUse {
  int status = -1;     // its exit status, -1 when it did not exit
  long peak_kib = -1;  // its peak resident memory
  double seconds = 0;  // its time
};

// Runs `body` in a grandchild, and takes its peak memory in the child between, whose only child it is, with
// getrusage(RUSAGE_CHILDREN): children this process waited for before play no part.
inline ChildUse useOfChild(const std::function<int()>& body) {
  int report[2];
  if (::pipe(report) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(report[0]);
    const pid_t worker = fork();
    if (worker == 0) {
      int code = 98;
      try {
        code = body();
      } catch (...) {
      }
      _exit(code);
    }
    int status = 0;
    struct rusage usage {};
    long use[2] = {-1, -1};
    if (worker > 0 && waitpid(worker, &status, 0) == worker && getrusage(RUSAGE_CHILDREN, &usage) == 0) {
      use[0] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      use[1] = usage.ru_maxrss;
    }
    _exit(::write(report[1], use, sizeof use) == static_cast<ssize_t>(sizeof use) ? 0 : 1);
  }
  ::close(report[1]);
  long use[2] = {-1, -1};
  const bool read = pid > 0 && ::read(report[0], use, sizeof use) == static_cast<ssize_t>(sizeof use);
  ::close(report[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  ChildUse child;
  if (read) child = {static_cast<int>(use[0]), use[1]};
  child.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return child;
}

}  // namespace bnq::sign::testing

#endif  // BRANNIC_TESTS_CODESIGN_TEST_SUPPORT_H_
