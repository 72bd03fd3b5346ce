#include "real_paths_fixture.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace brannic_client_test {

namespace fs = std::filesystem;

std::string DaemonLog::text() const {
  std::ifstream in(path_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int DaemonLog::count(const std::string& needle) const {
  std::istringstream in(text());
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    if ((line + " ").find(needle) != std::string::npos) ++n;
  }
  return n;
}

void RealPathsTest::SetUp() {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the daemon's paths are compiled in";
  scratch_.emplace("brannic-client", brannic_test::TempDir::Access::kOthersMayRead);
  std::error_code ec;
  fs::remove(kSocketPath, ec);
  fs::remove(kSystemPidFile, ec);
  log_ = makeLog("daemon.log");
}

DaemonLog RealPathsTest::makeLog(const std::string& name) {
  const std::string path = "/tmp/brannic-client-" + std::to_string(::getpid()) + "-" + name;
  ::unlink(path.c_str());
  removeLater(path);
  return DaemonLog(path);
}

std::string RealPathsTest::describePaths() const {
  std::ostringstream out;
  out << "at tear-down:\n";
  for (const Started& d : daemons_) {
    const pid_t pid = d.daemon->pid();
    out << "  daemon pid " << pid << (pid > 0 && ::kill(pid, 0) == 0 ? " running" : " stopped") << "; socket "
        << d.socket << ": ";
    struct stat st {};
    if (::lstat(d.socket.c_str(), &st) != 0) {
      out << "missing";
    } else if (st.st_dev == d.dev && st.st_ino == d.ino) {
      out << "its own";
    } else {
      out << "another file (inode " << st.st_ino << ")";
    }
    if (!d.pidFile.empty()) {
      std::ifstream in(d.pidFile);
      std::string text;
      std::getline(in, text);
      out << "; pid file " << d.pidFile << ": " << (in.is_open() ? "'" + text + "'" : std::string("missing"));
    }
    out << "\n";
  }
  return out.str();
}

void RealPathsTest::TearDown() {
  if (HasFailure()) std::fputs(describePaths().c_str(), stderr);
  daemons_.clear();
  std::error_code ec;
  fs::remove(kSocketPath, ec);
  fs::remove(kSystemPidFile, ec);
  for (auto it = files_.rbegin(); it != files_.rend(); ++it) fs::remove(*it, ec);
  for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) ::rmdir(it->c_str());
  scratch_.reset();
}

StandinDaemon& RealPathsTest::startDaemon(std::vector<std::string> args, const std::string& pidFile,
                                          const std::string& socket) {
  return startDaemon(std::move(args), pidFile, socket, StandinDaemon::defaultProgram(), {});
}

StandinDaemon& RealPathsTest::startDaemon(std::vector<std::string> args, const std::string& pidFile,
                                          const std::string& socket, const std::string& program,
                                          const StandinDaemon::Launch& launch) {
  User owner;
  if (launch.uid >= 0) owner.uid = static_cast<uid_t>(launch.uid);
  if (launch.gid >= 0) owner.gid = static_cast<gid_t>(launch.gid);
  if (!pidFile.empty()) {
    makeDirs(fs::path(pidFile).parent_path().string(), owner);
    removeLater(pidFile);
    args.insert(args.end(), {"--pid-file", pidFile});
  }
  args.insert(args.end(), {"--log", log_.path()});
  Started started{std::make_unique<StandinDaemon>(socket, args, program, launch), socket, pidFile};
  struct stat st {};
  if (::lstat(socket.c_str(), &st) == 0) {
    started.dev = st.st_dev;
    started.ino = st.st_ino;
  }
  daemons_.push_back(std::move(started));
  return *daemons_.back().daemon;
}

void RealPathsTest::makeDirs(const std::string& dir, const User& owner) {
  std::vector<fs::path> missing;
  for (fs::path p = dir; !p.empty() && p != p.root_path(); p = p.parent_path()) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(p, ec))) break;
    missing.push_back(p);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    ASSERT_EQ(::mkdir(it->c_str(), 0755), 0) << *it << ": " << std::strerror(errno);
    ASSERT_EQ(::chmod(it->c_str(), 0755), 0) << *it << ": not narrowed by the umask";
    ASSERT_EQ(::chown(it->c_str(), owner.uid, owner.gid), 0) << *it;
    dirs_.push_back(it->string());
  }
}

void RealPathsTest::writeFile(const std::string& path, const std::string& content, const User& owner) {
  makeDirs(fs::path(path).parent_path().string(), owner);
  removeLater(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.flush()) << path;
  ASSERT_EQ(::chown(path.c_str(), owner.uid, owner.gid), 0) << path;
}

std::string RealPathsTest::copyDaemonProgram(const std::string& dir) {
  makeDirs(dir);
  const std::string path = dir + "/tolvane_daemon";
  fs::copy_file(StandinDaemon::defaultProgram(), path, fs::copy_options::overwrite_existing);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  removeLater(path);
  return path;
}

pid_t deadPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

bool nobody(User* user) {
  const struct passwd* pw = ::getpwnam("nobody");
  if (pw == nullptr || pw->pw_uid == 0 || pw->pw_dir == nullptr) return false;
  user->uid = pw->pw_uid;
  user->gid = pw->pw_gid;
  user->home = pw->pw_dir;
  return true;
}

namespace {

// Runs fn in a child process once `enter` has succeeded there, and returns what fn returned.
std::string runInChild(const std::function<bool()>& enter, const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return "child failed: pipe";
  const pid_t pid = ::fork();
  if (pid < 0) return "child failed: fork";
  if (pid == 0) {
    ::close(fds[0]);
    if (!enter()) ::_exit(3);
    const std::string out = fn();
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) ::_exit(4);
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      ::kill(pid, SIGKILL);
      out = "child failed: no answer";
      break;
    }
    char buf[512];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: status " + std::to_string(status);
  return out;
}

}  // namespace

std::string runAs(const User& user, const std::function<std::string()>& fn) {
  return runInChild(
      [&user] { return ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0; }, fn);
}

std::string runInOwnUserNamespace(const std::function<std::string()>& fn) {
  return runInChild([] { return ::unshare(CLONE_NEWUSER) == 0; }, fn);
}

bool userNamespacesWork() {
  return runInOwnUserNamespace([] { return std::string("yes"); }) == "yes";
}

}  // namespace brannic_client_test
