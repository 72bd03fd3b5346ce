// Replies when the helper's standard output fails or has to wait: every request is still handled,
// a reply held up by a full pipe is written once the pipe takes more, nothing of a failed reply
// comes before a later one, and the helper ends with 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "helper_process.h"
#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

constexpr std::chrono::seconds kTimeout(30);

std::string LinkTarget(const std::string& path) {
  char target[256];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  return n < 0 ? "" : std::string(target, static_cast<std::size_t>(n));
}

class ReplyOutputTest : public StandinSession {};

TEST_F(ReplyOutputTest, EveryRequestIsHandledWhenNoReplyCanBeWritten) {
  const struct {
    const char* name;
    OutputSetup output;
    bool reader_gone;
  } cases[] = {
      {"output and error closed", {OutputSetup::Kind::kClosed, ""}, false},
      {"output on a full device", {OutputSetup::Kind::kFile, "/dev/full"}, false},
      {"reader gone, SIGPIPE ignored", {OutputSetup::Kind::kPipe, ""}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(LogPath().c_str());
    HelperProcess helper({}, c.output);
    if (c.reader_gone) helper.CloseOutput();
    std::string input = InitRequest("init", Fields());
    std::string log;
    for (int i = 0; i < 20; ++i) {
      input += LogRequest(std::to_string(i));
      log += LogRecord(std::to_string(i));
    }
    ASSERT_TRUE(helper.Write(input));
    ASSERT_TRUE(WaitFor([&] { return ReadFile(LogPath()).size() >= log.size(); }, kTimeout));
    if (c.output.kind == OutputSetup::Kind::kClosed) {
      // Closed standard descriptors are taken by /dev/null, not by a file the SDK opens later.
      const std::string fds = "/proc/" + std::to_string(helper.pid()) + "/fd/";
      EXPECT_EQ(LinkTarget(fds + "1"), "/dev/null");
      EXPECT_EQ(LinkTarget(fds + "2"), "/dev/null");
    }
    ASSERT_TRUE(helper.Write(Request("end", "shutdown")));
    // The input stays open: only the shutdown request ends the helper.
    EXPECT_EQ(helper.Wait(kTimeout), 0);
    EXPECT_EQ(ReadFile(LogPath()), log);  // the log holds log records and nothing else
  }
}

TEST_F(ReplyOutputTest, RepliesWaitForAFullNonBlockingPipe) {
  HelperProcess helper({}, {OutputSetup::Kind::kNonBlockingPipe, ""});
  const int capacity = ::fcntl(helper.output_fd(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  // Replies of 64 bytes fill the pipe's pages exactly; three pipes' worth are asked for.
  const auto id = [](int i) {
    const std::string digits = std::to_string(i);
    return std::string(59 - digits.size(), '0') + digits;
  };
  std::string input = InitRequest(id(0), Fields());
  std::string expected = Ok(id(0));
  ASSERT_EQ(expected.size(), 64u);
  for (int i = 1; i < 3 * capacity / 64; ++i) {
    input += LogRequest(id(i));
    expected += Ok(id(i));
  }
  input += Request("end", "shutdown");
  expected += Ok("end");

  std::thread writer([&helper, &input] { helper.Write(input); });
  // Nothing is read until the pipe is full, so that the helper meets it full.
  const bool filled = WaitFor([&helper, capacity] {
    int queued = 0;
    return ::ioctl(helper.output_fd(), FIONREAD, &queued) == 0 && queued >= capacity;
  }, kTimeout);
  const std::optional<std::string> output = helper.ReadToEnd(kTimeout);
  if (!output) helper.Wait(std::chrono::milliseconds(0));  // frees the writer
  writer.join();
  EXPECT_TRUE(filled);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->size(), expected.size());
  EXPECT_TRUE(*output == expected);  // every reply, in order; not EXPECT_EQ: 190 KiB
  EXPECT_EQ(helper.Wait(kTimeout), 0);
}

// The output is a file that may grow no further than the first reply: later replies fail with
// EFBIG (SIGXFSZ ignored) until the parent empties the file.
TEST_F(ReplyOutputTest, ReplyAfterFailedOnesIsWrittenWhole) {
  std::signal(SIGXFSZ, SIG_IGN);
  const std::string replies = RootPath() + ".replies";
  HelperProcess helper({}, {OutputSetup::Kind::kFile, replies});
  const std::string first = Ok(std::string(200, 'i'));
  rlimit limit{};
  ASSERT_EQ(::prlimit(helper.pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
  limit.rlim_cur = first.size();  // the log, far smaller, stays within it
  ASSERT_EQ(::prlimit(helper.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);

  ASSERT_TRUE(helper.Write(InitRequest(std::string(200, 'i'), Fields()) + LogRequest("2") +
                           LogRequest("3")));
  // Request 3 is read only after the reply to 2 has failed.
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(LogPath()) == LogRecord("2") + LogRecord("3"); }, kTimeout));
  EXPECT_EQ(ReadFile(replies), first);
  ASSERT_EQ(::truncate(replies.c_str(), 0), 0);
  ASSERT_TRUE(helper.Write(LogRequest("4") + Request("end", "shutdown")));
  EXPECT_EQ(helper.Wait(kTimeout), 0);

  // The reply to 3 may have failed or not, depending on when the file was emptied.
  const std::string after = ReadFile(replies);
  const std::string last = Ok("4") + Ok("end");
  EXPECT_TRUE(after == last || after == Ok("3") + last) << after;
}

}  // namespace
}  // namespace helper_test
