// Requests that reach the helper in pieces, through a blocking or a non-blocking input: a line is
// handled once its LF has come, a last line without LF once the input ends, and only the end of
// input (or a failed read) ends the helper; a parent that is slow to write is waited for.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "helper_process.h"
#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

constexpr std::chrono::seconds kTimeout(30);
// Far longer than the helper takes to find its input empty.
constexpr std::chrono::milliseconds kPause(100);
// What ReadToEnd gives while the output has not ended; what came is kept for the next reads.
const std::optional<std::string> kStillOpen;

class RequestInputTest : public StandinSession {};

TEST_F(RequestInputTest, RequestsWrittenInPiecesWithPauses) {
  const std::string init = InitRequest("init", Fields());
  const std::string d = LogRequest("d");
  const std::string e = LogRequest("e").substr(0, LogRequest("e").size() - 1);  // no LF
  const struct {
    std::string bytes;
    std::string replies;  // what the helper answers to it
  } pieces[] = {
      {init.substr(0, 20), ""},
      {init.substr(20), Ok("init")},
      {LogRequest("a") + LogRequest("b") + LogRequest("c"), Ok("a") + Ok("b") + Ok("c")},
      {d.substr(0, d.size() / 2), ""},
      {d.substr(d.size() / 2) + e, Ok("d")},
  };
  const struct {
    const char* name;
    InputSetup::Kind kind;
  } inputs[] = {
      {"blocking pipe", InputSetup::Kind::kPipe},
      {"non-blocking pipe", InputSetup::Kind::kNonBlockingPipe},
  };
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.name);
    std::remove(LogPath().c_str());
    HelperProcess helper({}, {}, {input.kind});
    for (const auto& piece : pieces) {
      // A pause with nothing to read: the helper waits for more, its output stays open.
      ASSERT_EQ(helper.ReadToEnd(kPause), kStillOpen);
      ASSERT_TRUE(helper.Write(piece.bytes));
      std::string replies;
      while (replies.size() < piece.replies.size()) {
        const std::optional<std::string> line = helper.ReadLine(kTimeout);
        if (!line) break;
        replies += *line;
      }
      EXPECT_EQ(replies, piece.replies);
    }
    // The last line is answered only once the input has ended, and then the helper exits.
    ASSERT_EQ(helper.ReadToEnd(kPause), kStillOpen);
    helper.CloseInput();
    EXPECT_EQ(helper.ReadToEnd(kTimeout), Ok("e"));
    EXPECT_EQ(helper.Wait(kTimeout), 0);
    EXPECT_EQ(ReadFile(LogPath()),
              LogRecord("a") + LogRecord("b") + LogRecord("c") + LogRecord("d") + LogRecord("e"));
  }
}

int Queued(int fd, unsigned long request) {
  int bytes = -1;
  return ::ioctl(fd, request, &bytes) == 0 ? bytes : -1;
}

// An unfinished last line is a request when the input ends after it, and is dropped when the
// read after it fails instead: then nothing says the line was whole. Either way the exit code is 0.
TEST_F(RequestInputTest, UnfinishedLineAtTheEndOfInputAndAtAFailedRead) {
  const struct {
    const char* name;
    bool read_fails;
    std::string log;
  } cases[] = {
      {"input ends", false, LogRecord("a") + LogRecord("b")},
      {"read fails", true, LogRecord("a")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(LogPath().c_str());
    HelperProcess helper({}, {}, {InputSetup::Kind::kSocket});
    const std::string b = LogRequest("b").substr(0, LogRequest("b").size() - 1);  // no LF
    ASSERT_TRUE(helper.Write(InitRequest("init", Fields()) + LogRequest("a") + b));
    // The helper has read all of it, and its replies lie unread in the socket.
    const int replies = static_cast<int>(Ok("init").size() + Ok("a").size());
    ASSERT_TRUE(WaitFor(
        [&helper, replies] {
          return Queued(helper.output_fd(), FIONREAD) == replies &&
                 Queued(helper.output_fd(), SIOCOUTQ) == 0;
        },
        kTimeout));
    if (c.read_fails) helper.CloseOutput();  // then the socket goes: the next read fails
    helper.CloseInput();
    EXPECT_EQ(helper.Wait(kTimeout), 0);
    EXPECT_EQ(ReadFile(LogPath()), c.log);
  }
}

// A socket that keeps packet bounds would cut long packets and join short ones without a sign of
// either, so only a stream socket is read; on another the helper says so and ends before reading.
TEST_F(RequestInputTest, OnlyAStreamSocketIsReadAsInput) {
  const std::string input =
      InitRequest("init", Fields()) + LogRequest("a") + Request("end", "shutdown");
  const std::string refused =
      "kalvex-helper: standard input is a socket that does not carry a byte stream\n";
  const struct {
    const char* name;
    int type;
    bool read;
  } cases[] = {
      {"sequenced packets", SOCK_SEQPACKET, false},
      {"datagrams", SOCK_DGRAM, false},
      {"stream", SOCK_STREAM, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(RecordPath().c_str());
    std::remove(LogPath().c_str());
    // A stream socket carries the replies back; with the others the output is a pipe that
    // standard error goes into too.
    OutputSetup output;
    output.with_errors = !c.read;
    HelperProcess helper({"KALVEX_STANDIN_RECORD=" + RecordPath()}, output,
                         {InputSetup::Kind::kSocket, c.type});
    helper.Write(input);  // fails once a refusing helper has gone
    helper.CloseInput();
    EXPECT_EQ(helper.ReadToEnd(kTimeout), c.read ? Ok("init") + Ok("a") + Ok("end") : refused);
    EXPECT_EQ(helper.Wait(kTimeout), c.read ? 0 : 1);
    EXPECT_EQ(ReadFile(LogPath()), c.read ? LogRecord("a") : "");
    EXPECT_EQ(Calls().empty(), !c.read);  // a refusing helper does not touch the SDK
  }
}

// A file given as standard input is left just after the line of a successful shutdown, so that the
// next program given the same descriptor, `(kalvex-helper; cat) < file`, reads the lines after it.
// A failed shutdown leaves the helper reading on to the end, and so does an input without one.
TEST_F(RequestInputTest, FileInputIsLeftAfterASuccessfulShutdown) {
  // Lines without a TAB, which the helper ignores, put the shutdown line inside its second read.
  std::string padding;
  while (padding.size() < (100u << 10)) padding += "a line the helper ignores\n";
  std::string after = "after 1\n";
  while (after.size() < (200u << 10)) after += "more lines for whoever reads on\n";
  after += "after\tbogus\nlast line without LF";
  const std::string head = InitRequest("init", Fields()) + LogRequest("a") + padding;
  const struct {
    const char* name;
    std::vector<std::string> settings;
    std::string file;
    std::string replies;
    std::string rest;  // what cat reads after the helper
  } cases[] = {
      {"shutdown succeeds", {}, head + Request("end", "shutdown") + after,
       Ok("init") + Ok("a") + Ok("end"), after},
      {"shutdown fails", {"KALVEX_STANDIN_THROW=DestroyKalvexWrapper"},
       head + Request("end", "shutdown") + after,
       Ok("init") + Ok("a") + Err("end", "stand-in DestroyKalvexWrapper failed") +
           Err("after", "Unknown method: bogus"),
       ""},
      {"no shutdown", {}, head + after,
       Ok("init") + Ok("a") + Err("after", "Unknown method: bogus"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = RootPath() + ".requests";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.file;
    // The helper and cat share one descriptor of the file.
    HelperProcess helper(c.settings, {}, {},
                         {"/bin/sh", "-c", "{ \"$0\"; code=$?; cat; exit $code; } < \"$1\"",
                          KALVEX_HELPER_PATH, file});
    const std::optional<std::string> output = helper.ReadToEnd(kTimeout);
    ASSERT_TRUE(output);
    const std::string expected = c.replies + c.rest;
    EXPECT_EQ(output->size(), expected.size());
    EXPECT_TRUE(*output == expected) << output->substr(0, 200);  // not EXPECT_EQ: 300 KiB
    EXPECT_EQ(helper.Wait(kTimeout), 0);
  }
}

}  // namespace
}  // namespace helper_test
