// request against the stand-in daemon: reconnecting when not connected, the one checked reconnect and
// repeat after a failed call, time-outs, disconnect, and connections that the daemon closes between calls.

#include <unistd.h>

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
using rpc_sdk::BnqRequest;
using rpc_sdk::BnqResponse;
using rpc_sdk::RpcServiceClient;

// Every daemon here answers a request with its payload as data, so a result shows which call it came from.
std::vector<std::string> echoing(std::vector<std::string> args) {
  args.insert(args.end(), {"--echo", "*"});
  return args;
}

int send(RpcServiceClient& client, const std::string& payload, BnqResponse* out = nullptr, int timeoutMs = 3000) {
  BnqRequest req{rpc_sdk::BNQ_CMD_TRIGGER_SIGNAL, payload};
  BnqResponse resp;
  const int rc = client.request(req, resp, timeoutMs);
  if (rc == 0) {
    EXPECT_EQ(resp.data, payload);
  }
  if (out != nullptr) *out = resp;
  return rc;
}

// --- The paths through request ---------------------------------------------------------------------------

enum class Before {
  kConnect,                   // connectWithRetry succeeded
  kConnectThenDisconnect,     // ... then disconnect
  kConnectThenDaemonNotAlive, // ... then the pid file went away
  kNothing,                   // no connectWithRetry
  kNothingDaemonNotAlive,     // no connectWithRetry, and no pid file
};

struct RequestCase {
  const char* name;
  std::vector<std::string> daemonArgs;
  Before before;
  int rc;
  const char* lastError;  // after the request
  int connections;        // that the daemon accepted, in all
  int requests;           // that the daemon received
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class RequestPath : public RealPathsTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestPath, EndsAsExpected) {
  const RequestCase& c = GetParam();
  startDaemon(echoing(c.daemonArgs));
  RpcServiceClient client(kSocketPath);
  if (c.before != Before::kNothing && c.before != Before::kNothingDaemonNotAlive) {
    ASSERT_TRUE(client.connectWithRetry(3000, 0, 0)) << client.getLastError();
  }
  if (c.before == Before::kConnectThenDisconnect) client.disconnect();
  if (c.before == Before::kConnectThenDaemonNotAlive || c.before == Before::kNothingDaemonNotAlive) {
    ASSERT_EQ(::unlink(kSystemPidFile), 0);
  }
  EXPECT_EQ(send(client, "payload-1"), c.rc);
  EXPECT_EQ(client.getLastError(), c.lastError);
  EXPECT_EQ(log_.connections(), c.connections);
  EXPECT_EQ(log_.requests(), c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    Client, RequestPath,
    ::testing::Values(
        RequestCase{"connected", {}, Before::kConnect, 0, "", 1, 1},
        RequestCase{"after_disconnect", {}, Before::kConnectThenDisconnect, 0, "", 2, 1},
        RequestCase{"never_connected", {}, Before::kNothing, 0, "", 1, 1},
        RequestCase{"never_connected_daemon_not_alive", {}, Before::kNothingDaemonNotAlive, -1,
                    "Not connected and reconnect failed", 0, 0},
        RequestCase{"never_connected_ping_refused", {"--ping", "PONG"}, Before::kNothing, -1,
                    "Not connected and reconnect failed", 1, 0},
        // The first call fails after the daemon received it: the repeat delivers the command a second time.
        RequestCase{"dropped_then_repeated", {"--drop", "request@1"}, Before::kConnect, 0, "rpc error", 2, 2},
        RequestCase{"exception_reply_then_repeated", {"--throw", "request@1=busy"}, Before::kConnect, 0,
                    "rpc error", 2, 2},
        RequestCase{"dropped_twice", {"--drop", "request"}, Before::kConnect, -1, "rpc error after reconnect", 2, 2},
        RequestCase{"dropped_then_reconnect_refused", {"--drop", "request@1", "--throw", "ping@2=no"},
                    Before::kConnect, -1, "connection error", 2, 1},
        RequestCase{"dropped_then_daemon_not_alive", {"--drop", "request@1"}, Before::kConnectThenDaemonNotAlive, -1,
                    "rpc error", 1, 1}),
    CaseName());

// --- Time-outs -------------------------------------------------------------------------------------------

class Request : public RealPathsTest {};

TEST_F(Request, TimedOutCallIsRepeatedOnceOnANewConnection) {
  startDaemon(echoing({"--silent", "request@1"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  const Stopwatch watch;
  EXPECT_EQ(send(client, "slow", nullptr, 400), 0);
  const long long elapsed = watch.ms();
  EXPECT_EQ(client.getLastError(), "rpc error");
  EXPECT_GE(elapsed, 400);
  EXPECT_LE(elapsed, 400 + kSlackMs);
  EXPECT_EQ(log_.requests(), 2);
}

TEST_F(Request, DaemonThatNeverAnswersCostsTwoTimeOuts) {
  startDaemon(echoing({"--silent", "request"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  const Stopwatch watch;
  EXPECT_EQ(send(client, "slow", nullptr, 400), -1);
  const long long elapsed = watch.ms();
  EXPECT_EQ(client.getLastError(), "rpc error after reconnect");
  EXPECT_GE(elapsed, 800);
  EXPECT_LE(elapsed, 800 + kSlackMs);
  // The client is not connected now; the next request reconnects first.
  EXPECT_EQ(log_.connections(), 2);
}

// --- Connections that the daemon closes between calls ---------------------------------------------------

TEST_F(Request, DaemonClosingAfterEachRequestStillServesEveryRequest) {
  startDaemon(echoing({"--close-after", "request"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  for (const std::string payload : {"first", "second", "third"}) {
    EXPECT_EQ(send(client, payload), 0) << payload;
  }
  // Each later request found its connection closed, failed with "rpc error" before sending anything, and
  // went through a checked reconnect: every command arrived exactly once, each on its own connection.
  EXPECT_EQ(client.getLastError(), "rpc error");
  EXPECT_EQ(log_.connections(), 3);
  EXPECT_EQ(log_.pings(), 3);
  EXPECT_EQ(log_.requests(), 3);
  EXPECT_EQ(log_.count("payload=" + std::string("7365636f6e64")), 1);  // "second"
}

TEST_F(Request, DaemonClosingAnIdleConnectionStillServesTheRequest) {
  startDaemon(echoing({"--idle-timeout", "100"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (log_.count("reason=idle") == 0 && Clock::now() < until) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(send(client, "late"), 0);
  EXPECT_EQ(client.getLastError(), "rpc error");
  EXPECT_EQ(log_.connections(), 2);
  EXPECT_EQ(log_.requests(), 1);
}

TEST_F(Request, ProcessThatTookTheSocketPathIsCheckedAndGetsNoRequest) {
  startDaemon(echoing({"--close-after", "request"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  EXPECT_EQ(send(client, "to-daemon"), 0);
  // Another process binds the socket path; the genuine daemon and its pid file stay.
  const DaemonLog impostorLog = makeLog("impostor.log");
  StandinDaemon impostor(kSocketPath, {"--ping", "PONG", "--log", impostorLog.path()});
  EXPECT_EQ(send(client, "to-impostor"), -1);
  EXPECT_EQ(client.getLastError(), "unexpected Ping response");
  EXPECT_EQ(impostorLog.pings(), 1);
  EXPECT_EQ(impostorLog.requests(), 0);
  EXPECT_EQ(log_.requests(), 1);
}

TEST_F(Request, ReconnectAfterAClosedConnectionChecksLivenessAgain) {
  startDaemon(echoing({"--close-after", "request"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  EXPECT_EQ(send(client, "first"), 0);
  ASSERT_EQ(::unlink(kSystemPidFile), 0);
  EXPECT_EQ(send(client, "second"), -1);
  EXPECT_EQ(client.getLastError(), "rpc error");
  EXPECT_EQ(log_.connections(), 1);
}

#if defined(BRANNIC_CLIENT_FLAVOUR_MACOS) && !defined(__APPLE__)
TEST_F(Request, ReconnectAfterAClosedConnectionChecksThePeerAgain) {
  startDaemon(echoing({"--close-after", "request"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  EXPECT_EQ(send(client, "first"), 0);
  macosStandinFailPeerPid(true);
  const int rc = send(client, "second");
  macosStandinFailPeerPid(false);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(client.getLastError(), "server process path is empty");
  EXPECT_EQ(log_.pings(), 2);
  EXPECT_EQ(log_.requests(), 1);
}
#endif

// The price of checking every connection: a daemon that closes after every reply, Ping included, can take
// no request, since each checked connection is gone by the time the request follows its Ping.
TEST_F(Request, DaemonClosingAfterEveryReplyCannotServeARequest) {
  startDaemon(echoing({"--close-after", "all"}));
  RpcServiceClient client(kSocketPath);
  ASSERT_TRUE(client.connectWithRetry(3000, 0, 0));
  EXPECT_EQ(send(client, "never"), -1);
  EXPECT_EQ(client.getLastError(), "rpc error after reconnect");
  EXPECT_EQ(log_.connections(), 2);
  EXPECT_EQ(log_.requests(), 0);
}

}  // namespace
}  // namespace brannic_client_test
