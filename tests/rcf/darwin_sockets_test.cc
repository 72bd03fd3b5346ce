// The Darwin socket calls of the layer, over the Linux stand-in of the macOS flavour: every socket the layer
// opens is non-blocking, closed on exec and has SO_NOSIGPIPE before anything is sent on it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "darwin_sockets_standin.h"
#include "rcf_vectors.h"
#include "rpc_service.h"
#include "scripted_peer.h"

extern char** environ;

namespace brannic_test {
namespace {

using Client = rpc_sdk::RcfClient<rpc_sdk::IRpcService>;

int handleOf(Client& c) {
  return dynamic_cast<RCF::BsdClientTransport&>(c.getClientStub().getTransport()).getNativeHandle();
}

// Whether a program started now through exec sees descriptor fd open.
bool openAfterExec(int fd) {
  const std::string script = "test -e /proc/self/fd/" + std::to_string(fd);
  char sh[] = "sh";
  char dashC[] = "-c";
  std::vector<char> text(script.begin(), script.end());
  text.push_back('\0');
  char* argv[] = {sh, dashC, text.data(), nullptr};
  pid_t pid = -1;
  EXPECT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  return WEXITSTATUS(status) == 0;
}

// Checks the socket of the layer that is open now.
void expectDarwinFlags(int fd, const char* when) {
  ASSERT_GE(fd, 0) << when;
  EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << when;
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << when;
  EXPECT_FALSE(openAfterExec(fd)) << when;
}

TEST(DarwinSockets, EveryConnectionIsSetUpBeforeItsFirstSend) {
  const std::string pong = rcfVector("ping_ok").reply;
  // Connection 1 is closed by the peer after its reply, so the next call opens connection 2 by itself; that
  // one is closed without a reply, the call fails, and the call after it opens connection 3.
  ScriptedPeer peer({{PeerStep::kReplyThenClose, pong}, {PeerStep::kClose, ""}, {PeerStep::kReply, pong}});
  const std::size_t seenBefore = RCF::darwin::standinSockets().size();
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");

  EXPECT_EQ(client.Ping(), "pong");
  expectDarwinFlags(handleOf(client), "first connection");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_THROW(client.Ping(), RCF::Exception);
  EXPECT_EQ(client.Ping(), "pong");
  expectDarwinFlags(handleOf(client), "connection after a failed call");
  ASSERT_EQ(peer.connections(), 3);

  const std::vector<RCF::darwin::SocketRecord> seen = RCF::darwin::standinSockets();
  ASSERT_EQ(seen.size() - seenBefore, 3u) << "one socket per connection";
  for (std::size_t i = seenBefore; i < seen.size(); ++i) {
    EXPECT_TRUE(seen[i].noSigpipeAtFirstSend) << "socket " << i - seenBefore + 1;
    EXPECT_EQ(seen[i].sends, 1) << "socket " << i - seenBefore + 1;
  }
}

TEST(DarwinSockets, ExecProbeSeesADescriptorWithoutCloseOnExec) {
  // The probe itself: a copy of the socket without FD_CLOEXEC stays open across exec.
  ScriptedPeer peer({{PeerStep::kReply, rcfVector("ping_ok").reply}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  EXPECT_EQ(client.Ping(), "pong");
  const int copy = ::dup(handleOf(client));
  ASSERT_GE(copy, 0);
  EXPECT_TRUE(openAfterExec(copy));
  ::close(copy);
}

TEST(DarwinSockets, FailureTextsComeFromTheXsiStrerror) {
  Client missing(RCF::UnixLocalEndpoint("/tmp/brannic-rcf-no-such-socket"), "");
  try {
    missing.Ping();
    ADD_FAILURE() << "connected";
  } catch (const RCF::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(std::string(": ") + std::strerror(ENOENT) + "."), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace brannic_test
