// Large requests and long request streams: no length limit but memory, and no stall when the
// parent writes far ahead of the replies it reads.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "helper_process.h"
#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

class LargeInputTest : public StandinSession {};

// A memory figure of process `pid` in KiB from its status file, "VmRSS" (resident now) or "VmHWM"
// (the most it was resident), or -1 when it cannot be read.
long MemoryKiB(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string field = name + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

TEST_F(LargeInputTest, ArgumentAndIdOf64MiB) {
  std::string big(64u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  const std::string input = InitRequest("i", Fields()) +
                            Request("w", "writeLog", {"debug", "big", big}) + big + "\tbogus\n";
  const HelperRun run = RunHelper(input);
  EXPECT_EQ(run.exit_code, 0);
  const std::string expected =
      Ok("i") + Ok("w") + big + "\terr\t" + Base64("Unknown method: bogus") + "\n";
  EXPECT_EQ(run.output.size(), expected.size());
  EXPECT_TRUE(run.output == expected);  // not EXPECT_EQ: a mismatch would print 128 MiB
  EXPECT_TRUE(ReadFile(LogPath()) == "debug\tbig\t" + big + "\n");
}

TEST_F(LargeInputTest, MemoryOfAHugeLineIsGivenBack) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "resident memory under AddressSanitizer holds its quarantine of freed blocks";
#endif
  const std::chrono::seconds timeout(120);
  HelperProcess helper;
  {
    // A 256 MiB argument field of an unknown method.
    const std::string line = "big\tbogus\t" + std::string(256u << 20, 'A') + "\n";
    ASSERT_TRUE(helper.Write(line));
  }
  EXPECT_EQ(helper.ReadLine(timeout), Err("big", "Unknown method: bogus"));
  // Once the next request is answered, the huge one is done with.
  ASSERT_TRUE(helper.Write("next\tbogus\n"));
  EXPECT_EQ(helper.ReadLine(timeout), Err("next", "Unknown method: bogus"));
  const long resident = MemoryKiB(helper.pid(), "VmRSS");
  EXPECT_GT(resident, 0);
  EXPECT_LT(resident, 32 * 1024);
  ASSERT_TRUE(helper.Write("end\tshutdown\n"));
  EXPECT_EQ(helper.ReadLine(timeout), Ok("end"));
  EXPECT_EQ(helper.Wait(timeout), 0);
}

// A line of many fields costs memory in proportion to its length, whether its fields become
// arguments or not.
TEST_F(LargeInputTest, ManyFieldsCostNoMoreThanTheLine) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "resident memory under AddressSanitizer holds its quarantine of freed blocks";
#endif
  const std::chrono::seconds timeout(120);
  const std::string tabs(16u << 20, '\t');
  const struct {
    const char* method;
    std::vector<std::string> settings;
    std::string reply;
  } cases[] = {
      // The SDK's teardown fails, so that the helper stays to be measured.
      {"shutdown", {"KALVEX_STANDIN_THROW=DestroyKalvexWrapper"},
       Err("x", "stand-in DestroyKalvexWrapper failed")},
      {"writeLog", {}, Err("x", "writeLog expects 3 arguments")},
      {"bogus", {}, Err("x", "Unknown method: bogus")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    HelperProcess helper(c.settings);
    ASSERT_TRUE(helper.Write(InitRequest("i", Fields())));
    EXPECT_EQ(helper.ReadLine(timeout), Ok("i"));
    ASSERT_TRUE(helper.Write("x\t" + std::string(c.method) + tabs + "\n"));
    EXPECT_EQ(helper.ReadLine(timeout), c.reply);
    const long peak = MemoryKiB(helper.pid(), "VmHWM");
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 64 * 1024);
    helper.CloseInput();
    EXPECT_EQ(helper.Wait(timeout), 0);
  }
}

// A request line and the reply it gets.
struct Exchange {
  std::string line;
  std::string reply;
};

// A writeLog request whose message argument takes `mib` MiB of the line.
Exchange LargeLogMessage(std::size_t mib) {
  std::string line = Request("w", "writeLog", {"info", "big"});
  line.back() = '\t';  // in place of the LF
  for (std::size_t i = 0; i < (mib << 20) / 4; ++i) line += "QUJD";
  return {line + "\n", Ok("w")};
}

// An unknown method with an argument, each half of `mib` MiB.
Exchange LargeUnknownMethod(std::size_t mib) {
  const std::string method((mib << 20) / 2, 'm');
  return {"u\t" + method + "\t" + std::string((mib << 20) / 2, 'A') + "\n",
          Err("u", "Unknown method: " + method)};
}

// Once the input falls idle after a large line the memory it took is given back, also when one
// follows another, and after a run of them written at once.
TEST_F(LargeInputTest, MemoryIsGivenBackAfterEachLargeLine) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "resident memory under AddressSanitizer holds its quarantine of freed blocks";
#endif
  const std::chrono::seconds timeout(120);
  const struct {
    const char* name;
    std::vector<std::size_t> mibs;
    bool at_once;  // all lines in one write, else each after the reply to the one before
    Exchange (*make)(std::size_t mib);
  } cases[] = {
      {"log messages of 40 and 40 MiB", {40, 40}, false, LargeLogMessage},
      {"unknown methods of 20 and 30 MiB", {20, 30}, false, LargeUnknownMethod},
      {"log messages of 20, 20 and 20 MiB written at once", {20, 20, 20}, true, LargeLogMessage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(LogPath().c_str());
    HelperProcess helper;
    ASSERT_TRUE(helper.Write(InitRequest("i", Fields())));
    EXPECT_EQ(helper.ReadLine(timeout), Ok("i"));
    std::vector<Exchange> exchanges;
    std::string at_once;
    for (const std::size_t mib : c.mibs) {
      exchanges.push_back(c.make(mib));
      if (c.at_once) at_once += exchanges.back().line;
    }
    if (c.at_once) {
      ASSERT_TRUE(helper.Write(at_once));  // the replies are short: none waits
    }
    for (const Exchange& e : exchanges) {
      if (!c.at_once) {
        ASSERT_TRUE(helper.Write(e.line));
      }
      const std::optional<std::string> reply = helper.ReadLine(timeout);
      EXPECT_TRUE(reply == e.reply);  // not EXPECT_EQ: up to 20 MiB
    }
    // The memory goes back once the helper has found its input idle, just after the last reply.
    long resident = -1;
    WaitFor([&] { return (resident = MemoryKiB(helper.pid(), "VmRSS")) < 16 * 1024; },
            std::chrono::seconds(5));
    EXPECT_GT(resident, 0);
    EXPECT_LT(resident, 16 * 1024);
    ASSERT_TRUE(helper.Write("end\tshutdown\n"));
    EXPECT_EQ(helper.ReadLine(timeout), Ok("end"));
    EXPECT_EQ(helper.Wait(timeout), 0);
  }
}

// In a run of large lines each one reuses the memory of the one before, so that a longer run
// costs no fresh memory (page faults) per line. The input is a file, which never falls idle.
TEST_F(LargeInputTest, RunOfLargeLinesReusesItsMemory) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "AddressSanitizer's allocator neither reuses freed blocks at once nor trims";
#endif
  const std::chrono::seconds timeout(120);
  // writeLog requests of 5 MiB before init: their arguments are decoded, and each fails at once.
  Exchange large = LargeLogMessage(5);
  large.reply = Err("w", "Kalvex helper is not initialized");
  const auto faults = [&](int lines) -> long {
    const std::string file = RootPath() + ".requests";
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      for (int i = 0; i < lines; ++i) out << large.line;
    }
    HelperProcess helper({}, {}, {},
                         {"/bin/sh", "-c", "exec \"$0\" < \"$1\"", KALVEX_HELPER_PATH, file});
    std::string replies;
    for (int i = 0; i < lines; ++i) replies += large.reply;
    const std::optional<std::string> output = helper.ReadToEnd(timeout);
    rusage usage{};
    EXPECT_EQ(helper.Wait(timeout, &usage), 0);
    EXPECT_TRUE(output == replies);
    return usage.ru_minflt;
  };
  const long ten = faults(10);
  const long thirty = faults(30);
  SCOPED_TRACE("page faults of 10 lines: " + std::to_string(ten) +
               ", of 30 lines: " + std::to_string(thirty));
  // Twenty more lines may cost fewer pages than one of them holds.
  EXPECT_LT(thirty - ten, static_cast<long>(5u << 20) / ::sysconf(_SC_PAGESIZE));
}

// A line that outgrows the memory the helper may have ends it with 1, not as an ordinary end of
// input would, and without a reply.
TEST_F(LargeInputTest, LineBeyondTheMemoryLimitEndsWithOne) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
  const std::chrono::seconds timeout(120);
  HelperProcess helper;
  rlimit limit{};
  ASSERT_EQ(::prlimit(helper.pid(), RLIMIT_AS, nullptr, &limit), 0);
  limit.rlim_cur = 128u << 20;
  ASSERT_EQ(::prlimit(helper.pid(), RLIMIT_AS, &limit, nullptr), 0);
  const std::string chunk(1u << 20, 'A');
  // 512 MiB without LF; the writes fail once the helper has gone.
  for (int i = 0; i < 512 && helper.Write(chunk); ++i) {
  }
  helper.CloseInput();
  EXPECT_EQ(helper.ReadToEnd(timeout), "");
  EXPECT_EQ(helper.Wait(timeout), 1);
}

// A request whose reply needs more memory than the helper may have still gets one reply, its own
// or one that says the helper ran out of memory, and the requests after it are answered as usual.
// Where the limit falls decides which step runs short: the reply's text, its encoding, or both.
TEST_F(LargeInputTest, RequestThatRunsOutOfMemoryGetsAReply) {
#ifdef KALVEX_HELPER_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limits allow";
#endif
  const std::chrono::seconds timeout(120);
  const std::string method(96u << 20, 'm');  // a 96 MiB line
  const std::string full = Err("u", "Unknown method: " + method);
  const std::string short_reply = Err("u", "kalvex-helper ran out of memory");
  for (const rlim_t mib : std::initializer_list<rlim_t>{300, 350, 400, 450, 500}) {
    SCOPED_TRACE(std::to_string(mib) + " MiB of address space");
    std::remove(LogPath().c_str());
    HelperProcess helper;
    rlimit limit{};
    ASSERT_EQ(::prlimit(helper.pid(), RLIMIT_AS, nullptr, &limit), 0);
    limit.rlim_cur = mib << 20;
    ASSERT_EQ(::prlimit(helper.pid(), RLIMIT_AS, &limit, nullptr), 0);
    std::thread writer([&helper, &method, this] {
      helper.Write(InitRequest("i", Fields()) + "u\t" + method + "\n" + LogRequest("a") +
                   Request("end", "shutdown"));
    });
    EXPECT_EQ(helper.ReadLine(timeout), Ok("i"));
    const std::optional<std::string> reply = helper.ReadLine(timeout);
    EXPECT_TRUE(reply == full || reply == short_reply)
        << (reply ? reply->substr(0, 100) : "no reply");  // not EXPECT_EQ: 128 MiB
    EXPECT_EQ(helper.ReadLine(timeout), Ok("a"));
    EXPECT_EQ(helper.ReadLine(timeout), Ok("end"));
    EXPECT_EQ(helper.Wait(timeout), 0);
    writer.join();
    EXPECT_EQ(ReadFile(LogPath()), LogRecord("a"));
  }
}

TEST_F(LargeInputTest, HundredThousandRequestsWrittenAhead) {
  constexpr int kRequests = 100000;
  std::string input = InitRequest("init", Fields());
  std::string expected = Ok("init");
  std::string expected_log;
  for (int i = 0; i < kRequests; ++i) {
    const std::string id = std::to_string(i);
    input += Request(id, "writeLog", {"info", "seq", "record " + id});
    expected += Ok(id);
    expected_log += "info\tseq\trecord " + id + "\n";
  }
  input += Request("end", "shutdown");
  expected += Ok("end");
  const HelperRun run = RunHelper(input);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.output == expected);
  EXPECT_TRUE(ReadFile(LogPath()) == expected_log);
}

}  // namespace
}  // namespace helper_test
