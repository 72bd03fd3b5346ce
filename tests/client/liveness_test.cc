// The liveness check before a connection, seen through connectWithRetry: the socket path, the pid files,
// and the executable path (or, on Linux, first argument) of the process a pid file names.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "background_child.h"
#include "real_paths_fixture.h"
#include "rpc_service_client.h"

namespace brannic_client_test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// One attempt, no pause: "" when connected, otherwise the client's text.
std::string connectOnce(int timeoutMs = 3000) {
  rpc_sdk::RpcServiceClient client(kSocketPath);
  if (client.connectWithRetry(timeoutMs, 0, 0)) return "";
  return client.getLastError();
}

// --- What stands at the socket path --------------------------------------------------------------------

enum class AtSocketPath { kNothing, kRegularFile, kDirectory, kSymlinkToSocket, kDanglingSymlink, kSymlinkToFile, kSymlinkLoop };

struct SocketPathCase {
  const char* name;
  AtSocketPath what;
  const char* expected;
};

void PrintTo(const SocketPathCase& c, std::ostream* os) { *os << c.name; }

class SocketPath : public RealPathsTest, public ::testing::WithParamInterface<SocketPathCase> {};

TEST_P(SocketPath, OnlyASocketOrALinkToOneCounts) {
  const SocketPathCase& c = GetParam();
  // The daemon listens elsewhere, with the real pid file, so only the socket path decides.
  const std::string elsewhere = scratch() + "/daemon.sock";
  startDaemon({}, kSystemPidFile, elsewhere);
  const std::string regular = scratch() + "/regular";
  writeFile(regular, "not a socket");
  switch (c.what) {
    case AtSocketPath::kNothing: break;
    case AtSocketPath::kRegularFile: writeFile(kSocketPath, ""); break;
    case AtSocketPath::kDirectory: ASSERT_EQ(::mkdir(kSocketPath, 0755), 0); break;
    case AtSocketPath::kSymlinkToSocket: fs::create_symlink(elsewhere, kSocketPath); break;
    case AtSocketPath::kDanglingSymlink: fs::create_symlink(scratch() + "/gone.sock", kSocketPath); break;
    case AtSocketPath::kSymlinkToFile: fs::create_symlink(regular, kSocketPath); break;
    case AtSocketPath::kSymlinkLoop: fs::create_symlink(kSocketPath, kSocketPath); break;
  }
  rpc_sdk::RpcServiceClient client(kSocketPath);
  const Stopwatch watch;
  const bool connected = client.connectWithRetry(5000, 3, 1000);
  const long long elapsed = watch.ms();
  EXPECT_EQ(connected ? std::string() : client.getLastError(), c.expected);
  // Not alive ends the call at once: no pause, no connection attempt.
  EXPECT_LT(elapsed, 900);
  EXPECT_EQ(log_.connections(), connected ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Client, SocketPath,
    ::testing::Values(SocketPathCase{"nothing", AtSocketPath::kNothing, "daemon not running"},
                      SocketPathCase{"regular_file", AtSocketPath::kRegularFile, "daemon not running"},
                      SocketPathCase{"directory", AtSocketPath::kDirectory, "daemon not running"},
                      SocketPathCase{"symlink_to_socket", AtSocketPath::kSymlinkToSocket, ""},
                      SocketPathCase{"dangling_symlink", AtSocketPath::kDanglingSymlink, "daemon not running"},
                      SocketPathCase{"symlink_to_file", AtSocketPath::kSymlinkToFile, "daemon not running"},
                      // Its status cannot be taken at all (a loop of links): not alive either.
                      SocketPathCase{"symlink_loop", AtSocketPath::kSymlinkLoop, "daemon not running"}),
    CaseName());

class Liveness : public RealPathsTest {};

TEST_F(Liveness, SocketPathTooLongForAStatusIsNotAlive) {
  startDaemon({});
  rpc_sdk::RpcServiceClient client(std::string(5000, 'x'));
  EXPECT_FALSE(client.connectWithRetry(1000, 1, 1000));
  EXPECT_EQ(client.getLastError(), "daemon not running");
}

// --- What the pid file holds ----------------------------------------------------------------------------

enum class PidFileKind { kText, kMissing, kDirectory, kFifo, kFifoWithWriter };

using brannic_test::WaitingWriter;

struct PidFileCase {
  const char* name;
  PidFileKind kind;
  // Written to the pid file with "{pid}" replaced by the daemon's pid, "{dead}" by a reaped process's pid
  // and "{self}" by the pid of this test (a live process outside any Tolvane folder); "{4096 blanks}" by
  // that many blanks, and "{fill}" by the blanks that make the daemon's pid after them end at byte 4096.
  const char* text;
  bool alive;
};

std::string expand(std::string text, pid_t daemon) {
  const std::pair<const char*, std::string> keys[] = {
      {"{4096 blanks}", std::string(4096, ' ')},
      {"{fill}", std::string(4096 - std::to_string(daemon).size(), ' ')},
      {"{pid}", std::to_string(daemon)},
      {"{dead}", std::to_string(deadPid())},
      {"{self}", std::to_string(::getpid())}};
  for (const auto& [key, value] : keys) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key)) {
      text.replace(at, std::string(key).size(), value);
    }
  }
  return text;
}

void PrintTo(const PidFileCase& c, std::ostream* os) { *os << c.name; }

class PidFileContent : public RealPathsTest, public ::testing::WithParamInterface<PidFileCase> {};

TEST_P(PidFileContent, NamesALiveTolvaneProcessOrIsSkipped) {
  const PidFileCase& c = GetParam();
  StandinDaemon& daemon = startDaemon({}, "");
  switch (c.kind) {
    case PidFileKind::kText: writeFile(kSystemPidFile, expand(c.text, daemon.pid())); break;
    case PidFileKind::kMissing: makeDirs(fs::path(kSystemPidFile).parent_path().string()); break;
    case PidFileKind::kDirectory:
      makeDirs(kSystemPidFile);
      break;
    case PidFileKind::kFifo:
    case PidFileKind::kFifoWithWriter:
      makeDirs(fs::path(kSystemPidFile).parent_path().string());
      ASSERT_EQ(::mkfifo(kSystemPidFile, 0644), 0);
      break;
  }
  std::optional<WaitingWriter> writer;
  if (c.kind == PidFileKind::kFifoWithWriter) {
    writer.emplace(kSystemPidFile);
    ASSERT_TRUE(writer->sleeping()) << "the writer does not wait";
  }
  EXPECT_EQ(connectOnce(), c.alive ? "" : "daemon not running");
  EXPECT_EQ(log_.connections(), c.alive ? 1 : 0);
  // The check never opened the FIFO for reading.
  if (writer) {
    EXPECT_TRUE(writer->stillWaiting());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Client, PidFileContent,
    ::testing::Values(PidFileCase{"blanks_before_newline_after", PidFileKind::kText, "  {pid}\n", true},
                      PidFileCase{"bare_number", PidFileKind::kText, "{pid}", true},
                      PidFileCase{"tabs_and_newlines_then_text_after", PidFileKind::kText, "\t\n {pid}abc\n", true},
                      PidFileCase{"plus_sign", PidFileKind::kText, "+{pid}\n", true},
                      PidFileCase{"zero", PidFileKind::kText, "0\n", false},
                      PidFileCase{"negative", PidFileKind::kText, "-7\n", false},
                      PidFileCase{"negated_daemon_pid", PidFileKind::kText, "-{pid}\n", false},
                      PidFileCase{"word", PidFileKind::kText, "daemon\n", false},
                      PidFileCase{"word_then_pid", PidFileKind::kText, "pid {pid}\n", false},
                      PidFileCase{"empty", PidFileKind::kText, "", false},
                      PidFileCase{"dead_process", PidFileKind::kText, "{dead}\n", false},
                      PidFileCase{"live_process_outside_tolvane", PidFileKind::kText, "{self}\n", false},
                      PidFileCase{"beyond_int_range", PidFileKind::kText, "99999999999999\n", false},
                      // Only the first 4096 bytes are read.
                      PidFileCase{"pid_ending_at_byte_4096", PidFileKind::kText, "{fill}{pid}\n", true},
                      PidFileCase{"pid_after_4096_blanks", PidFileKind::kText, "{4096 blanks}{pid}\n", false},
                      PidFileCase{"missing", PidFileKind::kMissing, "", false},
                      PidFileCase{"directory", PidFileKind::kDirectory, "", false},
                      PidFileCase{"fifo_without_writer", PidFileKind::kFifo, "", false},
                      PidFileCase{"fifo_with_a_waiting_writer", PidFileKind::kFifoWithWriter, "", false}),
    CaseName());

// --- Which process the pid file names, and who asks ----------------------------------------------------

enum class Program { kStandin, kCopyInTolvaneFolder, kCopyInLowerCaseFolder, kCopyOutsideTolvane };
enum class PidAt { kSystem, kHome, kDeadInSystemLiveInHome, kRootHome };

struct ProcessCase {
  const char* name;
  Program program;
  // The daemon's argv[0]: "" for its program path, "{4095}" / "{4096}" for a text of that many bytes that
  // ends in "Tolvane".
  const char* argv0;
  bool daemonAsUser;  // the daemon runs as the unprivileged user, not as root
  PidAt pidAt;
  bool clientAsUser;  // the client runs as the unprivileged user, not as root
  const char* linuxResult;  // "" connected, otherwise the client's text
  const char* macosResult;  // the same for the macOS flavour; null where its stand-in cannot tell
};

std::string argv0For(const char* text) {
  const std::string s = text;
  if (s == "{4095}") return std::string(4095 - 7, 'a') + "Tolvane";
  if (s == "{4096}") return std::string(4096 - 7, 'a') + "Tolvane";
  return s;
}

void PrintTo(const ProcessCase& c, std::ostream* os) { *os << c.name; }

class DaemonProcess : public RealPathsTest, public ::testing::WithParamInterface<ProcessCase> {};

TEST_P(DaemonProcess, PathOrFirstArgumentMustContainTolvane) {
  const ProcessCase& c = GetParam();
  const char* expected = kMacosFlavour ? c.macosResult : c.linuxResult;
  if (expected == nullptr) GTEST_SKIP() << "the stand-in of proc_pidpath cannot read another user's process";
  User user;
  if ((c.daemonAsUser || c.clientAsUser) && !nobody(&user)) GTEST_SKIP() << "no user nobody";

  std::string program = StandinDaemon::defaultProgram();
  switch (c.program) {
    case Program::kStandin:
      // The build tree may lie where only root can reach it (a checkout in /root, mode 0700): another user
      // who runs the daemon, or reads its executable in the peer check, gets a copy of it in a Tolvane
      // folder of the scratch folder.
      if (c.daemonAsUser || c.clientAsUser) program = copyDaemonProgram(scratch() + "/Tolvane");
      break;
    case Program::kCopyInTolvaneFolder: program = copyDaemonProgram(scratch() + "/Tolvane"); break;
    case Program::kCopyInLowerCaseFolder: program = copyDaemonProgram(scratch() + "/tolvane"); break;
    case Program::kCopyOutsideTolvane: program = copyDaemonProgram(scratch() + "/plain"); break;
  }
  StandinDaemon::Launch launch;
  launch.argv0 = argv0For(c.argv0);
  if (c.daemonAsUser) {
    launch.uid = static_cast<int>(user.uid);
    launch.gid = static_cast<int>(user.gid);
  }
  std::string pidFile = kSystemPidFile;
  switch (c.pidAt) {
    case PidAt::kSystem: break;
    case PidAt::kHome: pidFile = user.home + kHomePidFileSuffix; break;
    case PidAt::kDeadInSystemLiveInHome:
      writeFile(kSystemPidFile, std::to_string(deadPid()) + "\n");
      pidFile = user.home + kHomePidFileSuffix;
      break;
    case PidAt::kRootHome: pidFile = std::string(::getpwuid(0)->pw_dir) + kHomePidFileSuffix; break;
  }
  makeDirs(fs::path(pidFile).parent_path().string(), c.daemonAsUser ? user : User{});
  startDaemon({}, pidFile, kSocketPath, program, launch);

  if (c.clientAsUser) {
    ASSERT_EQ(::chmod(kSocketPath, 0666), 0);
    EXPECT_EQ(runAs(user, [] { return connectOnce(); }), expected);
  } else {
    EXPECT_EQ(connectOnce(), expected);
  }
  EXPECT_EQ(log_.connections(), std::string(expected) == "daemon not running" ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Client, DaemonProcess,
    ::testing::Values(
        ProcessCase{"root_copy_in_Tolvane_folder", Program::kCopyInTolvaneFolder, "", false, PidAt::kSystem, false,
                    "", ""},
        ProcessCase{"root_copy_in_lower_case_folder", Program::kCopyInLowerCaseFolder, "", false, PidAt::kSystem,
                    false, "daemon not running", "daemon not running"},
        ProcessCase{"root_reads_path_not_first_argument", Program::kCopyOutsideTolvane, "/opt/Tolvane/tolvane_daemon",
                    false, PidAt::kSystem, false, "daemon not running", "daemon not running"},
        ProcessCase{"root_ignores_home_pid_file", Program::kStandin, "", false, PidAt::kRootHome, false,
                    "daemon not running", "daemon not running"},
        ProcessCase{"user_home_pid_file", Program::kStandin, "", true, PidAt::kHome, true, "", ""},
        ProcessCase{"user_home_pid_file_after_dead_system_pid", Program::kStandin, "", true,
                    PidAt::kDeadInSystemLiveInHome, true, "", ""},
        ProcessCase{"user_home_pid_file_root_daemon", Program::kStandin, "", false, PidAt::kHome, true, "", nullptr},
        // On Linux the liveness check passes on the first argument, but no executable lies at that path, so
        // the signature check refuses the peer.
        ProcessCase{"user_first_argument_of_root_daemon", Program::kCopyOutsideTolvane, "/opt/Tolvane/tolvane_daemon",
                    false, PidAt::kSystem, true, "server signature verification failed", "daemon not running"},
        ProcessCase{"user_first_argument_without_Tolvane", Program::kCopyOutsideTolvane, "", false, PidAt::kSystem,
                    true, "daemon not running", "daemon not running"},
        ProcessCase{"user_own_daemon_path_not_first_argument", Program::kCopyOutsideTolvane,
                    "/opt/Tolvane/tolvane_daemon", true, PidAt::kHome, true, "daemon not running",
                    "daemon not running"},
        // A name that long cannot even be looked up: the signature check raises, which fails the attempt.
        ProcessCase{"user_first_argument_of_4095_bytes", Program::kCopyOutsideTolvane, "{4095}", false,
                    PidAt::kSystem, true, "connection error", "daemon not running"},
        ProcessCase{"user_first_argument_cut_at_4095_bytes", Program::kCopyOutsideTolvane, "{4096}", false,
                    PidAt::kSystem, true, "daemon not running", "daemon not running"}),
    CaseName());

}  // namespace
}  // namespace brannic_client_test
