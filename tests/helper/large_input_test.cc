// Large requests and long request streams: no length limit but memory, and no stall when the
// parent writes far ahead of the replies it reads.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <string>

#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

class LargeInputTest : public StandinSession {};

// The resident memory of process `pid` in KiB, or -1 when it cannot be read.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
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
    // A 256 MiB argument field, decoded even though the method is unknown.
    const std::string line = "big\tbogus\t" + std::string(256u << 20, 'A') + "\n";
    ASSERT_TRUE(helper.Write(line));
  }
  EXPECT_EQ(helper.ReadLine(timeout), Err("big", "Unknown method: bogus"));
  // Once the next request is answered, the huge one is done with.
  ASSERT_TRUE(helper.Write("next\tbogus\n"));
  EXPECT_EQ(helper.ReadLine(timeout), Err("next", "Unknown method: bogus"));
  const long resident = ResidentKiB(helper.pid());
  EXPECT_GT(resident, 0);
  EXPECT_LT(resident, 32 * 1024);
  ASSERT_TRUE(helper.Write("end\tshutdown\n"));
  EXPECT_EQ(helper.ReadLine(timeout), Ok("end"));
  EXPECT_EQ(helper.Wait(timeout), 0);
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
