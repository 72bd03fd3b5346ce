// Context lifecycle of the flat interface: init, close, the failure texts and the code names.
#include <exception>
#include <new>
#include <string>

#include "brannic.h"
#include "flat_context.h"

namespace {

constexpr const char kSocketPath[] = "/tmp/tolvane_rpc_service.sock";
constexpr int kConnectTimeoutMs = 5000;
constexpr int kConnectRetries = 3;
constexpr int kConnectDelayMs = 1000;
constexpr const char kVersion[] = "0.2.0.1001";

// Failure text of the last brannic_init on this thread.
thread_local std::string tl_last_init_error;

void setInitError(const char* text) noexcept {
  try {
    tl_last_init_error = text;
  } catch (...) {
    tl_last_init_error.clear();
  }
}

}  // namespace

namespace brannic {

void setLastError(brannic_ctx* ctx, const char* text) noexcept {
  try {
    ctx->last_error = text;
  } catch (...) {
    ctx->last_error.clear();
  }
}

void setLastError(brannic_ctx* ctx, const std::string& text) noexcept {
  setLastError(ctx, text.c_str());
}

int32_t failFromCurrentException(brannic_ctx* ctx) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    setLastError(ctx, "allocation failed");
    return BNQ_ERR_NO_MEMORY;
  } catch (...) {
    setLastError(ctx, "internal error");
    return BNQ_ERR_DAEMON_UNAVAIL;
  }
}

}  // namespace brannic

extern "C" {

int32_t brannic_init(brannic_ctx** out) {
  if (out == nullptr) return BNQ_ERR_INVALID_ARG;
  *out = nullptr;
  tl_last_init_error.clear();

  std::unique_ptr<brannic_ctx> ctx;
  try {
    ctx.reset(new brannic_ctx());
    ctx->client.reset(new rpc_sdk::RpcServiceClient(kSocketPath));
  } catch (...) {
    setInitError("allocation failed");
    return BNQ_ERR_NO_MEMORY;
  }

  try {
    if (!ctx->client->connectWithRetry(kConnectTimeoutMs, kConnectRetries, kConnectDelayMs)) {
      tl_last_init_error = "connect failed: " + ctx->client->getLastError();
      return BNQ_ERR_DAEMON_UNAVAIL;
    }
  } catch (const std::bad_alloc&) {
    setInitError("allocation failed");
    return BNQ_ERR_NO_MEMORY;
  } catch (...) {
    setInitError("connect failed: internal error");
    return BNQ_ERR_DAEMON_UNAVAIL;
  }

  ctx->last_error.clear();
  *out = ctx.release();
  return BNQ_OK;
}

void brannic_close(brannic_ctx* ctx) {
  if (ctx == nullptr) return;
  ctx->client->disconnect();
  delete ctx;
}

const char* brannic_version(void) { return kVersion; }

const char* brannic_get_last_error(brannic_ctx* ctx) {
  if (ctx == nullptr || ctx->last_error.empty()) return nullptr;
  return ctx->last_error.c_str();
}

const char* brannic_get_init_error(void) {
  return tl_last_init_error.empty() ? nullptr : tl_last_init_error.c_str();
}

const char* bnq_error_to_string(int32_t code) {
  switch (code) {
    case BNQ_OK: return "BNQ_OK";
    case BNQ_ERR_TIMEOUT: return "BNQ_ERR_TIMEOUT";
    case BNQ_ERR_AGAIN: return "BNQ_ERR_AGAIN";
    case BNQ_ERR_CONN_RESET: return "BNQ_ERR_CONN_RESET";
    case BNQ_ERR_DAEMON_BUSY: return "BNQ_ERR_DAEMON_BUSY";
    case BNQ_ERR_INVALID_ARG: return "BNQ_ERR_INVALID_ARG";
    case BNQ_ERR_NOT_FOUND: return "BNQ_ERR_NOT_FOUND";
    case BNQ_ERR_ALREADY_EXISTS: return "BNQ_ERR_ALREADY_EXISTS";
    case BNQ_ERR_IO: return "BNQ_ERR_IO";
    case BNQ_ERR_NO_MEMORY: return "BNQ_ERR_NO_MEMORY";
    case BNQ_ERR_NOT_SUPPORTED: return "BNQ_ERR_NOT_SUPPORTED";
    case BNQ_ERR_PROTOCOL: return "BNQ_ERR_PROTOCOL";
    case BNQ_ERR_VERSION: return "BNQ_ERR_VERSION";
    case BNQ_ERR_TOO_LARGE: return "BNQ_ERR_TOO_LARGE";
    case BNQ_ERR_DAEMON_UNAVAIL: return "BNQ_ERR_DAEMON_UNAVAIL";
    case BNQ_ERR_AUTH_FAILED: return "BNQ_ERR_AUTH_FAILED";
    case BNQ_ERR_SIGN_FAILED: return "BNQ_ERR_SIGN_FAILED";
    case BNQ_ERR_VERIFY_FAILED: return "BNQ_ERR_VERIFY_FAILED";
    case BNQ_ERR_KEY_LOAD: return "BNQ_ERR_KEY_LOAD";
    case BNQ_ERR_PERMISSION: return "BNQ_ERR_PERMISSION";
    case BNQ_ERR_SESSION_INVALID: return "BNQ_ERR_SESSION_INVALID";
    default: return "BNQ_ERR_UNKNOWN";
  }
}

}  // extern "C"
