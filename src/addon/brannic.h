// The flat interface between the Node-API module and the daemon client.
//
// Plain functions over plain values: NUL-terminated UTF-8 texts, caller-owned buffers with their sizes,
// and 32-bit result codes (0 or a negative BNQ_ERR_* value). A context holds one connection to the
// daemon and the text of its last failure. A context is used by one thread at a time; separate contexts
// may live on separate threads. No function here throws.
#ifndef BRANNIC_SRC_ADDON_BRANNIC_H_
#define BRANNIC_SRC_ADDON_BRANNIC_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  BNQ_OK = 0,
  BNQ_ERR_TIMEOUT = -1,
  BNQ_ERR_AGAIN = -2,
  BNQ_ERR_CONN_RESET = -3,
  BNQ_ERR_DAEMON_BUSY = -4,
  BNQ_ERR_INVALID_ARG = -10,
  BNQ_ERR_NOT_FOUND = -11,
  BNQ_ERR_ALREADY_EXISTS = -12,
  BNQ_ERR_IO = -13,
  BNQ_ERR_NO_MEMORY = -14,
  BNQ_ERR_NOT_SUPPORTED = -15,
  BNQ_ERR_PROTOCOL = -16,
  BNQ_ERR_VERSION = -17,
  BNQ_ERR_TOO_LARGE = -18,
  BNQ_ERR_DAEMON_UNAVAIL = -19,
  BNQ_ERR_AUTH_FAILED = -30,
  BNQ_ERR_SIGN_FAILED = -31,
  BNQ_ERR_VERIFY_FAILED = -32,
  BNQ_ERR_KEY_LOAD = -33,
  BNQ_ERR_PERMISSION = -34,
  BNQ_ERR_SESSION_INVALID = -35,
};

typedef struct brannic_ctx brannic_ctx;

// Creates a context and connects it to the daemon (liveness check, then up to four attempts 1000 ms
// apart). On 0, *out holds the new context, owned by the caller until brannic_close. On failure *out is
// null (a null out is refused with BNQ_ERR_INVALID_ARG and left alone) and the calling thread's init text
// says why: -14 "allocation failed", -19 "connect failed: " plus the client's last error.
int32_t brannic_init(brannic_ctx** out);

// Disconnects and destroys a context. Null is allowed and does nothing. Call once per context.
void brannic_close(brannic_ctx* ctx);

// Sends command 4 with the compact JSON {"content": <text cut to 8192 bytes>, "type": <type>}.
// type must lie in 0..8.
int32_t brannic_report_signal(brannic_ctx* ctx, int32_t type, const char* content_json);

// Sends command 5 with biz_json unchanged; biz_json must be non-empty.
int32_t brannic_trigger_signal(brannic_ctx* ctx, const char* biz_json);

// Sends command 6 with request_json unchanged and writes the reply's "sessionId" and "signalResult"
// texts into the caller's buffers (session_id_len >= 37, signal_result_len >= 1), cut to fit and
// NUL-terminated. After an argument failure the buffers are untouched; after any later failure they are
// all zeros.
int32_t brannic_check_signal(brannic_ctx* ctx, const char* request_json, char* session_id,
                             size_t session_id_len, char* signal_result, size_t signal_result_len);

// Sends command 3 with agent_json (null sends an empty payload) and writes the returned token into
// token (token_len >= 65), cut to fit and NUL-terminated. The same buffer rules as the check apply.
int32_t brannic_identity_agent(brannic_ctx* ctx, const char* agent_json, char* token, size_t token_len);

// The static version text "0.2.0.1001".
const char* brannic_version(void);

// The context's last failure text, or null for a null context or when there is none. The text lives
// in the context until the next operation on it.
const char* brannic_get_last_error(brannic_ctx* ctx);

// The calling thread's text of its last failed brannic_init, or null when there is none.
const char* brannic_get_init_error(void);

// The name of a result code ("BNQ_OK", "BNQ_ERR_TIMEOUT", ...), "BNQ_ERR_UNKNOWN" for any other value.
const char* bnq_error_to_string(int32_t code);

#ifdef __cplusplus
}
#endif

#endif  // BRANNIC_SRC_ADDON_BRANNIC_H_
