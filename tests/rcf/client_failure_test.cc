// Local failures of the client: malformed replies, time-outs, disconnections, automatic reconnection,
// the message limit and SIGPIPE. Each raises RCF::Exception and closes the socket.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "rcf_vectors.h"
#include "rpc_service.h"
#include "scripted_peer.h"

namespace brannic_test {
namespace {

using rpc_sdk::BnqRequest;
using rpc_sdk::BnqResponse;
using Client = rpc_sdk::RcfClient<rpc_sdk::IRpcService>;
using Clock = std::chrono::steady_clock;

// Sanitizer builds and a loaded machine are slow; a time-out may overrun by this much.
constexpr auto kSlack = std::chrono::milliseconds(1500);

int handleOf(Client& c) {
  return dynamic_cast<RCF::BsdClientTransport&>(c.getClientStub().getTransport()).getNativeHandle();
}

std::string replyBody(const std::string& body) { return frame(std::string("\x02\x03\x00\x00\x00\x00", 6) + body); }

// Calls Ping and returns the error id it raised (0: none), the time it took and whether the socket stayed.
struct Outcome {
  int errorId = 0;
  std::string text;
  Clock::duration elapsed{};
};
Outcome ping(Client& client) {
  Outcome o;
  const auto t0 = Clock::now();
  try {
    client.Ping();
  } catch (const RCF::Exception& e) {
    o.errorId = e.getErrorId();
    o.text = e.what();
  }
  o.elapsed = Clock::now() - t0;
  return o;
}

TEST(ClientFailure, MalformedRepliesFailTheCallAndCloseTheSocket) {
  const std::string pong = rcfVector("ping_ok").reply;
  const std::string mismatch = rcfVector("runtime_v14").reply;
  // The same message from a server at runtime 12: the client lowers its version and resends, once.
  std::string mismatch12 = mismatch;
  mismatch12[7] = 12;
  std::string longerThanSent = pong.substr(0, 12);
  longerThanSent[0] = 40;
  std::string trailing = pong + std::string(1, '\0');
  trailing[0] = static_cast<char>(trailing.size() - 4);
  std::string badAttribute = pong;
  badAttribute[11] = 0x02;  // the string node marked as a reference
  std::string stringPastEnd = pong;
  stringPastEnd[16] = 0x40;  // 64 bytes announced, 4 present

  struct Case {
    const char* what;
    std::vector<PeerStep> steps;
    std::size_t requestsSent = 1;
  } cases[] = {
      {"length 0", {{PeerStep::kReply, std::string(4, '\0')}}},
      {"length above 1 MiB", {{PeerStep::kReply, std::string("\x01\x00\x10\x00", 4) + std::string(64, '\0')}}},
      {"truncated frame", {{PeerStep::kReplyThenClose, longerThanSent}}},
      {"unknown descriptor", {{PeerStep::kReply, frame(std::string("\x09\x03\x00\x00\x00\x00", 6))}}},
      {"filtered payload descriptor", {{PeerStep::kReply, frame(std::string("\x03\x03\x00\x00\x00\x00", 6))}}},
      {"request descriptor", {{PeerStep::kReply, rcfVector("ping_ok").request}}},
      {"bool byte 2", {{PeerStep::kReply, frame(std::string("\x02\x03\x02\x00\x00\x00", 6))}}},
      {"reply header version 4", {{PeerStep::kReply, frame(std::string("\x02\x04\x00\x00\x00\x00", 6))}}},
      {"user data length past the end", {{PeerStep::kReply, frame(std::string("\x02\x03\x00\x09\x00", 5))}}},
      {"string length past the end", {{PeerStep::kReply, stringPastEnd}}},
      {"reference node", {{PeerStep::kReply, badAttribute}}},
      {"nested nodes", {{PeerStep::kReply, replyBody(std::string(30000, '\0'))}}},
      {"record instead of a string", {{PeerStep::kReply, rcfVector("request_ok").reply}}},
      {"trailing bytes", {{PeerStep::kReply, trailing}}},
      {"exception body truncated", {{PeerStep::kReply, frame(std::string("\x02\x03\x01\x00\x00\x00\x00\x00\x00\x00\x01\x04", 12))}}},
      {"unknown error message", {{PeerStep::kReply, frame(std::string("\x00\x01\x21\x00\x00\x00\x00\x00\x00\x00", 10))}}},
      {"error message version 7", {{PeerStep::kReply, frame(std::string("\x00\x07\x46\x0d\x00", 5))}}},
      {"version mismatch twice", {{PeerStep::kReply, mismatch12}, {PeerStep::kReply, mismatch12}}, 2},
      {"mismatch to our own version", {{PeerStep::kReply, frame(std::string("\x00\x01\x46\x0d\x00", 5)) }}},
      {"mismatch to a version we cannot speak", {{PeerStep::kReply, frame(std::string("\x00\x01\x46\x05\x00", 5))}}},
      {"peer closes after the request", {{PeerStep::kClose, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer(c.steps);
    Client client(RCF::UnixLocalEndpoint(peer.path()), "");
    client.getClientStub().setRemoteCallTimeoutMs(5000);
    const Outcome o = ping(client);
    EXPECT_NE(o.errorId, 0);
    EXPECT_LT(o.elapsed, std::chrono::seconds(2)) << "failed fast, not by the time-out";
    EXPECT_EQ(handleOf(client), -1);
    EXPECT_EQ(peer.requests().size(), c.requestsSent) << "never replayed; a version mismatch resends once";
    EXPECT_EQ(peer.connections(), 1);
    if (std::string(c.what) == "peer closes after the request") {
      EXPECT_EQ(o.text, "Unexpected peer disconnection.");
    }
  }
}

TEST(ClientFailure, RemoteCallTimeOutBoundsTheWholeReply) {
  const std::string pong = rcfVector("ping_ok").reply;
  for (const PeerStep& step : {PeerStep{PeerStep::kSilent, "", 0}, PeerStep{PeerStep::kDribble, pong, 60},
                               PeerStep{PeerStep::kReply, pong, 1500}}) {
    SCOPED_TRACE(step.kind);
    ScriptedPeer peer({step});
    Client client(RCF::UnixLocalEndpoint(peer.path()), "");
    client.getClientStub().setRemoteCallTimeoutMs(400);
    const Outcome o = ping(client);
    EXPECT_EQ(o.errorId, RCF::RcfError_CallTimeout);
    EXPECT_GE(o.elapsed, std::chrono::milliseconds(400));
    EXPECT_LE(o.elapsed, std::chrono::milliseconds(400) + kSlack);
    EXPECT_EQ(handleOf(client), -1);
  }
  // A peer that never reads: the send of a request larger than the socket buffers counts too.
  ScriptedPeer deaf({}, /*accept=*/false);
  Client client(RCF::UnixLocalEndpoint(deaf.path()), "");
  client.getClientStub().setRemoteCallTimeoutMs(400);
  BnqResponse resp;
  const auto t0 = Clock::now();
  try {
    client.Request(BnqRequest{4, std::string(1000000, 'x')}, resp);
    ADD_FAILURE() << "sent";
  } catch (const RCF::Exception& e) {
    EXPECT_EQ(e.getErrorId(), RCF::RcfError_CallTimeout) << e.what();
  }
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(400));
  EXPECT_LE(Clock::now() - t0, std::chrono::milliseconds(400) + kSlack);
  EXPECT_EQ(handleOf(client), -1);
}

TEST(ClientFailure, ConnectTimeOutAndConnectErrors) {
  // A listener that never accepts, with its backlog filled: connecting cannot complete.
  ScriptedPeer peer({}, /*accept=*/false, /*backlog=*/0);
  std::vector<int> fillers;
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, peer.path().c_str(), peer.path().size());
    const int r = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(fd);
    if (r != 0) break;
  }
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  client.getClientStub().setConnectTimeoutMs(400);
  const Outcome o = ping(client);
  EXPECT_EQ(o.errorId, RCF::RcfError_ConnectTimeout) << o.text;
  EXPECT_GE(o.elapsed, std::chrono::milliseconds(400));
  EXPECT_LE(o.elapsed, std::chrono::milliseconds(400) + kSlack);
  for (int fd : fillers) ::close(fd);

  Client missing(RCF::UnixLocalEndpoint("/tmp/brannic-rcf-no-such-socket"), "");
  EXPECT_EQ(ping(missing).errorId, RCF::RcfError_ConnectFailed);
  Client tooLong(RCF::UnixLocalEndpoint("/tmp/" + std::string(108, 'x')), "");
  EXPECT_EQ(ping(tooLong).errorId, RCF::RcfError_Endpoint);
  Client empty(RCF::UnixLocalEndpoint(""), "");
  EXPECT_EQ(ping(empty).errorId, RCF::RcfError_Endpoint);
}

TEST(ClientFailure, ReconnectsAutomaticallyAfterThePeerClosed) {
  const std::string pong = rcfVector("ping_ok").reply;
  ScriptedPeer peer({{PeerStep::kReplyThenClose, pong}, {PeerStep::kReply, pong}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  EXPECT_TRUE(client.getClientStub().getAutoReconnect());
  EXPECT_EQ(client.Ping(), "pong");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(client.Ping(), "pong");
  EXPECT_EQ(peer.connections(), 2);
  EXPECT_EQ(peer.requests().size(), 2u);
}

TEST(ClientFailure, WithoutAutomaticReconnectionAClosedConnectionFailsBeforeSending) {
  const std::string pong = rcfVector("ping_ok").reply;
  ScriptedPeer peer({{PeerStep::kReplyThenClose, pong}, {PeerStep::kReply, pong}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  client.getClientStub().setAutoReconnect(false);
  EXPECT_EQ(client.Ping(), "pong") << "a fresh client object still connects";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ping(client).errorId, RCF::RcfError_NotConnected);
  EXPECT_EQ(ping(client).errorId, RCF::RcfError_NotConnected);
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(peer.requests().size(), 1u);
}

// --- Bytes that arrive between calls ---------------------------------------------------------------------

// A Ping reply whose string is `word` (at most 127 bytes).
std::string pingReply(const std::string& word) {
  return replyBody(std::string("\x00\x00\x00\x00\x01\x04", 6) + static_cast<char>(word.size()) +
                   std::string("\x00\x00\x00\x02", 4) + word + "\x02");
}

int openDescriptors() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    static_cast<void>(entry);
    ++n;
  }
  return n;
}

// A late reply, a second copy of a reply or any other unsolicited bytes on the connection are never read as
// the answer to the next call: the stub finds the connection unusable before sending, and reconnects (or,
// without automatic reconnection, fails without sending).
TEST(ClientFailure, BytesArrivingBetweenCallsAreNeverTakenAsTheNextAnswer) {
  ASSERT_EQ(pingReply("pong"), rcfVector("ping_ok").reply);
  const std::string first = pingReply("first");
  struct Case {
    const char* what;
    PeerStep step;          // the peer's answer to the first call
    const char* firstWord;  // what the first call returns; null: it times out
  } cases[] = {
      {"a late reply to a timed-out call", {PeerStep::kReply, first, 200 + static_cast<int>(kSlack.count())}, nullptr},
      {"a second copy of the reply", {PeerStep::kReply, first + first}, "first"},
      {"junk after the reply", {PeerStep::kReply, first + "junk"}, "first"},
      {"the start of another frame", {PeerStep::kReply, first + std::string("\x40\x00\x00\x00\x02\x03", 6)}, "first"},
      {"a second reply trickling in after the first", {PeerStep::kDribble, first + pingReply("stale"), 2}, "first"},
  };
  for (const Case& c : cases) {
    for (const bool autoReconnect : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (autoReconnect ? "" : ", without automatic reconnection"));
      ScriptedPeer peer({c.step, {PeerStep::kReply, pingReply("fresh")}});
      Client client(RCF::UnixLocalEndpoint(peer.path()), "");
      client.getClientStub().setAutoReconnect(autoReconnect);
      client.getClientStub().setRemoteCallTimeoutMs(c.firstWord != nullptr ? 3000 : 200);
      if (c.firstWord != nullptr) {
        EXPECT_EQ(client.Ping(), c.firstWord);
      } else {
        EXPECT_EQ(ping(client).errorId, RCF::RcfError_CallTimeout);
      }
      // Long enough for a trickling or late reply to be there when the next call starts.
      std::this_thread::sleep_for(std::chrono::milliseconds(c.firstWord != nullptr ? 200 : 0));
      client.getClientStub().setRemoteCallTimeoutMs(3000);
      if (autoReconnect) {
        std::string answer;
        EXPECT_NO_THROW(answer = client.Ping());
        EXPECT_EQ(answer, "fresh");
        EXPECT_EQ(peer.connections(), 2);
        EXPECT_EQ(peer.requests().size(), 2u);
      } else {
        EXPECT_EQ(ping(client).errorId, RCF::RcfError_NotConnected);
        EXPECT_EQ(peer.requests().size(), 1u) << "nothing sent on a connection that holds stale bytes";
      }
    }
  }
}

// Connecting, reconnecting, timing out and failing to connect, many times over, leave no descriptor open.
TEST(ClientFailure, NoDescriptorIsLeftOpenAcrossConnectsReconnectsAndTimeOuts) {
  const std::string pong = rcfVector("ping_ok").reply;
  const auto cycle = [&] {
    // The peer closes after the first reply (the next call reconnects), answers the second with stale bytes
    // behind it (the next call reconnects again), never answers the fourth and hangs up on the fifth.
    ScriptedPeer peer({{PeerStep::kReplyThenClose, pong},
                       {PeerStep::kReply, pong + pong},
                       {PeerStep::kReply, pong},
                       {PeerStep::kSilent, ""}});
    {
      Client client(RCF::UnixLocalEndpoint(peer.path()), "");
      for (int call = 0; call < 3; ++call) {
        const Outcome o = ping(client);
        EXPECT_EQ(o.errorId, 0) << "call " << call << ": " << o.text;
        if (call == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until the peer has closed
      }
      client.getClientStub().setRemoteCallTimeoutMs(50);
      EXPECT_EQ(ping(client).errorId, RCF::RcfError_CallTimeout);
      client.getClientStub().setRemoteCallTimeoutMs(5000);
      EXPECT_EQ(ping(client).errorId, RCF::RcfError_PeerDisconnect) << "out of steps, the peer hangs up";
    }
    Client missing(RCF::UnixLocalEndpoint(peer.path() + ".missing"), "");
    EXPECT_EQ(ping(missing).errorId, RCF::RcfError_ConnectFailed);
  };
  cycle();  // anything opened once per process is open from here on
  const int before = openDescriptors();
  for (int i = 0; i < 25; ++i) cycle();
  EXPECT_EQ(openDescriptors(), before);
}

TEST(ClientFailure, OversizedRequestIsRefusedBeforeSending) {
  ScriptedPeer peer({});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  BnqResponse resp;
  try {
    client.Request(BnqRequest{4, std::string(1048576, 'x')}, resp);
    ADD_FAILURE() << "sent";
  } catch (const RCF::Exception& e) {
    EXPECT_EQ(e.getErrorId(), RCF::RcfError_ClientMessageLength);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(peer.requests().empty());
}

// The limit counts the bytes after the length prefix. A message of exactly 1 MiB passes in both
// directions; one byte more fails the call, and a request that long is never sent.
TEST(ClientFailure, MessagesOfExactlyTheLimitPassOneByteMoreDoesNot) {
  constexpr std::size_t kLimit = 1048576;
  for (const std::size_t length : {kLimit, kLimit + 1}) {
    SCOPED_TRACE(length);
    // A Ping answer: the reply header (6 bytes), then a string node with 12 bytes around its content.
    const std::string text(length - 18, 'p');
    std::string node("\x00\x00\x00\x00\x01\x04", 6);
    for (int shift = 0; shift < 32; shift += 8) node.push_back(static_cast<char>((text.size() >> shift) & 0xff));
    const std::string reply = replyBody(node + '\x02' + text + '\x02');
    ASSERT_EQ(reply.size(), 4 + length);
    ScriptedPeer peer({{PeerStep::kReply, reply}});
    Client client(RCF::UnixLocalEndpoint(peer.path()), "");
    std::string answer;
    const auto t0 = Clock::now();
    try {
      answer = client.Ping();
      EXPECT_EQ(length, kLimit) << "a reply above the limit was read";
    } catch (const RCF::Exception& e) {
      EXPECT_EQ(length, kLimit + 1) << e.what();
      EXPECT_EQ(e.getErrorId(), RCF::RcfError_ClientMessageLength) << e.what();
      EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2)) << "refused from the length alone";
    }
    EXPECT_EQ(answer.size(), length == kLimit ? text.size() : 0u);
    EXPECT_TRUE(length != kLimit || answer == text);
    EXPECT_EQ(handleOf(client) >= 0, length == kLimit);
  }

  // A request whose payload brings the message to the limit, and one byte longer. The recorded request
  // carries the payload "hello" and the in/out record {5, "in", "xyz"}.
  const std::size_t overhead = rcfVector("request_ok").request.size() - 4 - 5;
  ScriptedPeer peer({{PeerStep::kReply, rcfVector("request_ok").reply}});
  Client client(RCF::UnixLocalEndpoint(peer.path()), "");
  BnqResponse resp{5, "in", "xyz"};
  EXPECT_NO_THROW(client.Request(BnqRequest{7, std::string(kLimit - overhead, 'x')}, resp));
  EXPECT_EQ(resp.status, 1007);
  resp = BnqResponse{5, "in", "xyz"};
  try {
    client.Request(BnqRequest{7, std::string(kLimit - overhead + 1, 'x')}, resp);
    ADD_FAILURE() << "a request above the limit was sent";
  } catch (const RCF::Exception& e) {
    EXPECT_EQ(e.getErrorId(), RCF::RcfError_ClientMessageLength) << e.what();
  }
  const auto sent = peer.requests();
  ASSERT_EQ(sent.size(), 1u) << "only the request at the limit reached the peer";
  EXPECT_EQ(sent[0].size(), 4 + kLimit);
  EXPECT_EQ(hex(sent[0].substr(0, 4)), "00 00 10 00");
}

TEST(ClientFailure, InitIgnoresSigpipeAndWritesNeverRaiseIt) {
  ASSERT_NE(::signal(SIGPIPE, SIG_DFL), SIG_ERR);
  {
    // A peer that reads the length prefix of a large request and hangs up: the send hits EPIPE.
    const std::string path = "/tmp/brannic-rcf-epipe-" + std::to_string(getpid()) + ".sock";
    ::unlink(path.c_str());
    const int lfd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(lfd, 4), 0);
    std::thread hangUp([lfd] {
      const int fd = ::accept(lfd, nullptr, nullptr);
      char prefix[4];
      (void)!::recv(fd, prefix, sizeof prefix, MSG_WAITALL);
      ::close(fd);
    });
    Client client(RCF::UnixLocalEndpoint(path), "");
    BnqResponse resp;
    EXPECT_THROW(client.Request(BnqRequest{4, std::string(1000000, 'x')}, resp), RCF::Exception);
    hangUp.join();
    ::close(lfd);
    ::unlink(path.c_str());
  }
  struct sigaction sa {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &sa), 0);
  EXPECT_EQ(sa.sa_handler, SIG_DFL) << "the client alone leaves SIGPIPE alone";
  {
    RCF::RcfInit init;
    RCF::RcfInit second;
  }
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &sa), 0);
  EXPECT_EQ(sa.sa_handler, SIG_IGN) << "and stays ignored after the last release";
}

}  // namespace
}  // namespace brannic_test
