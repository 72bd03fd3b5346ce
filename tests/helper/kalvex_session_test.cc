// The Kalvex session behind the protocol: what the helper asks of the SDK and in which order, as
// the stand-in SDK records it, and how each failure leaves the session.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "helper_process.h"
#include "protocol_text.h"
#include "standin_session.h"

namespace helper_test {
namespace {

using namespace std::string_literals;
using CallList = std::vector<std::string>;

class KalvexSessionTest : public StandinSession {
 protected:
  // The position of `call` in the record, or -1.
  static long IndexOf(const CallList& calls, const std::string& call) {
    const auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? -1 : static_cast<long>(it - calls.begin());
  }
  // The recorded call right after `call`, or "" when there is none.
  static std::string CallAfter(const CallList& calls, const std::string& call) {
    const long i = IndexOf(calls, call);
    return i < 0 || static_cast<std::size_t>(i + 1) >= calls.size()
               ? ""
               : calls[static_cast<std::size_t>(i + 1)];
  }
  static std::vector<std::string> Matching(const CallList& calls, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& c : calls) {
      if (c.rfind(prefix, 0) == 0) found.push_back(c);
    }
    return found;
  }
};

TEST_F(KalvexSessionTest, InitStartsTheSdkInOrderAndShutdownEndsIt) {
  InitFields fields = Fields();
  fields.debug = "TRUE";
  fields.channel = "";  // empty values give no record context; the others keep their order
  fields.env = "";
  const HelperRun run =
      Run(InitRequest("1", fields) + Request("2", "writeLog", {"warn", "net", "up"}) +
          Request("3", "shutdown"));
  EXPECT_EQ(run.output, Ok("1") + Ok("2") + Ok("3"));
  EXPECT_EQ(run.exit_code, 0);
  const std::string root = RootPath() + "/";
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "SetIsDebug\ttrue",
                         "CreateKalvexWrapper\tw1",
                         "CreateKalvexGlobalEnvBuilder\t4711\tg1",
                         "g1.SetHost\tcollect.example\tg1/1",
                         "g1/1.SetRootPathName\t" + root + "\tg1/2",
                         "g1/2.SetDid\tdevice-1\tg1/3",
                         "g1/3.SetUid\tuser-1\tg1/4",
                         "g1/4.SetAppVersion\t1.2.3\tg1/5",
                         "g1/5.SetChannel\t\tg1/6",
                         "g1/6.SetSessionID\tsession-1\tg1/7",
                         "w1.InitGlobalEnv\tg1",
                         "DestroyKalvexGlobalEnvBuilder\tg1",
                         "CreateKalvexEnvBuilder\t4711\tnimbrel-main\te1",
                         "e1.SetProcessName\trenderer\te1/1",
                         "e1/1.SetPid\t4242\te1/2",
                         "w1.InitInstanceEnv\te1",
                         "DestroyKalvexEnvBuilder\te1",
                         "w1.AddRecordContext\tproduct\tnimbrel",
                         "w1.AddRecordContext\tplatform\tlinux",
                         "w1.AddRecordContext\tapp_version\t1.2.3",
                         "w1.AddRecordContext\tdevice_id\tdevice-1",
                         "w1.AddRecordContext\tuser_unique_id\tuser-1",
                         "w1.LaunchReport",
                         "w1.Upload",
                         "w1.InitJotrel\t" + root + "jotrel\trenderer",
                         "w1.UploadJotrelIfCrashed",
                         "w1.OpenCloudMessage\t300000",
                         "w1.WriteJotrel\t3\tnet\tup",
                         "DestroyKalvexWrapper\tw1",
                     }));
  EXPECT_EQ(ReadFile(LogPath()), "warn\tnet\tup\n");
}

TEST_F(KalvexSessionTest, LevelNamesMapExactly) {
  const std::vector<std::pair<std::string, std::string>> levels = {
      {"verbose", "0"}, {"debug", "1"}, {"info", "2"},  {"warn", "3"},  {"error", "4"},
      {"", "2"},        {"Warn", "2"},  {"ERROR", "2"}, {"fatal", "2"}, {"debug ", "2"}};
  std::string input = InitRequest("i", Fields());
  std::string expected_log;
  std::vector<std::string> expected_calls;
  for (const auto& [name, value] : levels) {
    input += Request("w", "writeLog", {name, "tag", "text of " + name});
    expected_calls.push_back("w1.WriteJotrel\t" + value + "\ttag\ttext of " + name);
    static const char* const kNames[] = {"verbose", "debug", "info", "warn", "error"};
    expected_log += std::string(kNames[value[0] - '0']) + "\ttag\ttext of " + name + "\n";
  }
  const HelperRun run = Run(input);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Matching(Calls(), "w1.WriteJotrel"), expected_calls);
  EXPECT_EQ(ReadFile(LogPath()), expected_log);
}

// A failing field test makes no SDK call; the text names the first failing field.
TEST_F(KalvexSessionTest, InitFieldFailures) {
  const struct {
    const char* name;
    void (*change)(InitFields&);
    const char* message;
  } cases[] = {
      {"host", [](InitFields& f) { f.host = ""; }, "Kalvex host is required"},
      {"root", [](InitFields& f) { f.root_path = ""; }, "Kalvex root path is required"},
      {"did", [](InitFields& f) { f.did = ""; }, "Kalvex did is required"},
      {"process", [](InitFields& f) { f.process_name = ""; }, "Kalvex process name is required"},
      {"pid", [](InitFields& f) { f.pid = ""; }, "Kalvex pid is required"},
      {"first of several", [](InitFields& f) { f.pid = f.did = ""; }, "Kalvex did is required"},
      // The required fields filled one at a time, in the order they are tested.
      {"none required",
       [](InitFields& f) { f.host = f.root_path = f.did = f.process_name = f.pid = ""; },
       "Kalvex host is required"},
      {"host only", [](InitFields& f) { f.root_path = f.did = f.process_name = f.pid = ""; },
       "Kalvex root path is required"},
      {"host and root", [](InitFields& f) { f.did = f.process_name = f.pid = ""; },
       "Kalvex did is required"},
      {"all but process and pid", [](InitFields& f) { f.process_name = f.pid = ""; },
       "Kalvex process name is required"},
      {"aid empty", [](InitFields& f) { f.aid = ""; }, "Invalid integer field: aid"},
      {"aid letters", [](InitFields& f) { f.aid = "x12"; }, "Invalid integer field: aid"},
      {"aid sign only", [](InitFields& f) { f.aid = "-"; }, "Invalid integer field: aid"},
      {"aid too large", [](InitFields& f) { f.aid = "9223372036854775808"; },
       "Invalid integer field: aid"},
      {"aid too small", [](InitFields& f) { f.aid = "-9223372036854775809"; },
       "Invalid integer field: aid"},
      {"aid before fields",
       [](InitFields& f) {
         f.aid = "?";
         f.host = "";
       },
       "Invalid integer field: aid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitFields fields = Fields();
    c.change(fields);
    const HelperRun run =
        Run(InitRequest("i", fields) + Request("w", "writeLog", {"info", "a", "b"}));
    EXPECT_EQ(run.output, Err("i", c.message) + Err("w", "Kalvex helper is not initialized"));
    EXPECT_EQ(Calls(), std::vector<std::string>{});
  }
}

TEST_F(KalvexSessionTest, AidIsReadAsLeadingDecimalInteger) {
  const std::pair<std::string, std::string> cases[] = {
      {"  42xyz", "42"},
      {"\t+8", "8"},
      {"-7", "-7"},
      {"007", "7"},
      {"12.9", "12"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"}};
  std::string input;
  for (const auto& [text, value] : cases) {
    InitFields fields = Fields();
    fields.aid = text;
    input += InitRequest("i", fields);
  }
  Run(input);
  std::vector<std::string> expected;
  for (const auto& [text, value] : cases) {
    expected.push_back("CreateKalvexEnvBuilder\t" + value + "\tnimbrel-main");
  }
  std::vector<std::string> seen;
  for (std::string call : Matching(Calls(), "CreateKalvexEnvBuilder")) {
    seen.push_back(call.substr(0, call.rfind('\t')));  // without the builder's name
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(KalvexSessionTest, RootPathGetsOneSeparatorAndHoldsTheLogDirectory) {
  const std::string base = RootPath();
  // The record escapes a backslash as two.
  const std::pair<std::string, std::string> cases[] = {
      {base, base + "/"}, {base + "/", base + "/"}, {base + "\\", base + "\\\\"}};
  for (const auto& [given, stored] : cases) {
    SCOPED_TRACE(given);
    InitFields fields = Fields();
    fields.root_path = given;
    const HelperRun run = Run(InitRequest("i", fields));
    EXPECT_EQ(run.output, Ok("i"));
    const CallList calls = Calls();
    EXPECT_EQ(Matching(calls, "g1/1.SetRootPathName"),
              CallList{"g1/1.SetRootPathName\t" + stored + "\tg1/2"});
    EXPECT_EQ(Matching(calls, "w1.InitJotrel"),
              CallList{"w1.InitJotrel\t" + stored + "jotrel\trenderer"});
    std::remove(RecordPath().c_str());
  }
}

TEST_F(KalvexSessionTest, DebugFlagIsTrueOnlyForItsThreeSpellings) {
  const std::pair<std::string, std::string> cases[] = {
      {"1", "true"},    {"true", "true"}, {"TRUE", "true"}, {"True", "false"},
      {"yes", "false"}, {"0", "false"},   {"", "false"},    {"1 ", "false"}};
  std::string input;
  CallList expected;
  for (const auto& [flag, value] : cases) {
    InitFields fields = Fields();
    fields.debug = flag;
    input += InitRequest("i", fields);
    expected.push_back("SetIsDebug\t" + value);
  }
  Run(input);
  EXPECT_EQ(Matching(Calls(), "SetIsDebug"), expected);
}

TEST_F(KalvexSessionTest, SecondInitEndsTheFirstSessionAfterItsFieldTests) {
  InitFields bad = Fields();
  bad.pid = "";
  InitFields second = Fields();
  second.process_name = "worker";
  const HelperRun run =
      Run(InitRequest("1", Fields()) + InitRequest("2", bad) + InitRequest("3", second) +
          Request("4", "writeLog", {"info", "t", "m"}));
  EXPECT_EQ(run.output, Ok("1") + Err("2", "Kalvex pid is required") + Ok("3") + Ok("4"));
  const CallList calls = Calls();
  // The failed init made no call; the good one destroys w1 before anything else.
  EXPECT_EQ(CallAfter(calls, "w1.OpenCloudMessage\t300000"), "DestroyKalvexWrapper\tw1");
  const long destroyed = IndexOf(calls, "DestroyKalvexWrapper\tw1");
  ASSERT_GT(destroyed, 0);
  ASSERT_GT(calls.size(), static_cast<std::size_t>(destroyed + 2));
  EXPECT_EQ(calls[static_cast<std::size_t>(destroyed + 1)], "SetIsDebug\tfalse");
  EXPECT_EQ(calls[static_cast<std::size_t>(destroyed + 2)], "CreateKalvexWrapper\tw2");
  EXPECT_EQ(Matching(calls, "w2.WriteJotrel"), CallList{"w2.WriteJotrel\t2\tt\tm"});
  EXPECT_EQ(calls.back(), "DestroyKalvexWrapper\tw2");
  EXPECT_EQ(ReadFile(LogPath("worker")), "info\tt\tm\n");
}

TEST_F(KalvexSessionTest, FailedInitKeepsTheRunningSessionButItsNewFields) {
  InitFields no_host = Fields();
  no_host.host = "";
  no_host.did = "device-2";
  InitFields bad_aid = Fields();
  bad_aid.host = "other.example";
  bad_aid.aid = "none";
  bad_aid.did = "device-3";  // not stored: the aid failed before
  const HelperRun run =
      Run(InitRequest("1", Fields()) + InitRequest("2", no_host) +
          Request("3", "writeLog", {"error", "t", "still"}) +
          Request("4", "setUserUniqueId", {"user-2"}) + InitRequest("5", bad_aid) +
          Request("6", "setUserUniqueId", {"user-3"}));
  EXPECT_EQ(run.output, Ok("1") + Err("2", "Kalvex host is required") + Ok("3") + Ok("4") +
                            Err("5", "Invalid integer field: aid") + Ok("6"));
  const CallList calls = Calls();
  EXPECT_EQ(Matching(calls, "CreateKalvexWrapper"), CallList{"CreateKalvexWrapper\tw1"});
  EXPECT_EQ(Matching(calls, "w1.WriteJotrel"), CallList{"w1.WriteJotrel\t4\tt\tstill"});
  EXPECT_EQ(
      Matching(calls, "CreateKalvexGlobalEnvBuilder"),
      (CallList{"CreateKalvexGlobalEnvBuilder\t4711\tg1", "CreateKalvexGlobalEnvBuilder\t4711\tg2",
                "CreateKalvexGlobalEnvBuilder\t4711\tg3"}));
  EXPECT_EQ(Matching(calls, "g2"),
            (CallList{"g2.SetHost\t\tg2/1", "g2/1.SetRootPathName\t" + RootPath() + "/\tg2/2",
                      "g2/2.SetDid\tdevice-2\tg2/3", "g2/3.SetUid\tuser-2\tg2/4",
                      "g2/4.SetAppVersion\t1.2.3\tg2/5", "g2/5.SetChannel\tstable\tg2/6",
                      "g2/6.SetSessionID\tsession-1\tg2/7"}));
  EXPECT_EQ(CallAfter(calls, "g2/6.SetSessionID\tsession-1\tg2/7"), "w1.ResetGlobalEnv\tg2");
  EXPECT_EQ(CallAfter(calls, "w1.ResetGlobalEnv\tg2"), "DestroyKalvexGlobalEnvBuilder\tg2");
  EXPECT_EQ(CallAfter(calls, "DestroyKalvexGlobalEnvBuilder\tg2"),
            "w1.AddRecordContext\tuser_unique_id\tuser-2");
  EXPECT_EQ(Matching(calls, "g3.SetHost"), CallList{"g3.SetHost\tother.example\tg3/1"});
  EXPECT_EQ(Matching(calls, "g3/2.SetDid"), CallList{"g3/2.SetDid\tdevice-2\tg3/3"});
}

TEST_F(KalvexSessionTest, EmptyUserIdResetsTheEnvironmentWithoutRecordContext) {
  const HelperRun run = Run(InitRequest("1", Fields()) + Request("2", "setUserUniqueId", {""}));
  EXPECT_EQ(run.output, Ok("1") + Ok("2"));
  const CallList calls = Calls();
  EXPECT_EQ(Matching(calls, "g2/3.SetUid"), CallList{"g2/3.SetUid\t\tg2/4"});
  EXPECT_EQ(CallAfter(calls, "DestroyKalvexGlobalEnvBuilder\tg2"), "DestroyKalvexWrapper\tw1");
}

TEST_F(KalvexSessionTest, SetUserUniqueIdAndWriteLogNeedASession) {
  const HelperRun run =
      Run(Request("1", "setUserUniqueId", {"u"}) + Request("2", "writeLog", {"info", "a", "b"}) +
          Request("3", "shutdown"));
  EXPECT_EQ(run.output, Err("1", "Kalvex helper is not initialized") +
                            Err("2", "Kalvex helper is not initialized") + Ok("3"));
  EXPECT_EQ(Calls(), CallList{});  // shutdown without a session makes no SDK call
}

TEST_F(KalvexSessionTest, NulInsideAFieldCountsAsSetButTheSdkSeesTheTextBeforeIt) {
  InitFields fields = Fields();
  fields.did = "\0tail"s;
  fields.uid = "ab\0cd"s;
  const HelperRun run = Run(InitRequest("1", fields));
  EXPECT_EQ(run.output, Ok("1"));
  const CallList calls = Calls();
  EXPECT_NE(IndexOf(calls, "g1/2.SetDid\t\tg1/3"), -1);
  EXPECT_NE(IndexOf(calls, "w1.AddRecordContext\tdevice_id\t"), -1);
  EXPECT_NE(IndexOf(calls, "w1.AddRecordContext\tuser_unique_id\tab"), -1);
}

TEST_F(KalvexSessionTest, EndOfInputTearsTheSessionDownAndLaterLinesAfterShutdownAreNotRead) {
  HelperRun run = Run(InitRequest("1", Fields()));
  EXPECT_EQ(run.output, Ok("1"));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Calls().back(), "DestroyKalvexWrapper\tw1");

  std::remove(RecordPath().c_str());
  run = Run(InitRequest("1", Fields()) + Request("2", "shutdown") + InitRequest("3", Fields()));
  EXPECT_EQ(run.output, Ok("1") + Ok("2"));
  EXPECT_EQ(run.exit_code, 0);
  const CallList calls = Calls();
  EXPECT_EQ(Matching(calls, "CreateKalvexWrapper"), CallList{"CreateKalvexWrapper\tw1"});
  EXPECT_EQ(Matching(calls, "DestroyKalvexWrapper"), CallList{"DestroyKalvexWrapper\tw1"});
}

// What stays of the session when one of the SDK's Create functions gives null.
TEST_F(KalvexSessionTest, NullFromCreateFunctions) {
  const struct {
    const char* create;
    std::string init_reply, log_reply, uid_reply;
  } cases[] = {
      {"CreateKalvexWrapper", Err("1", "CreateKalvexWrapper failed"),
       Err("2", "Kalvex helper is not initialized"), Err("3", "Kalvex helper is not initialized")},
      {"CreateKalvexGlobalEnvBuilder", Err("1", "CreateKalvexGlobalEnvBuilder failed"),
       Err("2", "Kalvex jotrel is not initialized"),
       Err("3", "CreateKalvexGlobalEnvBuilder failed")},
      {"CreateKalvexEnvBuilder", Err("1", "CreateKalvexEnvBuilder failed"),
       Err("2", "Kalvex jotrel is not initialized"), Ok("3")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.create);
    std::remove(RecordPath().c_str());
    const HelperRun run =
        Run(InitRequest("1", Fields()) + Request("2", "writeLog", {"info", "a", "b"}) +
                Request("3", "setUserUniqueId", {"u"}),
            {"KALVEX_STANDIN_NULL="s + c.create});
    EXPECT_EQ(run.output, c.init_reply + c.log_reply + c.uid_reply);
    EXPECT_EQ(run.exit_code, 0);
    const CallList calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(IndexOf(calls, "w1.LaunchReport"), -1);
    // A wrapper that was created is handed back at the end of input.
    const bool had_wrapper = IndexOf(calls, "CreateKalvexWrapper\tw1") != -1;
    EXPECT_EQ(calls.back() == "DestroyKalvexWrapper\tw1", had_wrapper);
  }
}

// A builder goes back to its Destroy function also when a call on it throws; the SDK's text is the
// reply.
TEST_F(KalvexSessionTest, BuildersAreHandedBackWhenACallThrows) {
  const struct {
    const char* call;
    const char* failing;  // the recorded call that threw
    const char* destroy;  // what must follow it
  } cases[] = {
      {"InitGlobalEnv", "w1.InitGlobalEnv\tg1", "DestroyKalvexGlobalEnvBuilder\tg1"},
      {"InitInstanceEnv", "w1.InitInstanceEnv\te1", "DestroyKalvexEnvBuilder\te1"},
      {"SetDid", "g1/2.SetDid\tdevice-1\tg1/3", "DestroyKalvexGlobalEnvBuilder\tg1"},
      {"SetPid", "e1/1.SetPid\t4242\te1/2", "DestroyKalvexEnvBuilder\te1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    std::remove(RecordPath().c_str());
    const HelperRun run =
        Run(InitRequest("1", Fields()) + Request("2", "writeLog", {"info", "a", "b"}),
            {"KALVEX_STANDIN_THROW="s + c.call});
    EXPECT_EQ(run.output, Err("1", "stand-in "s + c.call + " failed") +
                              Err("2", "Kalvex jotrel is not initialized"));
    const CallList calls = Calls();
    EXPECT_EQ(CallAfter(calls, c.failing), c.destroy);
    EXPECT_EQ(CallAfter(calls, c.destroy), "DestroyKalvexWrapper\tw1");  // end of input
  }
}

// A Destroy function that throws after the builder was handed back: its text is the reply when the
// consuming call returned, and the consuming call's text when that one threw first. Either way the
// request stops there, and the next call is the end of the session at the end of input.
TEST_F(KalvexSessionTest, DestroyThatThrowsKeepsTheConsumingCallsText) {
  const struct {
    const char* call;
    const char* destroy;
    std::string consumed;  // the record of the consuming call
    std::string handed_back;
    bool by_user_id;  // consumed by setUserUniqueId rather than by init
  } calls[] = {
      {"InitGlobalEnv", "DestroyKalvexGlobalEnvBuilder", "w1.InitGlobalEnv\tg1",
       "DestroyKalvexGlobalEnvBuilder\tg1", false},
      {"InitInstanceEnv", "DestroyKalvexEnvBuilder", "w1.InitInstanceEnv\te1",
       "DestroyKalvexEnvBuilder\te1", false},
      {"ResetGlobalEnv", "DestroyKalvexGlobalEnvBuilder", "w1.ResetGlobalEnv\tg2",
       "DestroyKalvexGlobalEnvBuilder\tg2", true},
  };
  const struct {
    const char* name;
    bool call_throws, destroy_throws;
  } modes[] = {{"call throws", true, false}, {"Destroy throws", false, true}, {"both", true, true}};
  for (const auto& c : calls) {
    for (const auto& mode : modes) {
      SCOPED_TRACE(c.call + " / "s + mode.name);
      std::remove(RecordPath().c_str());
      std::string throws = "KALVEX_STANDIN_THROW=";
      if (mode.call_throws) throws += c.call + ","s;
      if (mode.destroy_throws) throws += c.destroy;
      const std::string text = "stand-in "s + (mode.call_throws ? c.call : c.destroy) + " failed";
      const std::string destroy_text = "stand-in "s + c.destroy + " failed";
      std::string input = InitRequest("1", Fields());
      std::string expected;
      if (c.by_user_id) {
        // init's own global builder, g1, meets the same Destroy function.
        expected = mode.destroy_throws ? Err("1", destroy_text) : Ok("1");
        input += Request("2", "setUserUniqueId", {"u"});
        expected += Err("2", text);
      } else {
        expected = Err("1", text);
      }
      const HelperRun run = Run(input, {throws});
      EXPECT_EQ(run.output, expected);
      EXPECT_EQ(run.exit_code, 0);
      const CallList recorded = Calls();
      EXPECT_EQ(CallAfter(recorded, c.consumed), c.handed_back);
      EXPECT_EQ(CallAfter(recorded, c.handed_back), "DestroyKalvexWrapper\tw1");
    }
  }
}

// The same for a setter that throws before the consuming call: its builder is handed back, and a
// Destroy that throws then does not replace the setter's text.
TEST_F(KalvexSessionTest, DestroyThatThrowsKeepsTheSettersText) {
  const struct {
    const char* setter;
    const char* destroy;
    std::string failing;
  } cases[] = {
      {"SetDid", "DestroyKalvexGlobalEnvBuilder", "g1/2.SetDid\tdevice-1\tg1/3"},
      {"SetPid", "DestroyKalvexEnvBuilder", "e1/1.SetPid\t4242\te1/2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setter);
    std::remove(RecordPath().c_str());
    const HelperRun run = Run(InitRequest("1", Fields()),
                              {"KALVEX_STANDIN_THROW="s + c.setter + "," + c.destroy});
    EXPECT_EQ(run.output, Err("1", "stand-in "s + c.setter + " failed"));
    EXPECT_EQ(CallAfter(Calls(), c.failing).rfind(c.destroy + "\t"s, 0), 0u);
  }
}

TEST_F(KalvexSessionTest, ResetGlobalEnvThatThrowsHandsTheBuilderBack) {
  const HelperRun run = Run(InitRequest("1", Fields()) + Request("2", "setUserUniqueId", {"u"}) +
                                Request("3", "writeLog", {"info", "a", "b"}),
                            {"KALVEX_STANDIN_THROW=ResetGlobalEnv"});
  EXPECT_EQ(run.output, Ok("1") + Err("2", "stand-in ResetGlobalEnv failed") + Ok("3"));
  const CallList calls = Calls();
  EXPECT_EQ(CallAfter(calls, "w1.ResetGlobalEnv\tg2"), "DestroyKalvexGlobalEnvBuilder\tg2");
  EXPECT_EQ(IndexOf(calls, "w1.AddRecordContext\tuser_unique_id\tu"), -1);
}

TEST_F(KalvexSessionTest, SdkFailuresAfterTheLogFacilityStarted) {
  // OpenCloudMessage comes after the log facility is ready: writeLog works despite the failed init.
  HelperRun run = Run(InitRequest("1", Fields()) + Request("2", "writeLog", {"info", "a", "b"}),
                      {"KALVEX_STANDIN_THROW=OpenCloudMessage"});
  EXPECT_EQ(run.output, Err("1", "stand-in OpenCloudMessage failed") + Ok("2"));
  EXPECT_EQ(ReadFile(LogPath()), "info\ta\tb\n");

  run = Run(InitRequest("1", Fields()) + Request("2", "writeLog", {"info", "a", "b"}),
            {"KALVEX_STANDIN_THROW=WriteJotrel"});
  EXPECT_EQ(run.output, Ok("1") + Err("2", "stand-in WriteJotrel failed"));
}

// The log file fills up in the middle of a record, and records fail until there is room again.
// The cut record stays as it is, but the next one begins a line of its own, also when a new init
// opens the log again; a limit that falls between two records cuts nothing and adds no line.
TEST_F(KalvexSessionTest, LogRecordAfterACutOneBeginsALineOfItsOwn) {
  std::signal(SIGXFSZ, SIG_IGN);  // ignored here, and so in the helpers started from here
  constexpr std::chrono::seconds kTimeout(30);
  const std::string cut_id(40, 'c');
  const std::string cut = LogRecord(cut_id);
  const struct {
    const char* name;
    std::size_t kept;  // how much of the cut record fits
    bool init_again;   // a new init opens the log again before the next record
  } cases[] = {
      {"nothing", 0, false},
      {"first byte", 1, false},
      {"all but the LF", cut.size() - 1, false},
      {"half, then a new init", cut.size() / 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(LogPath().c_str());
    HelperProcess helper;  // no call record: the limit would cut it too
    ASSERT_TRUE(helper.Write(InitRequest("1", Fields()) + LogRequest("2")));
    EXPECT_EQ(helper.ReadLine(kTimeout), Ok("1"));
    EXPECT_EQ(helper.ReadLine(kTimeout), Ok("2"));
    const std::string before = LogRecord("2");
    ASSERT_TRUE(LimitFileSize(helper.pid(), before.size() + c.kept));

    ASSERT_TRUE(helper.Write(LogRequest(cut_id) + LogRequest("3")));
    const std::string full = "WriteJotrel " + LogPath() + ": " + std::strerror(EFBIG);
    EXPECT_EQ(helper.ReadLine(kTimeout), Err(cut_id, full));
    EXPECT_EQ(helper.ReadLine(kTimeout), Err("3", full));
    ASSERT_TRUE(LimitFileSize(helper.pid(), RLIM_INFINITY));
    std::string input = LogRequest("4") + Request("end", "shutdown");
    if (c.init_again) input = InitRequest("again", Fields()) + input;
    ASSERT_TRUE(helper.Write(input));
    helper.CloseInput();
    EXPECT_TRUE(helper.ReadToEnd(kTimeout).has_value());
    EXPECT_EQ(helper.Wait(kTimeout), 0);

    const std::string cut_part = cut.substr(0, c.kept);
    EXPECT_EQ(ReadFile(LogPath()), before + cut_part + (c.kept > 0 ? "\n" : "") + LogRecord("4"));
  }
}

TEST_F(KalvexSessionTest, FailedShutdownKeepsTheLoopRunning) {
  const HelperRun run =
      Run(InitRequest("1", Fields()) + Request("2", "shutdown") + Request("3", "bogus") +
              Request("4", "shutdown") + Request("5", "bogus"),
          {"KALVEX_STANDIN_THROW=DestroyKalvexWrapper"});
  EXPECT_EQ(run.output, Ok("1") + Err("2", "stand-in DestroyKalvexWrapper failed") +
                            Err("3", "Unknown method: bogus") + Ok("4"));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Matching(Calls(), "DestroyKalvexWrapper"), CallList{"DestroyKalvexWrapper\tw1"});
}

// Each builder setter is called on what the previous one returned, nothing is called on the last
// one's result, and the builder that the Create function gave is the one consumed and destroyed.
TEST_F(KalvexSessionTest, SettersChainAndTheCreatedBuilderIsConsumed) {
  const HelperRun run = Run(InitRequest("1", Fields()) + Request("2", "setUserUniqueId", {"u"}));
  EXPECT_EQ(run.output, Ok("1") + Ok("2"));
  const CallList calls = Calls();
  const CallList global_setters = {"SetHost",       "SetRootPathName", "SetDid",      "SetUid",
                                   "SetAppVersion", "SetChannel",      "SetSessionID"};
  const struct {
    std::string created, builder;
    CallList setters;
    std::string consumed, destroyed;
  } chains[] = {
      {"CreateKalvexGlobalEnvBuilder\t4711\tg1", "g1", global_setters, "w1.InitGlobalEnv\tg1",
       "DestroyKalvexGlobalEnvBuilder\tg1"},
      {"CreateKalvexEnvBuilder\t4711\tnimbrel-main\te1", "e1", {"SetProcessName", "SetPid"},
       "w1.InitInstanceEnv\te1", "DestroyKalvexEnvBuilder\te1"},
      {"CreateKalvexGlobalEnvBuilder\t4711\tg2", "g2", global_setters, "w1.ResetGlobalEnv\tg2",
       "DestroyKalvexGlobalEnvBuilder\tg2"},
  };
  for (const auto& chain : chains) {
    SCOPED_TRACE(chain.builder);
    const long created = IndexOf(calls, chain.created);
    ASSERT_NE(created, -1);
    auto at = static_cast<std::size_t>(created + 1);
    ASSERT_LE(at + chain.setters.size() + 2, calls.size());
    std::string object = chain.builder;
    for (const std::string& setter : chain.setters) {
      const std::string& call = calls[at++];
      EXPECT_EQ(call.substr(0, call.find('\t')), object + "." + setter);
      object = call.substr(call.rfind('\t') + 1);  // what the setter returned
      EXPECT_NE(object, chain.builder);
    }
    EXPECT_EQ(calls[at], chain.consumed);
    EXPECT_EQ(calls[at + 1], chain.destroyed);
    EXPECT_EQ(Matching(calls, object + "."), CallList{});
  }
}

}  // namespace
}  // namespace helper_test
