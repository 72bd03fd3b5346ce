// Children that a test keeps running in the background: BackgroundChild, a child process that runs a body
// of the test's until it is killed, and WaitingWriter, a writer that waits in the open of a FIFO, which
// tells whether some open of that FIFO for reading has released it.
#ifndef BRANNIC_TESTS_SUPPORT_BACKGROUND_CHILD_H_
#define BRANNIC_TESTS_SUPPORT_BACKGROUND_CHILD_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace brannic_test {

// A child process that runs a body of the test's until it is killed. start() forks; the child runs `body`
// with the write end of a pipe, on which the body writes one byte once it is under way; start() returns
// whether that byte came. stop() and the destructor kill and reap the child.
class BackgroundChild {
 public:
  BackgroundChild() = default;
  ~BackgroundChild() { stop(); }
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;

 protected:
  template <typename Body>
  bool start(Body body) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      body(ready[1]);
      _exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool started = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!started) stop();
    return started;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
};

// While it lives, a child process waits in open(fifo, O_WRONLY), which returns only once some open of the
// FIFO for reading releases it. Throws when the child cannot be made or does not reach the open.
class WaitingWriter : public BackgroundChild {
 public:
  explicit WaitingWriter(const std::filesystem::path& fifo) {
    const bool started = start([&fifo](int ready) {
      (void)!::write(ready, "r", 1);
      _exit(::open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);
    });
    if (!started) throw std::runtime_error("no writer for " + fifo.string());
    // After its byte the child does nothing but open: once it sleeps, it sleeps there.
    for (int i = 0; i < 1000 && !sleeping(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!sleeping()) {
      stop();
      throw std::runtime_error("the writer of " + fifo.string() + " does not wait");
    }
  }

  // False once the writer's open has returned (it then ends at once); waits 100 ms for it to end.
  bool stillWaiting() {
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Whether the child sleeps, as it does in its open.
  bool sleeping() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(") ");
    return end != std::string::npos && line.compare(end + 2, 1, "S") == 0;
  }
};

}  // namespace brannic_test

#endif  // BRANNIC_TESTS_SUPPORT_BACKGROUND_CHILD_H_
