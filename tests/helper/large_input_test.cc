// Large requests and long request streams: no length limit but memory, and no stall when the
// parent writes far ahead of the replies it reads.
#include <gtest/gtest.h>

#include <string>

#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

class LargeInputTest : public StandinSession {};

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
