// The stand-in daemon's scripting, seen through the RPC layer's client, its log and its pid file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "raw_socket.h"
#include "rcf_vectors.h"
#include "rpc_service.h"
#include "standin_daemon.h"

namespace brannic_test {
namespace {

using rpc_sdk::BnqRequest;
using rpc_sdk::BnqResponse;
using Client = rpc_sdk::RcfClient<rpc_sdk::IRpcService>;

class DaemonScript : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string base = "/tmp/brannic-daemon-script-" + std::to_string(getpid());
    socket_ = base + ".sock";
    log_ = base + ".log";
    pidFile_ = base + "/run/Tolvane.pid";
    ::unlink(log_.c_str());
  }
  void TearDown() override {
    ::unlink(log_.c_str());
    ::rmdir((socket_.substr(0, socket_.size() - 5) + "/run").c_str());
    ::rmdir(socket_.substr(0, socket_.size() - 5).c_str());
  }
  std::unique_ptr<StandinDaemon> start(std::vector<std::string> args) {
    args.insert(args.end(), {"--log", log_});
    return std::make_unique<StandinDaemon>(socket_, args);
  }
  std::unique_ptr<Client> client() {
    auto c = std::make_unique<Client>(RCF::UnixLocalEndpoint(socket_), "");
    c->getClientStub().setRemoteCallTimeoutMs(3000);
    return c;
  }
  std::string log() const {
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static BnqResponse request(Client& c, std::int32_t command, const std::string& payload) {
    BnqRequest req{command, payload};
    BnqResponse resp;
    c.Request(req, resp);
    return resp;
  }

  std::string socket_, log_, pidFile_;
};

TEST_F(DaemonScript, WritesItsPidFileAndRemovesItWithTheSocket) {
  auto daemon = start({"--pid-file", pidFile_});
  std::ifstream pid(pidFile_);
  long value = 0;
  pid >> value;
  EXPECT_EQ(value, daemon->pid());
  const int status = daemon->stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  struct stat st {};
  EXPECT_NE(::stat(pidFile_.c_str(), &st), 0);
  EXPECT_NE(::stat(socket_.c_str(), &st), 0);
}

TEST_F(DaemonScript, LeavesTheSocketAndPidFileOfADaemonStartedAfterIt) {
  auto first = start({"--pid-file", pidFile_});
  auto second = start({"--pid-file", pidFile_});
  first->stop();
  std::ifstream pid(pidFile_);
  long value = 0;
  pid >> value;
  EXPECT_EQ(value, second->pid());
  EXPECT_EQ(client()->Ping(), "pong") << "the second daemon is still reached at the socket path";
  second->stop();
  struct stat st {};
  EXPECT_NE(::stat(pidFile_.c_str(), &st), 0);
  EXPECT_NE(::stat(socket_.c_str(), &st), 0);
}

TEST_F(DaemonScript, RepliesAsScriptedAndLogsWhatItReceived) {
  auto daemon = start({"--ping", "PONG", "--status", "4=-2", "--detail", "4=why", "--data", "4=x", "--echo", "6",
                       "--throw", "5=nope"});
  auto c = client();
  EXPECT_EQ(c->Ping(), "PONG");
  const BnqResponse r4 = request(*c, 4, "{}");
  EXPECT_EQ(r4.status, -2);
  EXPECT_EQ(r4.detail, "why");
  EXPECT_EQ(r4.data, "x");
  const BnqResponse r6 = request(*c, 6, "ab");
  EXPECT_EQ(r6.status, 0);
  EXPECT_EQ(r6.data, "ab");
  try {
    request(*c, 5, "");
    ADD_FAILURE() << "expected an exception reply";
  } catch (const RCF::Exception& e) {
    EXPECT_EQ(e.getErrorId(), RCF::RcfError_AppException);
    EXPECT_STREQ(e.what(), "Server-side application exception. Exception type: St13runtime_error. "
                           "Exception message: 'nope'.");
  }
  EXPECT_EQ(c->Ping(), "PONG") << "an exception reply keeps the connection";
  c.reset();
  daemon.reset();
  const std::string expected =
            "accept conn=1\n"
            "request conn=1 fn=1 binding=IRpcService runtime=13\n"
            "request conn=1 fn=0 binding=IRpcService runtime=13 command=4 payload=7b7d\n"
            "request conn=1 fn=0 binding=IRpcService runtime=13 command=6 payload=6162\n"
            "request conn=1 fn=0 binding=IRpcService runtime=13 command=5 payload=\n"
            "request conn=1 fn=1 binding=IRpcService runtime=13\n";
  EXPECT_EQ(log().substr(0, expected.size()), expected);
}

// A peer that hangs up before another connection arrives: everything it sent, and its close, is logged
// before the later connection's accept, however far behind its thread is.
TEST_F(DaemonScript, LogsAHungUpConnectionToItsCloseBeforeALaterAccept) {
  auto daemon = start({});
  constexpr int kPings = 200;
  {
    RawSocket first(socket_);
    std::string pings;
    for (int i = 0; i < kPings; ++i) pings += rcfVector("ping_ok").request;
    first.send(pings);
    first.shutdownWrite();
    EXPECT_EQ(client()->Ping(), "pong");
  }
  daemon.reset();
  std::istringstream lines(log());
  std::vector<std::string> before;
  for (std::string line; std::getline(lines, line) && line != "accept conn=2";) before.push_back(line);
  ASSERT_EQ(before.size(), kPings + 2u) << log();
  EXPECT_EQ(before.front(), "accept conn=1");
  EXPECT_EQ(before.back(), "close conn=1 reason=peer");
}

TEST_F(DaemonScript, ClosesAfterRequestRepliesButNotAfterPing) {
  auto daemon = start({"--close-after", "request"});
  auto c = client();
  EXPECT_EQ(c->Ping(), "pong");
  EXPECT_EQ(c->Ping(), "pong");
  request(*c, 4, "a");
  // Give the daemon time to close, as between two real calls; automatic reconnection then opens a
  // second connection.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  request(*c, 4, "b");
  c.reset();
  daemon.reset();
  const std::string l = log();
  EXPECT_NE(l.find("close conn=1 reason=close-after"), std::string::npos) << l;
  EXPECT_NE(l.find("request conn=2 fn=0 binding=IRpcService runtime=13 command=4 payload=62"), std::string::npos) << l;
}

TEST_F(DaemonScript, DelayDropSilenceAndIdleTimeOut) {
  auto daemon = start({"--delay", "ping=300", "--drop", "4", "--silent", "5@2", "--idle-timeout", "400"});
  auto c = client();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c->Ping(), "pong");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));

  EXPECT_THROW(request(*c, 4, ""), RCF::Exception);  // dropped after reading: never replayed
  c->getClientStub().setRemoteCallTimeoutMs(300);
  EXPECT_THROW(request(*c, 5, ""), RCF::Exception);  // connection 2 never gets an answer
  request(*c, 5, "");                                // connection 3 does

  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  c.reset();
  daemon.reset();
  const std::string l = log();
  EXPECT_NE(l.find("close conn=1 reason=drop"), std::string::npos) << l;
  EXPECT_NE(l.find("close conn=3 reason=idle"), std::string::npos) << l;
  EXPECT_EQ(l.find("conn=4"), std::string::npos) << l;
}

}  // namespace
}  // namespace brannic_test
