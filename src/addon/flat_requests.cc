// The four request operations of the flat interface.
#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "brannic.h"
#include "flat_context.h"
#include "rpc_service.h"

namespace {

using brannic::setLastError;

constexpr int kIdentityTimeoutMs = 5000;
constexpr int kReportTimeoutMs = 5000;
constexpr int kTriggerTimeoutMs = 10000;
constexpr int kCheckTimeoutMs = 10000;

constexpr int32_t kSignalTypeCount = 9;
constexpr size_t kMaxReportContent = 8192;
constexpr size_t kMinTokenLen = 65;
constexpr size_t kMinSessionIdLen = 37;

// Turns a non-zero reply status into a code, and sets the matching text.
int32_t map_server_error(brannic_ctx* ctx, const rpc_sdk::BnqResponse& resp) noexcept {
  switch (resp.status) {
    case -1: setLastError(ctx, "server: unsupported command"); return BNQ_ERR_NOT_SUPPORTED;
    case -2: setLastError(ctx, "server: invalid argument"); return BNQ_ERR_INVALID_ARG;
    case -3: setLastError(ctx, "server: internal error"); return BNQ_ERR_DAEMON_UNAVAIL;
    case -4: setLastError(ctx, "server: unauthorized"); return BNQ_ERR_AUTH_FAILED;
    case -5: setLastError(ctx, "server: not found"); return BNQ_ERR_NOT_FOUND;
    case -6: setLastError(ctx, "server: daemon unavailable"); return BNQ_ERR_DAEMON_UNAVAIL;
    default: setLastError(ctx, "server: unknown error"); return BNQ_ERR_PROTOCOL;
  }
}

// Sends one request; resp must be freshly built (status 0, empty texts) since it travels too.
// Checks the outcome. BNQ_OK means the daemon answered with status 0 and resp
// holds its answer; the caller then does its own reply handling.
int32_t roundTrip(brannic_ctx* ctx, int32_t command, std::string payload, int timeoutMs,
                  rpc_sdk::BnqResponse& resp) {
  rpc_sdk::BnqRequest req;
  req.command = command;
  req.payload = std::move(payload);
  if (ctx->client->request(req, resp, timeoutMs) != 0) {
    setLastError(ctx, "rpc failed: " + ctx->client->getLastError());
    return BNQ_ERR_DAEMON_UNAVAIL;
  }
  if (resp.status != 0) return map_server_error(ctx, resp);
  return BNQ_OK;
}

// Length of the longest prefix of text, at most kMaxReportContent bytes, that does not end inside a
// UTF-8 sequence.
size_t reportContentLength(const char* text, size_t length) {
  if (length <= kMaxReportContent) return length;
  size_t cut = kMaxReportContent;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) --cut;
  return cut;
}

std::string buildReportJson(int32_t type, const char* content) {
  const size_t length = reportContentLength(content, std::strlen(content));
  Json::Value report(Json::objectValue);
  report["content"] = Json::Value(content, content + length);
  report["type"] = type;
  // Built once: writing only reads the settings, so threads may share it.
  static const Json::StreamWriterBuilder writer = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return b;
  }();
  return Json::writeString(writer, report);
}

// Copies at most dst_len - 1 bytes of src into dst and terminates it. dst_len must be at least 1.
void copyCut(const std::string& src, char* dst, size_t dst_len) {
  const size_t n = std::min(dst_len - 1, src.size());
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// Parses the check reply with the reader of a default Json::CharReaderBuilder. False when the reader
// refuses it, by its result or by throwing (it throws on nesting past its stack limit); only memory
// exhaustion passes on.
bool parseReply(const std::string& data, Json::Value* root) {
  const Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    return reader->parse(data.data(), data.data() + data.size(), root, nullptr);
  } catch (const Json::Exception&) {
    return false;
  }
}

// A member of the check reply that can be read as text: missing, null, a string, a number or a boolean.
bool isTextual(const Json::Value& v) {
  return v.isNull() || v.isString() || v.isNumeric() || v.isBool();
}

}  // namespace

extern "C" {

int32_t brannic_identity_agent(brannic_ctx* ctx, const char* agent_json, char* token, size_t token_len) {
  if (ctx == nullptr || token == nullptr) return BNQ_ERR_INVALID_ARG;
  try {
    if (token_len < kMinTokenLen) {
      setLastError(ctx, "token buffer too small (must be >= 65)");
      return BNQ_ERR_INVALID_ARG;
    }
    std::memset(token, 0, token_len);
    rpc_sdk::BnqResponse resp;
    const int32_t rc = roundTrip(ctx, rpc_sdk::BNQ_CMD_IDENTITY_AGENT,
                                 agent_json != nullptr ? agent_json : "", kIdentityTimeoutMs, resp);
    if (rc != BNQ_OK) return rc;
    if (resp.data.empty()) {
      setLastError(ctx, "server returned empty token");
      return BNQ_ERR_NOT_FOUND;
    }
    copyCut(resp.data, token, token_len);
    ctx->last_error.clear();
    return BNQ_OK;
  } catch (...) {
    return brannic::failFromCurrentException(ctx);
  }
}

int32_t brannic_report_signal(brannic_ctx* ctx, int32_t type, const char* content_json) {
  if (ctx == nullptr) return BNQ_ERR_INVALID_ARG;
  try {
    if (content_json == nullptr) {
      setLastError(ctx, "ctx or content_json is NULL");
      return BNQ_ERR_INVALID_ARG;
    }
    if (static_cast<uint32_t>(type) >= static_cast<uint32_t>(kSignalTypeCount)) {
      char text[64];
      std::snprintf(text, sizeof text, "signal type %d out of range [0, %d)", type, kSignalTypeCount);
      setLastError(ctx, text);
      return BNQ_ERR_INVALID_ARG;
    }
    rpc_sdk::BnqResponse resp;
    const int32_t rc = roundTrip(ctx, rpc_sdk::BNQ_CMD_REPORT_SIGNAL, buildReportJson(type, content_json),
                                 kReportTimeoutMs, resp);
    if (rc != BNQ_OK) return rc;
    ctx->last_error.clear();
    return BNQ_OK;
  } catch (...) {
    return brannic::failFromCurrentException(ctx);
  }
}

int32_t brannic_trigger_signal(brannic_ctx* ctx, const char* biz_json) {
  if (ctx == nullptr) return BNQ_ERR_INVALID_ARG;
  try {
    if (biz_json == nullptr || biz_json[0] == '\0') {
      setLastError(ctx, "biz_json is NULL or empty");
      return BNQ_ERR_INVALID_ARG;
    }
    rpc_sdk::BnqResponse resp;
    const int32_t rc = roundTrip(ctx, rpc_sdk::BNQ_CMD_TRIGGER_SIGNAL, biz_json, kTriggerTimeoutMs, resp);
    if (rc != BNQ_OK) return rc;
    ctx->last_error.clear();
    return BNQ_OK;
  } catch (...) {
    return brannic::failFromCurrentException(ctx);
  }
}

int32_t brannic_check_signal(brannic_ctx* ctx, const char* request_json, char* session_id,
                             size_t session_id_len, char* signal_result, size_t signal_result_len) {
  if (ctx == nullptr) return BNQ_ERR_INVALID_ARG;
  try {
    if (request_json == nullptr || request_json[0] == '\0') {
      setLastError(ctx, "ctx or request_json is NULL or empty");
      return BNQ_ERR_INVALID_ARG;
    }
    if (session_id == nullptr || session_id_len < kMinSessionIdLen) {
      setLastError(ctx, "session_id buffer too small (must be >= 37)");
      return BNQ_ERR_INVALID_ARG;
    }
    if (signal_result == nullptr || signal_result_len == 0) {
      setLastError(ctx, "signal_result buffer is NULL or zero-size");
      return BNQ_ERR_INVALID_ARG;
    }
    std::memset(session_id, 0, session_id_len);
    std::memset(signal_result, 0, signal_result_len);

    rpc_sdk::BnqResponse resp;
    const int32_t rc = roundTrip(ctx, rpc_sdk::BNQ_CMD_CHECK_SIGNAL, request_json, kCheckTimeoutMs, resp);
    if (rc != BNQ_OK) return rc;
    if (resp.data.empty()) {
      setLastError(ctx, "server returned empty data");
      return BNQ_ERR_PROTOCOL;
    }

    Json::Value root;
    // Only an object or null can carry the two members; a member must be readable as text.
    if (!parseReply(resp.data, &root) || !(root.isObject() || root.isNull()) ||
        !isTextual(root.get("sessionId", "")) || !isTextual(root.get("signalResult", ""))) {
      setLastError(ctx, "parse response failed");
      return BNQ_ERR_PROTOCOL;
    }
    const std::string session = root.get("sessionId", "").asString();
    const std::string result = root.get("signalResult", "").asString();
    copyCut(session, session_id, session_id_len);
    copyCut(result, signal_result, signal_result_len);
    ctx->last_error.clear();
    return BNQ_OK;
  } catch (...) {
    if (session_id != nullptr && session_id_len >= kMinSessionIdLen) std::memset(session_id, 0, session_id_len);
    if (signal_result != nullptr && signal_result_len > 0) std::memset(signal_result, 0, signal_result_len);
    return brannic::failFromCurrentException(ctx);
  }
}

}  // extern "C"
