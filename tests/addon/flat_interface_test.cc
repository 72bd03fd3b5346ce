// The flat interface against the stand-in daemon at the compiled-in paths.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "brannic.h"
#include "real_path_daemon.h"

namespace {

using brannic_test::RealPathDaemon;

std::string text(const char* p) { return p == nullptr ? "<null>" : p; }

// A context connected to the daemon; closed at the end of the test.
struct Context {
  brannic_ctx* ctx = nullptr;
  Context() { EXPECT_EQ(brannic_init(&ctx), BNQ_OK) << text(brannic_get_init_error()); }
  ~Context() { brannic_close(ctx); }
  const char* error() const { return brannic_get_last_error(ctx); }
};

bool allZero(const char* buffer, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] != 0) return false;
  }
  return true;
}

TEST(FlatCodes, NamesAndVersion) {
  const std::vector<std::pair<int32_t, const char*>> names = {
      {0, "BNQ_OK"}, {-1, "BNQ_ERR_TIMEOUT"}, {-2, "BNQ_ERR_AGAIN"}, {-3, "BNQ_ERR_CONN_RESET"},
      {-4, "BNQ_ERR_DAEMON_BUSY"}, {-10, "BNQ_ERR_INVALID_ARG"}, {-11, "BNQ_ERR_NOT_FOUND"},
      {-12, "BNQ_ERR_ALREADY_EXISTS"}, {-13, "BNQ_ERR_IO"}, {-14, "BNQ_ERR_NO_MEMORY"},
      {-15, "BNQ_ERR_NOT_SUPPORTED"}, {-16, "BNQ_ERR_PROTOCOL"}, {-17, "BNQ_ERR_VERSION"},
      {-18, "BNQ_ERR_TOO_LARGE"}, {-19, "BNQ_ERR_DAEMON_UNAVAIL"}, {-30, "BNQ_ERR_AUTH_FAILED"},
      {-31, "BNQ_ERR_SIGN_FAILED"}, {-32, "BNQ_ERR_VERIFY_FAILED"}, {-33, "BNQ_ERR_KEY_LOAD"},
      {-34, "BNQ_ERR_PERMISSION"}, {-35, "BNQ_ERR_SESSION_INVALID"},
      {-5, "BNQ_ERR_UNKNOWN"}, {-9, "BNQ_ERR_UNKNOWN"}, {-20, "BNQ_ERR_UNKNOWN"}, {-29, "BNQ_ERR_UNKNOWN"},
      {-36, "BNQ_ERR_UNKNOWN"}, {1, "BNQ_ERR_UNKNOWN"}, {INT32_MIN, "BNQ_ERR_UNKNOWN"}};
  for (const auto& [code, name] : names) EXPECT_STREQ(bnq_error_to_string(code), name) << code;
  EXPECT_STREQ(brannic_version(), "0.2.0.1001");
}

TEST(FlatNoContext, RefusedWithoutTouchingAnything) {
  char buffer[100];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(brannic_report_signal(nullptr, 1, "x"), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(brannic_trigger_signal(nullptr, "{}"), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(brannic_check_signal(nullptr, "{}", buffer, 50, buffer + 50, 50), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(brannic_identity_agent(nullptr, nullptr, buffer, sizeof buffer), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(brannic_get_last_error(nullptr), nullptr);
  brannic_close(nullptr);
}

TEST(FlatInit, WithoutDaemonAndTheInitTextPerThread) {
  brannic_ctx* ctx = reinterpret_cast<brannic_ctx*>(&ctx);
  EXPECT_EQ(brannic_init(&ctx), BNQ_ERR_DAEMON_UNAVAIL);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(text(brannic_get_init_error()), "connect failed: daemon not running");

  // A null address changes nothing, not even the text.
  EXPECT_EQ(brannic_init(nullptr), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(brannic_get_init_error()), "connect failed: daemon not running");

  // Another thread has its own text.
  std::string other;
  std::thread([&] { other = text(brannic_get_init_error()); }).join();
  EXPECT_EQ(other, "<null>");

  RealPathDaemon daemon;
  Context c;
  EXPECT_EQ(brannic_get_init_error(), nullptr);
  EXPECT_EQ(c.error(), nullptr);
}

// Report texts and what the daemon must receive as "content".
TEST(FlatReport, ContentCutAtUtf8Boundary) {
  const std::string euro = "\xE2\x82\xAC";
  std::string continuation = "a" + std::string(8192, '\x80') + std::string(807, 'b');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {std::string(8192, 'a'), std::string(8192, 'a')},
      {std::string(8193, 'a'), std::string(8192, 'a')},
      {std::string(8191, 'a') + euro, std::string(8191, 'a')},
      {std::string(8189, 'a') + euro, std::string(8189, 'a') + euro},
      {std::string(8190, 'a') + euro, std::string(8190, 'a')},
      {continuation, ""},
  };
  RealPathDaemon daemon;
  Context c;
  for (const auto& [in, out] : cases) ASSERT_EQ(brannic_report_signal(c.ctx, 8, in.c_str()), BNQ_OK);

  const auto got = daemon.requests();
  ASSERT_EQ(got.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(got[i].first, 4);
    Json::Value report;
    std::string errors;
    std::istringstream in(got[i].second);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &report, &errors)) << errors;
    const std::string content = report["content"].asString();
    EXPECT_TRUE(content == cases[i].second) << "case " << i << ": " << content.size() << " bytes";
    EXPECT_EQ(report["type"].asInt(), 8);
  }
}

TEST(FlatReport, CompactJsonAndArgumentChecks) {
  RealPathDaemon daemon;
  Context c;
  ASSERT_EQ(brannic_report_signal(c.ctx, 2, "h\xC3\xA9 \"q\""), BNQ_OK);
  EXPECT_EQ(c.error(), nullptr);

  EXPECT_EQ(brannic_report_signal(c.ctx, 99, nullptr), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "ctx or content_json is NULL");
  EXPECT_EQ(brannic_report_signal(c.ctx, 9, "x"), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "signal type 9 out of range [0, 9)");
  EXPECT_EQ(brannic_report_signal(c.ctx, -1, "x"), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "signal type -1 out of range [0, 9)");
  EXPECT_EQ(brannic_report_signal(c.ctx, INT32_MIN, "x"), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "signal type -2147483648 out of range [0, 9)");

  // Only the first report reached the daemon, byte for byte.
  const auto got = daemon.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].second, R"({"content":"h\u00e9 \"q\"","type":2})");
}

TEST(FlatTrigger, PassesTextUnchanged) {
  RealPathDaemon daemon;
  Context c;
  EXPECT_EQ(brannic_trigger_signal(c.ctx, ""), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "biz_json is NULL or empty");
  EXPECT_EQ(brannic_trigger_signal(c.ctx, nullptr), BNQ_ERR_INVALID_ARG);
  const char* raw = "not json, \xFF bytes";
  EXPECT_EQ(brannic_trigger_signal(c.ctx, raw), BNQ_OK);
  EXPECT_EQ(c.error(), nullptr);
  const auto got = daemon.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::make_pair(5, std::string(raw)));
}

TEST(FlatStatus, MapsEveryReplyStatus) {
  struct Row {
    int status;
    int32_t code;
    const char* text;
  };
  const Row rows[] = {
      {-1, BNQ_ERR_NOT_SUPPORTED, "server: unsupported command"},
      {-2, BNQ_ERR_INVALID_ARG, "server: invalid argument"},
      {-3, BNQ_ERR_DAEMON_UNAVAIL, "server: internal error"},
      {-4, BNQ_ERR_AUTH_FAILED, "server: unauthorized"},
      {-5, BNQ_ERR_NOT_FOUND, "server: not found"},
      {-6, BNQ_ERR_DAEMON_UNAVAIL, "server: daemon unavailable"},
      {7, BNQ_ERR_PROTOCOL, "server: unknown error"},
      {-7, BNQ_ERR_PROTOCOL, "server: unknown error"},
  };
  for (const Row& row : rows) {
    RealPathDaemon daemon({"--status", "*=" + std::to_string(row.status), "--detail", "*=ignored",
                           "--data", "*=abc"});
    Context c;
    char token[65];
    EXPECT_EQ(brannic_trigger_signal(c.ctx, "{}"), row.code) << row.status;
    EXPECT_EQ(text(c.error()), row.text);
    EXPECT_EQ(brannic_identity_agent(c.ctx, nullptr, token, sizeof token), row.code);
    EXPECT_TRUE(allZero(token, sizeof token));
  }
}

TEST(FlatIdentity, TokenBufferAndPayload) {
  const std::string token100(100, 't');
  RealPathDaemon daemon({"--data", "3=" + token100});
  Context c;
  char token[80];
  std::memset(token, 'x', sizeof token);

  EXPECT_EQ(brannic_identity_agent(c.ctx, nullptr, token, 64), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "token buffer too small (must be >= 65)");
  EXPECT_EQ(token[0], 'x');
  EXPECT_EQ(brannic_identity_agent(c.ctx, nullptr, nullptr, 65), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(text(c.error()), "token buffer too small (must be >= 65)") << "null buffer keeps the text";

  ASSERT_EQ(brannic_identity_agent(c.ctx, nullptr, token, 65), BNQ_OK);
  EXPECT_EQ(std::string(token), std::string(64, 't'));
  EXPECT_EQ(token[66], 'x') << "only token_len bytes are touched";
  EXPECT_EQ(c.error(), nullptr);
  ASSERT_EQ(brannic_identity_agent(c.ctx, "{\"a\":1}", token, sizeof token), BNQ_OK);
  EXPECT_EQ(std::string(token), std::string(79, 't'));

  const auto got = daemon.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::make_pair(3, std::string()));
  EXPECT_EQ(got[1], std::make_pair(3, std::string("{\"a\":1}")));
}

TEST(FlatIdentity, EmptyTokenIsNotFound) {
  RealPathDaemon daemon;  // answers with empty data
  Context c;
  char token[65];
  EXPECT_EQ(brannic_identity_agent(c.ctx, "", token, sizeof token), BNQ_ERR_NOT_FOUND);
  EXPECT_EQ(text(c.error()), "server returned empty token");
  EXPECT_TRUE(allZero(token, sizeof token));
}

TEST(FlatCheck, ArgumentChecksLeaveBuffersAlone) {
  RealPathDaemon daemon;
  Context c;
  char session[40];
  char result[8];
  std::memset(session, 'x', sizeof session);
  std::memset(result, 'x', sizeof result);
  const std::vector<std::tuple<const char*, char*, size_t, char*, size_t, const char*>> rows = {
      {"", session, 37, result, 8, "ctx or request_json is NULL or empty"},
      {nullptr, session, 37, result, 8, "ctx or request_json is NULL or empty"},
      {"{}", session, 36, result, 8, "session_id buffer too small (must be >= 37)"},
      {"{}", nullptr, 37, result, 8, "session_id buffer too small (must be >= 37)"},
      {"{}", session, 37, result, 0, "signal_result buffer is NULL or zero-size"},
      {"{}", session, 37, nullptr, 8, "signal_result buffer is NULL or zero-size"},
  };
  for (const auto& [json, s, slen, r, rlen, message] : rows) {
    EXPECT_EQ(brannic_check_signal(c.ctx, json, s, slen, r, rlen), BNQ_ERR_INVALID_ARG);
    EXPECT_EQ(text(c.error()), message);
  }
  EXPECT_EQ(session[0], 'x');
  EXPECT_EQ(result[0], 'x');
  EXPECT_TRUE(daemon.requests().empty());
}

TEST(FlatCheck, ReplyShapes) {
  struct Row {
    const char* data;  // nullptr: the daemon answers with empty data
    int32_t code;
    const char* session;
    const char* result;
    const char* error;
  };
  const std::string longId(50, 'i');
  // The reader takes 1000 levels of nesting and throws past that: 1001 levels is a reply that does not parse.
  const auto nested = [](size_t arrays) {
    return "{\"sessionId\":\"deep\",\"x\":" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
  };
  const std::string deepest = nested(999);
  const std::string tooDeep = nested(1000);
  const Row rows[] = {
      {R"({"sessionId":"s-1","signalResult":"r","other":[1]})", BNQ_OK, "s-1", "r", nullptr},
      {"{}", BNQ_OK, "", "", nullptr},
      {"null", BNQ_OK, "", "", nullptr},
      {R"({"sessionId":42,"signalResult":true})", BNQ_OK, "42", "true", nullptr},
      {R"({"sessionId":null})", BNQ_OK, "", "", nullptr},
      {"// comment\n{\"sessionId\":\"c\",} trailing", BNQ_OK, "c", "", nullptr},
      {R"({"signalResult":"12345678901"})", BNQ_OK, "", "1234567", nullptr},
      {nullptr, BNQ_ERR_PROTOCOL, "", "", "server returned empty data"},
      {"not json", BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
      {"[1,2]", BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
      {"\"text\"", BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
      {"7", BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
      {R"({"sessionId":"ok","signalResult":[1]})", BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
      {R"({"sessionId":{"a":1}})", BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
      {deepest.c_str(), BNQ_OK, "deep", "", nullptr},
      {tooDeep.c_str(), BNQ_ERR_PROTOCOL, "", "", "parse response failed"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args;
    if (row.data != nullptr) args = {"--data", std::string("6=") + row.data};
    RealPathDaemon daemon(args);
    Context c;
    char session[37];
    char result[8];
    std::memset(session, 'x', sizeof session);
    std::memset(result, 'x', sizeof result);
    const std::string label = row.data != nullptr ? std::string(row.data).substr(0, 60) : "<empty>";
    EXPECT_EQ(brannic_check_signal(c.ctx, "{\"q\":1}", session, sizeof session, result, sizeof result), row.code)
        << label;
    EXPECT_EQ(std::string(session), row.session) << label;
    EXPECT_EQ(std::string(result), row.result) << label;
    EXPECT_EQ(text(c.error()), text(row.error)) << label;
    if (row.code != BNQ_OK) {
      EXPECT_TRUE(allZero(session, sizeof session) && allZero(result, sizeof result)) << label;
    }
  }
  {
    RealPathDaemon daemon({"--data", "6={\"sessionId\":\"" + longId + "\"}"});
    Context c;
    char session[37];
    char result[1];
    ASSERT_EQ(brannic_check_signal(c.ctx, "{}", session, sizeof session, result, sizeof result), BNQ_OK);
    EXPECT_EQ(std::string(session), std::string(36, 'i'));
    EXPECT_EQ(result[0], '\0');
  }
}

TEST(FlatRequests, DaemonGoneThenBack) {
  brannic_ctx* ctx = nullptr;
  {
    RealPathDaemon daemon;
    ASSERT_EQ(brannic_init(&ctx), BNQ_OK);
  }
  // The daemon is gone: the call fails and no reconnect is possible.
  EXPECT_EQ(brannic_trigger_signal(ctx, "{}"), BNQ_ERR_DAEMON_UNAVAIL);
  EXPECT_EQ(text(brannic_get_last_error(ctx)), "rpc failed: rpc error");
  EXPECT_EQ(brannic_trigger_signal(ctx, "{}"), BNQ_ERR_DAEMON_UNAVAIL);
  EXPECT_EQ(text(brannic_get_last_error(ctx)), "rpc failed: Not connected and reconnect failed");

  // A restarted daemon is reached again, and success clears the text.
  RealPathDaemon daemon;
  EXPECT_EQ(brannic_trigger_signal(ctx, "{\"back\":1}"), BNQ_OK);
  EXPECT_EQ(brannic_get_last_error(ctx), nullptr);
  EXPECT_EQ(daemon.requests().size(), 1u);
  brannic_close(ctx);
}

TEST(FlatRequests, IndependentContextsOnThreads) {
  RealPathDaemon daemon({"--data", "3=tok"});
  brannic_ctx* a = nullptr;
  brannic_ctx* b = nullptr;
  ASSERT_EQ(brannic_init(&a), BNQ_OK);
  std::thread([&] { ASSERT_EQ(brannic_init(&b), BNQ_OK); }).join();
  ASSERT_NE(a, b);
  EXPECT_EQ(brannic_trigger_signal(a, ""), BNQ_ERR_INVALID_ARG);
  EXPECT_EQ(brannic_get_last_error(b), nullptr) << "texts are per context";
  brannic_close(a);
  char token[65];
  std::thread([&] { EXPECT_EQ(brannic_identity_agent(b, nullptr, token, sizeof token), BNQ_OK); }).join();
  EXPECT_STREQ(token, "tok");
  brannic_close(b);
  EXPECT_EQ(daemon.events("accept").size(), 2u);
}

}  // namespace
