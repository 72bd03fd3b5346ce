// connectWithRetry against the stand-in daemon: the Ping answer, the attempts and pauses, a daemon that
// goes away between attempts, time-outs, and the peer check.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "real_paths_fixture.h"
#include "rpc_service_client.h"
#if defined(BRANNIC_CLIENT_FLAVOUR_MACOS) && !defined(__APPLE__)
#include "platform/macos_services_standin.h"
#endif

namespace brannic_client_test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Connect : public RealPathsTest {};

// --- The Ping answer -------------------------------------------------------------------------------------

struct PingCase {
  const char* name;
  std::vector<std::string> daemonArgs;
  const char* expected;  // "" connected
};

void PrintTo(const PingCase& c, std::ostream* os) { *os << c.name; }

class PingAnswer : public RealPathsTest, public ::testing::WithParamInterface<PingCase> {};

TEST_P(PingAnswer, OnlyExactlyPongIsAccepted) {
  const PingCase& c = GetParam();
  startDaemon(c.daemonArgs);
  rpc_sdk::RpcServiceClient client(kSocketPath);
  const bool connected = client.connectWithRetry(3000, 0, 0);
  EXPECT_EQ(connected ? std::string() : client.getLastError(), c.expected);
  EXPECT_EQ(log_.pings(), 1);
  // A refused daemon gets nothing more: a request first needs a checked reconnect, which fails the same way.
  if (!connected) {
    rpc_sdk::BnqRequest req{rpc_sdk::BNQ_CMD_REPORT_SIGNAL, "{}"};
    rpc_sdk::BnqResponse resp;
    EXPECT_EQ(client.request(req, resp, 3000), -1);
    EXPECT_EQ(client.getLastError(), "Not connected and reconnect failed");
    EXPECT_EQ(log_.requests(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Client, PingAnswer,
                         ::testing::Values(PingCase{"pong", {}, ""},
                                           PingCase{"capitals", {"--ping", "PONG"}, "unexpected Ping response"},
                                           PingCase{"trailing_newline", {"--ping-hex", "706f6e670a"},
                                                    "unexpected Ping response"},
                                           PingCase{"trailing_nul", {"--ping-hex", "706f6e6700"},
                                                    "unexpected Ping response"},
                                           PingCase{"prefix", {"--ping", "pon"}, "unexpected Ping response"},
                                           PingCase{"empty", {"--ping-hex", ""}, "unexpected Ping response"},
                                           PingCase{"exception_reply", {"--throw", "ping=no"}, "connection error"},
                                           PingCase{"connection_dropped", {"--drop", "ping"}, "connection error"}),
                         CaseName());

// --- Attempts and pauses ---------------------------------------------------------------------------------

struct RetryCase {
  const char* name;
  int retries;
  int delayMs;
  int attempts;
  int pausedMs;  // the least total pause
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class Retries : public RealPathsTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(Retries, AttemptsAndPausesFollowTheArguments) {
  const RetryCase& c = GetParam();
  startDaemon({"--ping", "PONG"});
  rpc_sdk::RpcServiceClient client(kSocketPath);
  const Stopwatch watch;
  EXPECT_FALSE(client.connectWithRetry(2000, c.retries, c.delayMs));
  const long long elapsed = watch.ms();
  EXPECT_EQ(client.getLastError(), "unexpected Ping response");
  EXPECT_EQ(log_.connections(), c.attempts);
  EXPECT_GE(elapsed, c.pausedMs);
  EXPECT_LE(elapsed, c.pausedMs + kSlackMs);
  // When the arguments ask for no pause there is none: well below one delay.
  if (c.pausedMs == 0 && c.delayMs > 0) {
    EXPECT_LT(elapsed, c.delayMs);
  }
}

INSTANTIATE_TEST_SUITE_P(Client, Retries,
                         ::testing::Values(RetryCase{"no_retry", 0, 400, 1, 0},
                                           RetryCase{"negative_retries", -3, 400, 1, 0},
                                           RetryCase{"two_retries", 2, 150, 3, 300},
                                           RetryCase{"three_retries_no_delay", 3, 0, 4, 0},
                                           RetryCase{"negative_delay", 2, -100, 3, 0}),
                         CaseName());

TEST_F(Connect, SecondAttemptSucceedsAfterAFailedOne) {
  // The first connection's Ping is refused by the daemon; the retry gets a fresh connection.
  startDaemon({"--throw", "ping@1=busy"});
  rpc_sdk::RpcServiceClient client(kSocketPath);
  EXPECT_TRUE(client.connectWithRetry(2000, 3, 50));
  EXPECT_EQ(log_.connections(), 2);
  // The failed attempt's text stays: no success clears it.
  EXPECT_EQ(client.getLastError(), "connection error");
}

TEST_F(Connect, DaemonGoingAwayBetweenAttemptsEndsTheLoop) {
  StandinDaemon& daemon = startDaemon({"--ping", "PONG"});
  std::atomic<bool> done{false};
  // Stops the daemon (it removes its socket and pid file) as soon as the first attempt reached it.
  std::thread stopper([&] {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (!done && log_.pings() == 0 && Clock::now() < until) std::this_thread::sleep_for(milliseconds(2));
    daemon.stop();
  });
  rpc_sdk::RpcServiceClient client(kSocketPath);
  const bool connected = client.connectWithRetry(2000, 3, 800);
  done = true;
  stopper.join();
  EXPECT_FALSE(connected);
  EXPECT_EQ(client.getLastError(), "daemon not running");
  EXPECT_EQ(log_.connections(), 1);
}

TEST_F(Connect, PausesLastTheirFullTimeWhileSignalsArrive) {
  startDaemon({"--ping", "PONG"});
  // A handler without SA_RESTART: every signal interrupts the sleeping call.
  struct sigaction quiet {};
  struct sigaction previous {};
  quiet.sa_handler = [](int) {};
  sigemptyset(&quiet.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);
  const pthread_t caller = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread storm([&] {
    while (!done) {
      ::pthread_kill(caller, SIGUSR1);
      std::this_thread::sleep_for(milliseconds(15));
    }
  });
  rpc_sdk::RpcServiceClient client(kSocketPath);
  const Stopwatch watch;
  const bool connected = client.connectWithRetry(2000, 2, 300);
  const long long elapsed = watch.ms();
  done = true;
  storm.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_FALSE(connected);
  EXPECT_EQ(client.getLastError(), "unexpected Ping response");
  EXPECT_EQ(log_.connections(), 3);
  EXPECT_GE(elapsed, 600);
  EXPECT_LE(elapsed, 600 + kSlackMs);
}

TEST_F(Connect, DaemonThatNeverAnswersPingTimesOut) {
  startDaemon({"--silent", "ping"});
  rpc_sdk::RpcServiceClient client(kSocketPath);
  const Stopwatch watch;
  EXPECT_FALSE(client.connectWithRetry(400, 1, 100));
  const long long elapsed = watch.ms();
  EXPECT_EQ(client.getLastError(), "connection error");
  EXPECT_EQ(log_.connections(), 2);
  EXPECT_GE(elapsed, 2 * 400 + 100);
  EXPECT_LE(elapsed, 2 * 400 + 100 + kSlackMs);
}

#if !defined(BRANNIC_CLIENT_FLAVOUR_MACOS)
// --- The peer's user namespace (Linux) -------------------------------------------------------------------

// In a user namespace of its own a process holds every capability, enough to point its executable link at
// any file it may execute. The relinked daemon does so: it runs unsigned code while its link names the
// signed daemon.
enum class Peer { kSigned, kSignedInOwnNamespace, kRelinkedInOwnNamespace };

struct NamespaceCase {
  const char* name;
  Peer peer;
  bool hostInOwnNamespace;
  const char* expected;  // "" connected
};

void PrintTo(const NamespaceCase& c, std::ostream* os) { *os << c.name; }

class PeerNamespace : public RealPathsTest, public ::testing::WithParamInterface<NamespaceCase> {};

// The identity of what `path` opens, as "device:inode"; "" when it cannot be taken.
std::string identity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

TEST_P(PeerNamespace, APeerInsideTheHostsUserNamespaceIsRefused) {
  const NamespaceCase& c = GetParam();
  if ((c.peer != Peer::kSigned || c.hostInOwnNamespace) && !userNamespacesWork()) {
    GTEST_SKIP() << "the kernel refuses user namespaces here";
  }
  StandinDaemon::Launch launch;
  launch.newUserNamespace = c.peer == Peer::kSignedInOwnNamespace;
  const std::string program =
      c.peer == Peer::kRelinkedInOwnNamespace ? BRANNIC_RELINKED_DAEMON : StandinDaemon::defaultProgram();
  const StandinDaemon& daemon = startDaemon({}, kSystemPidFile, kSocketPath, program, launch);
  const std::string proc = "/proc/" + std::to_string(daemon.pid());
  if (c.peer != Peer::kSigned) {
    ASSERT_NE(identity(proc + "/ns/user"), identity("/proc/self/ns/user"));
  }
  if (c.peer == Peer::kRelinkedInOwnNamespace &&
      identity(proc + "/exe") != identity(StandinDaemon::defaultProgram())) {
    GTEST_SKIP() << "the kernel refused the change of the executable link (see the daemon's stderr)";
  }
  const auto connect = [] {
    rpc_sdk::RpcServiceClient client(kSocketPath);
    return client.connectWithRetry(3000, 0, 0) ? std::string() : client.getLastError();
  };
  EXPECT_EQ(c.hostInOwnNamespace ? runInOwnUserNamespace(connect) : connect(), c.expected);
  EXPECT_EQ(log_.pings(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Client, PeerNamespace,
    ::testing::Values(
        NamespaceCase{"signed_daemon_in_the_hosts_namespace", Peer::kSigned, false, ""},
        NamespaceCase{"signed_daemon_in_a_namespace_of_its_own", Peer::kSignedInOwnNamespace, false,
                      "server signature verification failed"},
        NamespaceCase{"unsigned_daemon_linked_to_the_signed_file", Peer::kRelinkedInOwnNamespace, false,
                      "server signature verification failed"},
        // A host in a sandbox of its own cannot reach the daemon's namespace: it checks the file as before.
        NamespaceCase{"host_in_a_namespace_of_its_own", Peer::kSigned, true, ""}),
    CaseName());
#endif

#if defined(BRANNIC_CLIENT_FLAVOUR_MACOS) && !defined(__APPLE__)
// LOCAL_PEERPID failing leaves process id 0, whose path is empty.
class PeerPidFails : public RealPathsTest {
 protected:
  void TearDown() override {
    macosStandinFailPeerPid(false);
    RealPathsTest::TearDown();
  }
};

TEST_F(PeerPidFails, PeerWithoutProcessIdIsRefused) {
  startDaemon({});
  macosStandinFailPeerPid(true);
  rpc_sdk::RpcServiceClient client(kSocketPath);
  EXPECT_FALSE(client.connectWithRetry(2000, 1, 10));
  EXPECT_EQ(client.getLastError(), "server process path is empty");
  EXPECT_EQ(log_.pings(), 2);
  // A refused peer is dropped: the next request makes a new, checked connection.
  rpc_sdk::BnqRequest req{rpc_sdk::BNQ_CMD_REPORT_SIGNAL, "{}"};
  rpc_sdk::BnqResponse resp;
  EXPECT_EQ(client.request(req, resp, 2000), -1);
  EXPECT_EQ(log_.requests(), 0);
  macosStandinFailPeerPid(false);
  EXPECT_EQ(client.request(req, resp, 2000), 0);
  EXPECT_EQ(log_.requests(), 1);
}
#endif

}  // namespace
}  // namespace brannic_client_test
