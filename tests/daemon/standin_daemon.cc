#include "standin_daemon.h"

#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace brannic_test {

std::string StandinDaemon::defaultProgram() { return BRANNIC_STANDIN_DAEMON_PATH; }

StandinDaemon::StandinDaemon(const std::string& socketPath, const std::vector<std::string>& args,
                             const std::string& program)
    : StandinDaemon(socketPath, args, program, Launch{}) {}

StandinDaemon::StandinDaemon(const std::string& socketPath, const std::vector<std::string>& args,
                             const std::string& program, const Launch& launch) {
  std::vector<std::string> argv{launch.argv0.empty() ? program : launch.argv0, "--socket", socketPath};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  ::unlink(socketPath.c_str());
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (launch.gid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(launch.gid)) != 0)) {
      ::_exit(126);
    }
    if (launch.uid >= 0 && ::setuid(static_cast<uid_t>(launch.uid)) != 0) ::_exit(126);
    if (launch.newUserNamespace && ::unshare(CLONE_NEWUSER) != 0) ::_exit(126);
    ::execv(program.c_str(), cargv.data());
    ::_exit(127);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  struct stat st {};
  while (::stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("stand-in daemon exited at start");
    }
    if (std::chrono::steady_clock::now() > until) {
      stop();
      throw std::runtime_error("stand-in daemon did not start listening");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int StandinDaemon::stop() {
  if (pid_ < 0) return status_;
  ::kill(pid_, SIGTERM);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (::waitpid(pid_, &status_, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  return status_;
}

StandinDaemon::~StandinDaemon() { stop(); }

}  // namespace brannic_test
