// The request loop as a parent process sees it: which lines get which reply, byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "helper_process.h"
#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

using namespace std::string_literals;

struct Exchange {
  const char* name;
  std::string input;
  std::string output;
};

void PrintTo(const Exchange& e, std::ostream* os) { *os << e.name; }

class RequestLoopTest : public ::testing::TestWithParam<Exchange> {};

TEST_P(RequestLoopTest, RepliesExactlyAndExitsWithZero) {
  const HelperRun run = RunHelper(GetParam().input);
  EXPECT_EQ(run.output, GetParam().output);
  EXPECT_EQ(run.exit_code, 0);
}

const std::string kCountInit = Err("i", "init expects 14 arguments");
const std::string kCountUid = Err("u", "setUserUniqueId expects 1 argument");
const std::string kCountLog = Err("w", "writeLog expects 3 arguments");
const std::string kNoSession = Err("w", "Kalvex helper is not initialized");

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestLoopTest,
    ::testing::Values(
        Exchange{"NoInputNoReply", "", ""},
        Exchange{"EmptyLineAndLineWithoutTabAreIgnored", "\nno tab here\n7\tbogus\n",
                 "7\terr\tVW5rbm93biBtZXRob2Q6IGJvZ3Vz\n"},
        Exchange{"LoneTabIsEmptyIdAndEmptyMethod", "\t\n", "\terr\tVW5rbm93biBtZXRob2Q6IA==\n"},
        // Messages of 16, 17 and 18 bytes: two, one and no '=' at the end.
        Exchange{"MessagePadding", "1\t\n2\ta\n3\tab\n",
                 "1\terr\tVW5rbm93biBtZXRob2Q6IA==\n2\terr\tVW5rbm93biBtZXRob2Q6IGE=\n"
                 "3\terr\tVW5rbm93biBtZXRob2Q6IGFi\n"},
        Exchange{"ShutdownWithTrailingTab", "s\tshutdown\t\n", "s\tok\t\n"},
        Exchange{"ShutdownIgnoresItsArguments", "s\tshutdown\tQQ==\t!!\t\t\n", "s\tok\t\n"},
        Exchange{"LinesAfterShutdownAreNotHandled", "s\tshutdown\nt\tbogus\n", "s\tok\t\n"},
        Exchange{"TrailingTabIsAnEmptyArgument", "u\tsetUserUniqueId\tQQ==\t\n", kCountUid},
        Exchange{"WrongCounts",
                 "u\tsetUserUniqueId\n" + Request("i", "init", std::vector<std::string>(13, "x")) +
                     Request("i", "init", std::vector<std::string>(15, "x")) +
                     "w\twriteLog\tQQ\tQQ\n" + "w\twriteLog\tQQ\tQQ\tQQ\tQQ\n",
                 kCountUid + kCountInit + kCountInit + kCountLog + kCountLog},
        Exchange{"EmptyFieldsAreArguments", "w\twriteLog\t\t\t\n", kNoSession},
        Exchange{"CrAfterLastArgumentIsSkipped", "w\twriteLog\tQQ\tQQ\tQQ\r\n", kNoSession},
        Exchange{"CrAfterMethodIsPartOfIt", "c\tshutdown\r\nd\tshutdown\n",
                 "c\terr\tVW5rbm93biBtZXRob2Q6IHNodXRkb3duDQ==\nd\tok\t\n"},
        Exchange{"MethodNamesAreCaseSensitive", "1\tInit\n2\tSHUTDOWN\n3\tWriteLog\tQQ\tQQ\tQQ\n",
                 Err("1", "Unknown method: Init") + Err("2", "Unknown method: SHUTDOWN") +
                     Err("3", "Unknown method: WriteLog")},
        Exchange{"IdIsEchoedByteForByte", "\0 a=\r\xff\x80\tbogus\n"s,
                 "\0 a=\r\xff\x80\terr\tVW5rbm93biBtZXRob2Q6IGJvZ3Vz\n"s},
        Exchange{"MethodTextEndsAtNulInTheMessage", "m\tab\0cd\n"s, Err("m", "Unknown method: ab")},
        Exchange{"LastLineWithoutLf", "a\tbogus", "a\terr\tVW5rbm93biBtZXRob2Q6IGJvZ3Vz\n"},
        Exchange{"ShutdownBeforeInitWithoutLf", "s\tshutdown", "s\tok\t\n"}),
    [](const ::testing::TestParamInfo<Exchange>& param_info) {
      return std::string(param_info.param.name);
    });

// Each reply is flushed before the next line is read: a parent may wait for it.
TEST(RequestLoop, EachReplyArrivesBeforeTheNextRequestIsWritten) {
  HelperProcess helper;
  const std::chrono::seconds timeout(10);
  ASSERT_TRUE(helper.Write("1\tbogus\n"));
  EXPECT_EQ(helper.ReadLine(timeout), "1\terr\tVW5rbm93biBtZXRob2Q6IGJvZ3Vz\n");
  ASSERT_TRUE(helper.Write("\n2\twriteLog\t\t\t\n"));
  EXPECT_EQ(helper.ReadLine(timeout), Err("2", "Kalvex helper is not initialized"));
  ASSERT_TRUE(helper.Write("3\tshutdown\n"));
  EXPECT_EQ(helper.ReadLine(timeout), "3\tok\t\n");
  // It exits without waiting for the end of its input.
  EXPECT_EQ(helper.Wait(timeout), 0);
}

// What the SDK receives for each argument text: the lenient decoding, cut at the first NUL.
class ArgumentDecodingTest : public StandinSession {};

TEST_F(ArgumentDecodingTest, SdkReceivesTheDecodedBytes) {
  const struct {
    std::string field;
    std::string received;
  } cases[] = {
      {"aGVsbG8gd29ybGQ=", "hello world"},
      {"QQ", "A"},
      {"QQ==", "A"},
      {"Q", ""},
      {"=QQ", ""},
      {"", ""},
      {"QUJD=QUJD", "ABC"},  // '=' ends the field
      {"QU JD", "ABC"},      // bytes outside the alphabet are skipped
      {"Q\rQ", "A"},
      {"-Q_Q-", "A"},  // URL-safe characters are outside the alphabet
      {"\x80QQ\xff", "A"},
      {"QUI", "AB"},  // left-over bits dropped
      {"QQBC", "A"},  // "A\0B": the SDK sees the text up to the NUL
      {"AEE=", ""},   // "\0A"
  };
  std::string input = InitRequest("i", Fields());
  std::string expected = Ok("i");
  for (const auto& c : cases) {
    input += "w\twriteLog\taW5mbw==\t" + c.field + "\tbQ==\n";
    expected += Ok("w");
  }
  const HelperRun run = Run(input);
  EXPECT_EQ(run.output, expected);
  std::vector<std::string> received;
  for (const std::string& call : Calls()) {
    if (call.rfind("w1.WriteJotrel\t", 0) == 0) received.push_back(call);
  }
  ASSERT_EQ(received.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(received[i], "w1.WriteJotrel\t2\t" + cases[i].received + "\tm") << cases[i].field;
  }
}

}  // namespace
}  // namespace helper_test
