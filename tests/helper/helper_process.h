// Runs the built kalvex-helper as a child process, with pipes on its standard input and output,
// the way its parent process drives it.
#ifndef BRANNIC_TESTS_HELPER_HELPER_PROCESS_H_
#define BRANNIC_TESTS_HELPER_HELPER_PROCESS_H_

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace helper_test {

// Where a helper's standard output goes.
struct OutputSetup {
  enum class Kind {
    kPipe,             // a pipe that ReadLine and ReadToEnd read
    kNonBlockingPipe,  // the same, with O_NONBLOCK set on the helper's end
    kClosed,           // standard output and standard error closed
    kFile,             // the file `path`, opened for appending
    kSocket,           // one end of a socket pair of `socket_type`, whose other end ReadLine and
                       // ReadToEnd read (the end of a datagram socket's output is never seen there)
  };
  Kind kind = Kind::kPipe;
  std::string path;
  // With kPipe, kNonBlockingPipe or kSocket: standard error goes into the same pipe or socket, so
  // that the reads see what the helper says there too.
  bool with_errors = false;
  int socket_type = SOCK_STREAM;
};

// Where a helper's standard input comes from.
struct InputSetup {
  enum class Kind {
    kPipe,             // a pipe that Write writes and CloseInput closes
    kNonBlockingPipe,  // the same, with O_NONBLOCK set on the helper's end
    kSocket,           // one end of a socket pair of `socket_type`; Write and CloseInput use the
                       // other end. A stream socket is also the helper's standard output (which must
                       // then be set up as kPipe), read through that other end; a socket of another
                       // type is the input only, and the output is set up on its own
  };
  Kind kind = Kind::kPipe;
  int socket_type = SOCK_STREAM;
};

// One running helper. The destructor kills it if it is still running and closes the pipes.
class HelperProcess {
 public:
  // Starts the helper with the "NAME=value" entries of `env` added to this process's environment
  // and its standard output and input set up as `output` and `input` say. SIGPIPE is ignored in
  // this process and so in the helper. `command`, when given, is run in place of the built helper:
  // a program with its arguments that runs a helper (pid() is the helper's own only when the
  // program ends by executing it).
  // Throws std::runtime_error when it cannot be started.
  explicit HelperProcess(const std::vector<std::string>& env = {},
                         const OutputSetup& output = {}, const InputSetup& input = {},
                         const std::vector<std::string>& command = {});
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // Writes all of `bytes` to the helper's input; false when the helper no longer reads it.
  bool Write(std::string_view bytes);
  // Ends the helper's input: it then sees the end of input.
  void CloseInput();
  // Closes this side of the output pipe: the helper's reader has gone away. On a socket, closing
  // the output first and then the input drops the socket, and replies that lie unread in it make
  // the helper's next read fail.
  void CloseOutput();
  // The next output line with its LF, or nothing when the output ends or `timeout` passes first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // All output up to its end; nothing when `timeout` passes first (what came is kept for the
  // next read).
  std::optional<std::string> ReadToEnd(std::chrono::milliseconds timeout);
  // The helper's exit code once it has exited; nothing when it was killed by a signal or is still
  // running after `timeout` (then it is killed). `usage`, when given, receives what the helper used
  // of the system (page faults, times) once it has exited.
  std::optional<int> Wait(std::chrono::milliseconds timeout, rusage* usage = nullptr);

  pid_t pid() const { return pid_; }
  // This side of the output pipe or socket; -1 when the output is neither or was closed.
  int output_fd() const { return output_fd_; }

 private:
  enum class ReadResult { kData, kEnd, kTimeout };
  // Reads once from the output pipe into buffered_.
  ReadResult ReadMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  bool socket_ = false;  // input_fd_ and output_fd_ are one socket's end
  int input_fd_ = -1;
  int output_fd_ = -1;
  std::string buffered_;
};

struct HelperRun {
  std::string output;
  std::optional<int> exit_code;  // nothing: killed by a signal, or it did not end in time
};

// Feeds `input` to a new helper from a second thread while its output is read, so neither side
// waits on a full pipe; then closes the input and waits for the helper to exit.
HelperRun RunHelper(const std::string& input, const std::vector<std::string>& env = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Sets the limit of the size of the files that process `pid` writes; RLIM_INFINITY lifts it. With
// SIGXFSZ ignored, a write that reaches the limit is cut there, and later ones fail with EFBIG.
bool LimitFileSize(pid_t pid, rlim_t size);

// Polls `done` until it holds or `timeout` passes; returns its last result.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace helper_test

#endif  // BRANNIC_TESTS_HELPER_HELPER_PROCESS_H_
