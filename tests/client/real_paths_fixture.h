// A fixture for client tests with the stand-in daemon at the real socket and pid-file paths, and the
// helpers they share: the daemon's log, files the test writes, copies of the daemon program, and running a
// piece of a test as another user.
#ifndef BRANNIC_TESTS_CLIENT_REAL_PATHS_FIXTURE_H_
#define BRANNIC_TESTS_CLIENT_REAL_PATHS_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin_daemon.h"
#include "temp_dir.h"

namespace brannic_client_test {

using brannic_test::StandinDaemon;

constexpr const char* kSocketPath = "/tmp/tolvane_rpc_service.sock";
#if defined(BRANNIC_CLIENT_FLAVOUR_MACOS)
constexpr bool kMacosFlavour = true;
constexpr const char* kSystemPidFile = "/Library/Application Support/Tolvane/run/Tolvane.pid";
constexpr const char* kHomePidFileSuffix = "/Library/Application Support/Tolvane/run/Tolvane.pid";
#else
constexpr bool kMacosFlavour = false;
constexpr const char* kSystemPidFile = "/var/.data/Tolvane/run/Tolvane.pid";
constexpr const char* kHomePidFileSuffix = "/.data/Tolvane/run/Tolvane.pid";
#endif

// The daemon's --log file: one line per accepted connection and per received call.
class DaemonLog {
 public:
  explicit DaemonLog(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  std::string text() const;
  // Lines that contain `needle`.
  int count(const std::string& needle) const;
  int connections() const { return count("accept conn="); }
  int pings() const { return count(" fn=1 "); }
  int requests() const { return count(" fn=0 "); }

 private:
  std::string path_;
};

// Generous room above a time-out or a pause: the tests also run under sanitizers on a busy machine.
constexpr long long kSlackMs = 3000;

// Milliseconds since construction, for loose bounds on pauses and time-outs.
class Stopwatch {
 public:
  long long ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Names a parameterised test after the `name` of its case.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

// Who a piece of a test runs as.
struct User {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// The pid of a process that has exited and been reaped.
pid_t deadPid();
// The unprivileged user "nobody"; false when there is none.
bool nobody(User* user);
// Runs fn in a child process as `user` and returns what it returned ("child failed: ..." otherwise).
std::string runAs(const User& user, const std::function<std::string()>& fn);
// The same in a child process that has entered a user namespace of its own (Linux; no uid or gid mapped).
std::string runInOwnUserNamespace(const std::function<std::string()>& fn);
// Whether this process may make a user namespace: false where the kernel refuses it.
bool userNamespacesWork();

class RealPathsTest : public ::testing::Test {
 protected:
  // Skips unless root; clears the socket path and the pid files.
  void SetUp() override;
  // Stops the daemons, then removes everything the test created. After a failure it first prints what
  // stands at the daemons' paths, so that a change made there by another process shows.
  void TearDown() override;

  // Starts the stand-in at `socket` (default: the real path) with `args` and --log; with a non-empty
  // pidFile it writes its pid there. The daemon lives until the test ends unless the caller stops it.
  StandinDaemon& startDaemon(std::vector<std::string> args, const std::string& pidFile = kSystemPidFile,
                             const std::string& socket = kSocketPath);
  StandinDaemon& startDaemon(std::vector<std::string> args, const std::string& pidFile, const std::string& socket,
                             const std::string& program, const StandinDaemon::Launch& launch);

  // Writes `content` to `path`, creating the missing folders (owned by `owner`); removed at tear-down.
  void writeFile(const std::string& path, const std::string& content, const User& owner = User{});
  // Creates the missing folders of `dir` (owned by `owner`, mode 0755); removed at tear-down when empty.
  void makeDirs(const std::string& dir, const User& owner = User{});
  // Registers a path for removal at tear-down.
  void removeLater(const std::string& path) { files_.push_back(path); }
  // A copy of the daemon program at dir + "/tolvane_daemon"; returns its path.
  std::string copyDaemonProgram(const std::string& dir);
  // A scratch folder for this test in the temporary directory, of mode 0755 (not inside any folder named
  // Tolvane): what another user must run or read goes here, wherever the build tree lies.
  std::string scratch() const { return scratch_->path().string(); }

  DaemonLog log_{""};
  DaemonLog makeLog(const std::string& name);

 private:
  // A started daemon, its socket path and the identity of the socket file it placed there.
  struct Started {
    std::unique_ptr<StandinDaemon> daemon;
    std::string socket;
    std::string pidFile;
    dev_t dev = 0;
    ino_t ino = 0;
  };
  std::string describePaths() const;

  std::optional<brannic_test::TempDir> scratch_;
  std::vector<Started> daemons_;
  std::vector<std::string> files_;
  std::vector<std::string> dirs_;
};

}  // namespace brannic_client_test

#endif  // BRANNIC_TESTS_CLIENT_REAL_PATHS_FIXTURE_H_
