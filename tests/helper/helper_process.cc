#include "helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#ifndef KALVEX_HELPER_PATH
#error "KALVEX_HELPER_PATH must name the built kalvex-helper"
#endif

extern char** environ;

namespace helper_test {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& env, const OutputSetup& output,
                             const InputSetup& input, const std::vector<std::string>& command) {
  // A helper that exits early must make Write fail, not end the test process.
  std::signal(SIGPIPE, SIG_IGN);
  const bool socket_input = input.kind == InputSetup::Kind::kSocket;
  socket_ = socket_input && input.socket_type == SOCK_STREAM;
  if (socket_ && output.kind != OutputSetup::Kind::kPipe) {
    throw std::invalid_argument("a stream socket input is also the output");
  }
  const bool socket_output = output.kind == OutputSetup::Kind::kSocket;
  const bool output_pipe = !socket_ && (output.kind == OutputSetup::Kind::kPipe ||
                                        output.kind == OutputSetup::Kind::kNonBlockingPipe ||
                                        socket_output);
  int in_pipe[2] = {-1, -1};  // the helper's end, then this side's
  int out_pipe[2] = {-1, -1};
  const int made = socket_input
                       ? ::socketpair(AF_UNIX, input.socket_type | SOCK_CLOEXEC, 0, in_pipe)
                       : ::pipe2(in_pipe, O_CLOEXEC);
  if (made != 0) throw std::runtime_error("cannot make the input pipe");
  bool output_made = true;
  if (socket_) {
    out_pipe[0] = ::fcntl(in_pipe[1], F_DUPFD_CLOEXEC, 0);  // replies come back on this side's end
    output_made = out_pipe[0] >= 0;
  } else if (socket_output) {
    output_made = ::socketpair(AF_UNIX, output.socket_type | SOCK_CLOEXEC, 0, out_pipe) == 0;
  } else if (output_pipe) {
    output_made = ::pipe2(out_pipe, O_CLOEXEC) == 0;
  }
  if (!output_made) {
    CloseFd(in_pipe[0]);
    CloseFd(in_pipe[1]);
    throw std::runtime_error("cannot make the output pipe");
  }
  // The flag belongs to the open pipe end, which the helper shares.
  if (input.kind == InputSetup::Kind::kNonBlockingPipe) ::fcntl(in_pipe[0], F_SETFL, O_NONBLOCK);
  if (output.kind == OutputSetup::Kind::kNonBlockingPipe) ::fcntl(out_pipe[1], F_SETFL, O_NONBLOCK);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
  env_text.insert(env_text.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = command;
  if (args.empty()) args.emplace_back(KALVEX_HELPER_PATH);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  if (socket_) {
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDOUT_FILENO);
  } else {
    switch (output.kind) {
      case OutputSetup::Kind::kPipe:
      case OutputSetup::Kind::kNonBlockingPipe:
      case OutputSetup::Kind::kSocket:
        if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        if (rc == 0 && output.with_errors) {
          rc = posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDERR_FILENO);
        }
        break;
      case OutputSetup::Kind::kClosed:
        if (rc == 0) rc = posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
        if (rc == 0) rc = posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
        break;
      case OutputSetup::Kind::kFile:
        if (rc == 0) {
          rc = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.path.c_str(),
                                                O_WRONLY | O_CREAT | O_APPEND, 0644);
        }
        break;
    }
  }
  if (rc == 0) rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  CloseFd(in_pipe[0]);
  if (output_pipe) CloseFd(out_pipe[1]);
  input_fd_ = in_pipe[1];
  output_fd_ = out_pipe[0];
  if (rc != 0) {
    pid_ = -1;
    CloseFd(input_fd_);
    CloseFd(output_fd_);
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  }
}

HelperProcess::~HelperProcess() {
  CloseFd(input_fd_);
  CloseFd(output_fd_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool HelperProcess::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(input_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void HelperProcess::CloseInput() {
  // A socket stays open while the output descriptor holds it: end its writing direction.
  if (socket_ && input_fd_ >= 0 && output_fd_ >= 0) ::shutdown(input_fd_, SHUT_WR);
  CloseFd(input_fd_);
}

void HelperProcess::CloseOutput() { CloseFd(output_fd_); }

HelperProcess::ReadResult HelperProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
  if (output_fd_ < 0) return ReadResult::kEnd;
  for (;;) {
    pollfd pfd{output_fd_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return ReadResult::kTimeout;
    if (ready < 0) return ReadResult::kEnd;
    char chunk[65536];
    const ssize_t n = ::read(output_fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReadResult::kEnd;
    buffered_.append(chunk, static_cast<std::size_t>(n));
    return ReadResult::kData;
  }
}

std::optional<std::string> HelperProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t searched = 0;
  for (;;) {
    const std::size_t lf = buffered_.find('\n', searched);
    if (lf != std::string::npos) {
      std::string line = buffered_.substr(0, lf + 1);
      buffered_.erase(0, lf + 1);
      return line;
    }
    searched = buffered_.size();
    if (ReadMore(deadline) != ReadResult::kData) return std::nullopt;
  }
}

std::optional<std::string> HelperProcess::ReadToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ReadResult result;
  while ((result = ReadMore(deadline)) == ReadResult::kData) {
  }
  if (result == ReadResult::kTimeout) return std::nullopt;
  std::string all;
  all.swap(buffered_);
  return all;
}

std::optional<int> HelperProcess::Wait(std::chrono::milliseconds timeout, rusage* usage) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t done = ::wait4(pid_, &status, WNOHANG, usage);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

HelperRun RunHelper(const std::string& input, const std::vector<std::string>& env,
                    std::chrono::milliseconds timeout) {
  HelperProcess helper(env);
  std::thread writer([&helper, &input] {
    helper.Write(input);
    helper.CloseInput();
  });
  HelperRun run;
  std::optional<std::string> output = helper.ReadToEnd(timeout);
  if (!output) {
    // Stop a helper that hangs, so that the writer thread comes free.
    helper.Wait(std::chrono::milliseconds(0));
  }
  writer.join();
  run.output = output.value_or("");
  run.exit_code = helper.Wait(timeout);
  return run;
}

// Sets the limit of the size of the files that process `pid` writes; RLIM_INFINITY lifts it. With
// SIGXFSZ ignored, a write that reaches the limit is cut there, and later ones fail with EFBIG.
bool LimitFileSize(pid_t pid, rlim_t size) {
  rlimit limit{};
  if (::prlimit(pid, RLIMIT_FSIZE, nullptr, &limit) != 0) return false;
  limit.rlim_cur = size == RLIM_INFINITY ? limit.rlim_max : size;
  return ::prlimit(pid, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

}  // namespace helper_test
