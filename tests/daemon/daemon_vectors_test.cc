// The stand-in daemon, driven with the recorded request frames, answers as the recorded RCF 3.4 server.

#include <gtest/gtest.h>
#include <unistd.h>

#include "raw_socket.h"
#include "rcf_vectors.h"
#include "standin_daemon.h"

namespace brannic_test {
namespace {

std::string tempSocketPath(const char* tag) {
  return "/tmp/brannic-daemon-" + std::string(tag) + "-" + std::to_string(getpid()) + ".sock";
}

class DaemonVectors : public ::testing::TestWithParam<const char*> {};

TEST_P(DaemonVectors, AnswersLikeTheRecordedServer) {
  const RcfVector& v = rcfVector(GetParam());
  const std::string path = tempSocketPath("vectors");
  StandinDaemon daemon(path, {"--servant", "capture"});
  RawSocket s(path);
  s.send(v.request);

  if (v.then == "closed") {
    EXPECT_TRUE(s.closedWithin(2000)) << "the server should close without replying";
    return;
  }
  if (v.reply.empty()) {
    bool closed = true;
    EXPECT_TRUE(s.readFrame(300, &closed).empty());
    EXPECT_FALSE(closed) << "no reply, but the connection stays open";
  } else {
    EXPECT_EQ(hex(s.readFrame(2000)), hex(v.reply));
  }
  // The connection stays usable.
  s.send(rcfVector("ping_ok").request);
  EXPECT_EQ(hex(s.readFrame(2000)), hex(rcfVector("ping_ok").reply));
}

INSTANTIATE_TEST_SUITE_P(Recorded, DaemonVectors,
                         ::testing::Values("ping_ok", "request_ok", "request_no_inout", "unknown_fnid_5",
                                           "unknown_binding", "canned_ping_fnid-1", "runtime_v14", "msgver_8",
                                           "runtime_v12", "runtime_v12_err", "close_flag", "oneway_ping",
                                           "bad_descriptor", "request_servant_throws"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           std::string name = param.param;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// Frames a server must survive: each ends the connection (with error message 2 for an over-long one),
// and the daemon goes on serving new connections.
TEST(DaemonFrames, MalformedFramesCloseTheConnectionOnly) {
  const std::string path = tempSocketPath("frames");
  StandinDaemon daemon(path, {"--servant", "capture"});
  const std::string ping = rcfVector("ping_ok").request;
  struct Case {
    const char* what;
    std::string bytes;
    std::string expectedReply;  // empty: the server closes without a reply
  } cases[] = {
      {"zero length", std::string(4, '\0'), ""},
      {"above the limit", std::string("\x01\x00\x10\x00", 4), std::string("\x0a\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x00\x00\x00", 14)},
      {"truncated header", std::string("\x05\x00\x00\x00\x01\x07\x0b", 7) + "IRp", ""},
      {"bool byte 2", [&] { std::string b = ping; b[22] = 2; return b; }(), ""},
      {"binding length past the end", [&] { std::string b = ping; b[6] = '\x7f'; return b; }(), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawSocket s(path);
    s.send(c.bytes);
    if (!c.expectedReply.empty()) {
      EXPECT_EQ(hex(s.readFrame(2000)), hex(c.expectedReply));
    }
    EXPECT_TRUE(s.closedWithin(2000));
  }
  RawSocket s(path);
  s.send(ping);
  EXPECT_EQ(hex(s.readFrame(2000)), hex(rcfVector("ping_ok").reply));
}

// Parameters that do not decode give an exception reply; the connection stays open.
TEST(DaemonFrames, UndecodableParametersGiveAnExceptionReply) {
  const std::string path = tempSocketPath("params");
  StandinDaemon daemon(path, {});
  const std::string request = rcfVector("request_ok").request;
  // The request_ok body cut short inside the last record, and with one byte too many.
  const std::string body = request.substr(4);
  for (const std::string& params : {body.substr(0, body.size() - 3), body + std::string("\x00", 1)}) {
    RawSocket s(path);
    s.send(frame(params));
    const std::string reply = s.readFrame(2000);
    ASSERT_GE(reply.size(), 7u);
    EXPECT_EQ(hex(reply.substr(4, 3)), hex(std::string("\x02\x03\x01", 3)));
    s.send(rcfVector("ping_ok").request);
    EXPECT_EQ(hex(s.readFrame(2000)), hex(rcfVector("ping_ok").reply));
  }
}

}  // namespace
}  // namespace brannic_test
