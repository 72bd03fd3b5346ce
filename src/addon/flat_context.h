// The flat interface's context and the helpers its operations share. Internal to src/addon/.
#ifndef BRANNIC_SRC_ADDON_FLAT_CONTEXT_H_
#define BRANNIC_SRC_ADDON_FLAT_CONTEXT_H_

#include <memory>
#include <string>

#include "brannic.h"
#include "rpc_service_client.h"

struct brannic_ctx {
  // Declared first so that it is destroyed last: the text goes first, then the client.
  std::unique_ptr<rpc_sdk::RpcServiceClient> client;
  std::string last_error;
};

namespace brannic {

// Replaces the context's failure text. Never throws: if the copy cannot be made, the text is emptied
// rather than left stale.
void setLastError(brannic_ctx* ctx, const char* text) noexcept;
void setLastError(brannic_ctx* ctx, const std::string& text) noexcept;

// Turns an exception that reached a flat-interface operation into a code and a context text:
// std::bad_alloc gives BNQ_ERR_NO_MEMORY "allocation failed", anything else BNQ_ERR_DAEMON_UNAVAIL
// "internal error". Call only from inside a catch block.
int32_t failFromCurrentException(brannic_ctx* ctx) noexcept;

}  // namespace brannic

#endif  // BRANNIC_SRC_ADDON_FLAT_CONTEXT_H_
