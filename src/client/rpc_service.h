// IRpcService, the daemon's remote-call interface, and its two records.
#ifndef BRANNIC_SRC_CLIENT_RPC_SERVICE_H_
#define BRANNIC_SRC_CLIENT_RPC_SERVICE_H_

#include <cstdint>
#include <string>

#include "rcf/rcf.h"

namespace rpc_sdk {

// Command numbers the addon sends in BnqRequest::command.
constexpr std::int32_t BNQ_CMD_IDENTITY_AGENT = 3;
constexpr std::int32_t BNQ_CMD_REPORT_SIGNAL = 4;
constexpr std::int32_t BNQ_CMD_TRIGGER_SIGNAL = 5;
constexpr std::int32_t BNQ_CMD_CHECK_SIGNAL = 6;

// A request: the command number and its text (as a rule JSON; may be empty).
struct BnqRequest {
  std::int32_t command = 0;
  std::string payload;

  void serialize(SF::Archive& ar) { ar & command & payload; }
};

// The daemon's answer: status 0 for success or a negative failure status, a detail text nobody reads,
// and the command's result in data. It travels to the daemon as well, so callers pass a fresh one.
struct BnqResponse {
  std::int32_t status = 0;
  std::string detail;
  std::string data;

  void serialize(SF::Archive& ar) { ar & status & detail & data; }
};

// Function id 0: Request(const BnqRequest&, BnqResponse&), id 1: Ping() -> std::string. The generated
// client is RcfClient<IRpcService>; an empty binding name binds to "IRpcService".
RCF_BEGIN(IRpcService, "IRpcService")
  RCF_METHOD_V2(void, Request, const BnqRequest&, BnqResponse&)
  RCF_METHOD_R0(std::string, Ping)
RCF_END(IRpcService)

}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_RPC_SERVICE_H_
