// Replies when the helper's standard output fails or has to wait: every request is still handled,
// a reply held up by a full pipe is written once the pipe takes more, nothing of a failed reply
// comes before a later one, and the helper ends with 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "helper_process.h"
#include "protocol_text.h"
#include "standin_session.h"
#include "temp_dir.h"

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

// What a parent writes and the replies it should read back.
struct Exchange {
  std::string input;
  std::string replies;
};

// Reads the output to its end a little at a time, so that the helper keeps meeting a full pipe.
std::optional<std::string> ReadSlowly(HelperProcess& helper) {
  std::string all;
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pollfd ready{helper.output_fd(), POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(helper.output_fd(), chunk, sizeof chunk);
    if (n == 0) return all;
    if (n < 0 && errno != EINTR) return std::nullopt;
    if (n > 0) all.append(chunk, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// A non-blocking output that is full when the helper meets it, and then read slowly: the helper
// waits until the pipe takes more, and a reply that a write takes only in part goes on from where
// that write stopped, whole and before the replies after it.
TEST_F(ReplyOutputTest, RepliesWaitForAFullNonBlockingPipe) {
  // Replies of 64 bytes, which fill the pipe's pages exactly: three pipes' worth.
  const auto many_short_replies = [this](int capacity) {
    const auto id = [](int i) {
      const std::string digits = std::to_string(i);
      return std::string(59 - digits.size(), '0') + digits;
    };
    Exchange e{InitRequest(id(0), Fields()), Ok(id(0))};
    EXPECT_EQ(e.replies.size(), 64u);
    for (int i = 1; i < 3 * capacity / 64; ++i) {
      e.input += LogRequest(id(i));
      e.replies += Ok(id(i));
    }
    return e;
  };
  // One reply far longer than the pipe ("Unknown method: " and a method name of 1 MiB), which a
  // write can take only in part, and short ones after it.
  const auto one_reply_longer_than_the_pipe = [](int) {
    const std::string method(1u << 20, 'm');
    Exchange e{"long\t" + method + "\n", Err("long", "Unknown method: " + method)};
    for (const char* id : {"a", "b"}) {
      e.input += std::string(id) + "\tbogus\n";
      e.replies += Err(id, "Unknown method: bogus");
    }
    return e;
  };
  const struct {
    const char* name;
    std::function<Exchange(int capacity)> make;
  } cases[] = {
      {"many short replies", many_short_replies},
      {"one reply longer than the pipe", one_reply_longer_than_the_pipe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HelperProcess helper({}, {OutputSetup::Kind::kNonBlockingPipe, ""});
    const int capacity = ::fcntl(helper.output_fd(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    Exchange e = c.make(capacity);
    e.input += Request("end", "shutdown");
    e.replies += Ok("end");

    std::thread writer([&helper, &e] { helper.Write(e.input); });
    // Nothing is read until the pipe is full, so that the helper meets it full.
    const bool filled = WaitFor([&helper, capacity] {
      int queued = 0;
      return ::ioctl(helper.output_fd(), FIONREAD, &queued) == 0 && queued >= capacity;
    }, kTimeout);
    const std::optional<std::string> output = ReadSlowly(helper);
    if (!output) helper.Wait(std::chrono::milliseconds(0));  // frees the writer
    writer.join();
    EXPECT_TRUE(filled);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->size(), e.replies.size());
    EXPECT_TRUE(*output == e.replies);  // every reply, in order; not EXPECT_EQ: 1.4 MiB
    EXPECT_EQ(helper.Wait(kTimeout), 0);
  }
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

// The output file fills up in the middle of a reply, and replies fail until there is room again.
// The cut reply stays as it is, but on a line of its own: every later reply begins a new line, so
// that none is read under the cut one's id.
TEST_F(ReplyOutputTest, ReplyAfterACutOneIsALineOfItsOwn) {
  std::signal(SIGXFSZ, SIG_IGN);  // ignored here, and so in the helpers started from here
  const std::string cut_id(100, 'c');
  const std::string cut = Ok(cut_id);
  const struct {
    const char* name;
    std::size_t kept;  // how much of the cut reply fits
  } cases[] = {
      {"first byte", 1},
      {"half the id", cut_id.size() / 2},
      {"all but the LF", cut.size() - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(LogPath().c_str());
    const std::string replies = RootPath() + ".replies";
    std::remove(replies.c_str());
    HelperProcess helper({}, {OutputSetup::Kind::kFile, replies});
    // A long first reply puts the limit above the size of the log, which stays whole.
    const std::string init_id(200, 'i');
    const std::string init = Ok(init_id);
    ASSERT_TRUE(LimitFileSize(helper.pid(), init.size() + c.kept));

    ASSERT_TRUE(helper.Write(InitRequest(init_id, Fields()) + LogRequest(cut_id) + LogRequest("2")));
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(LogPath()) == LogRecord(cut_id) + LogRecord("2"); }, kTimeout));
    ASSERT_TRUE(LimitFileSize(helper.pid(), RLIM_INFINITY));
    ASSERT_TRUE(helper.Write(LogRequest("3") + Request("end", "shutdown")));
    EXPECT_EQ(helper.Wait(kTimeout), 0);

    // The reply to 2 failed, or went out if the room came before it.
    const std::string before = init + cut.substr(0, c.kept) + "\n";
    const std::string after = Ok("3") + Ok("end");
    const std::string output = ReadFile(replies);
    EXPECT_TRUE(output == before + after || output == before + Ok("2") + after)
        << "after the first reply: " << output.substr(std::min(init.size(), output.size()));
  }
}

// A socket that keeps packet bounds cannot take a reply larger than its packet limit, which would
// be lost without a sign, so only a stream socket or a pipe is written to; on another the helper
// says so and ends before reading a request.
TEST_F(ReplyOutputTest, OnlyAStreamSocketOrAPipeTakesTheReplies) {
  // A reply of 1.3 MiB, far over the packet limit of a local socket.
  const std::string method(1u << 20, 'm');
  const std::string input = InitRequest("init", Fields()) + LogRequest("a") + "long\t" + method +
                            "\n" + Request("end", "shutdown");
  const std::string replies =
      Ok("init") + Ok("a") + Err("long", "Unknown method: " + method) + Ok("end");
  const std::string refused =
      "kalvex-helper: standard output is a socket that does not carry a byte stream\n";
  const struct {
    const char* name;
    OutputSetup::Kind kind;
    int type;
    bool written;
  } cases[] = {
      {"sequenced packets", OutputSetup::Kind::kSocket, SOCK_SEQPACKET, false},
      {"datagrams", OutputSetup::Kind::kSocket, SOCK_DGRAM, false},
      {"stream", OutputSetup::Kind::kSocket, SOCK_STREAM, true},
      {"pipe", OutputSetup::Kind::kPipe, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(RecordPath().c_str());
    std::remove(LogPath().c_str());
    OutputSetup output;
    output.kind = c.kind;
    output.socket_type = c.type;
    output.with_errors = true;
    HelperProcess helper({"KALVEX_STANDIN_RECORD=" + RecordPath()}, output);
    std::thread writer([&helper, &input] {
      helper.Write(input);  // fails once a refusing helper has gone
      helper.CloseInput();
    });
    if (c.written) {
      const std::optional<std::string> all = helper.ReadToEnd(kTimeout);
      ASSERT_TRUE(all);
      EXPECT_EQ(all->size(), replies.size());
      EXPECT_TRUE(*all == replies);  // not EXPECT_EQ: 1.3 MiB
    } else {
      // The end of a datagram socket's output is never seen: the refusal is its one line.
      EXPECT_EQ(helper.ReadLine(kTimeout), refused);
    }
    const std::optional<int> exit_code = helper.Wait(kTimeout);
    writer.join();
    EXPECT_EQ(exit_code, c.written ? 0 : 1);
    EXPECT_EQ(ReadFile(LogPath()), c.written ? LogRecord("a") : "");
    EXPECT_EQ(Calls().empty(), !c.written);  // a refusing helper does not touch the SDK
  }
}

// Runs the helper where /dev/null cannot be opened: a file of mode 000 is bound over it, and the
// helper runs as the user nobody, with its standard output closed and its standard error on the
// output pipe. It is driven through init, two writeLog requests and shutdown.
class NullDeniedTest : public StandinSession {
 protected:
  struct Outcome {
    std::optional<std::string> said;  // on standard error
    std::optional<int> exit_code;
  };

  void SetUp() override {
    const passwd* const nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr || nobody->pw_uid == 0) {
      GTEST_SKIP() << "needs root, and the user nobody to run the helper as";
    }
    uid_ = nobody->pw_uid;
    gid_ = nobody->pw_gid;
    std::filesystem::copy_file(KALVEX_HELPER_PATH, program_);
    std::ofstream(null_stand_in_).put('\n');
    ASSERT_EQ(::chmod(null_stand_in_.c_str(), 0), 0);
    // The log is written as nobody.
    const std::filesystem::path root = RootPath();
    std::filesystem::permissions(root.parent_path(), std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    std::filesystem::create_directory(root);
    ASSERT_EQ(::chown(root.c_str(), uid_, gid_), 0);
  }

  // Runs the helper with at most `open_files` open descriptors (0: no limit) into `outcome`; skips
  // the test where no private mount namespace can be made.
  void Run(int open_files, Outcome& outcome) {
    HelperProcess helper({}, {}, {},
                         {KALVEX_CONFINED_LAUNCH_PATH, null_stand_in_, std::to_string(uid_),
                          std::to_string(gid_), std::to_string(open_files), program_});
    helper.Write(InitRequest("init", Fields()) + LogRequest("a") + LogRequest("b") +
                 Request("end", "shutdown"));  // fails once a helper that ended early has gone
    helper.CloseInput();
    outcome.said = helper.ReadToEnd(kTimeout);
    outcome.exit_code = helper.Wait(kTimeout);
    if (outcome.exit_code == 77) {
      GTEST_SKIP() << "no private mount namespace here: " << outcome.said.value_or("");
    }
  }

 private:
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  // What nobody runs, where nobody may run it.
  const brannic_test::TempDir place_{"kalvex-helper-nobody",
                                     brannic_test::TempDir::Access::kOthersMayRead};
  const std::string program_ = (place_ / "kalvex-helper").string();
  const std::string null_stand_in_ = (place_ / "null").string();
};

// The closed output is taken by a pipe, never by the log file that the SDK opens later.
TEST_F(NullDeniedTest, NoReplyGoesIntoTheSdkLog) {
  Outcome outcome;
  Run(0, outcome);
  if (IsSkipped()) return;
  EXPECT_EQ(outcome.said, "");
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(ReadFile(LogPath()), LogRecord("a") + LogRecord("b"));
}

// Where not even a pipe can be had, the helper says so and ends before it reads a request.
TEST_F(NullDeniedTest, WithoutADescriptorForAPipeTheHelperEndsWithOne) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
  Outcome outcome;
  Run(3, outcome);  // descriptors 0 and 2 are open: a pipe would need a fourth
  if (IsSkipped()) return;
  EXPECT_EQ(outcome.said,
            std::string("kalvex-helper: a standard descriptor is closed, and neither /dev/null nor "
                        "a pipe can take its place\n"));
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(ReadFile(LogPath()), "");  // the SDK was never started
}

}  // namespace
}  // namespace helper_test
