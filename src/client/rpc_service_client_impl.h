// The state behind RpcServiceClient. Internal to src/client/.
#ifndef BRANNIC_SRC_CLIENT_RPC_SERVICE_CLIENT_IMPL_H_
#define BRANNIC_SRC_CLIENT_RPC_SERVICE_CLIENT_IMPL_H_

#include <rcf/rcf.h>

#include <memory>
#include <string>

#include "rpc_service.h"

namespace rpc_sdk {

class RpcServiceClientImpl {
 public:
  explicit RpcServiceClientImpl(const std::string& path);

  // The daemon looks alive: the socket path is a socket and a pid file names a live process whose
  // executable path contains "Tolvane". Reads files only; never throws.
  bool isDaemonAlive() const;

  // The executable path of a process, or "" when it cannot be found.
  static std::string getProcessPath(int pid);

  // One checked connection attempt: a new client object, Ping must answer "pong", then the peer check.
  // False with lastError set on any failure.
  bool connect(int timeoutMs);

  // isDaemonAlive() && connect(5000).
  bool tryReconnect();

  // The peer check of the latest client object. False with lastError set when the peer is refused.
  bool validateServerAndCacheCredentials();

  // Declared in this order so that the RCF reference is taken first and released last.
  RCF::RcfInit rcfInit;
  std::string socketPath;
  bool connected = false;
  std::string lastError;
  std::unique_ptr<RcfClient<IRpcService>> client;
};

}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_RPC_SERVICE_CLIENT_IMPL_H_
