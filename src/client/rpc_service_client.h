// The addon's connection to the Tolvane daemon.
//
// RpcServiceClient holds one RCF client of IRpcService on the daemon's Unix-domain socket. Every
// connection it opens is checked: the daemon must look alive (socket file, pid file, process path), must
// answer Ping with "pong", and the socket's peer must be an acceptable process. It retries connecting with
// pauses, repeats a failed request once after a checked reconnect, and keeps the text of its latest
// failure. One client is used by one thread at a time; every operation blocks the caller.
#ifndef BRANNIC_SRC_CLIENT_RPC_SERVICE_CLIENT_H_
#define BRANNIC_SRC_CLIENT_RPC_SERVICE_CLIENT_H_

#include <memory>
#include <string>

#include "rpc_service.h"

namespace rpc_sdk {

class RpcServiceClientImpl;

class RpcServiceClient {
 public:
  // Takes a reference on the process-wide RCF library; connects nothing and reads no file.
  explicit RpcServiceClient(const std::string& socketPath);
  ~RpcServiceClient();

  RpcServiceClient(const RpcServiceClient&) = delete;
  RpcServiceClient& operator=(const RpcServiceClient&) = delete;

  // Liveness check, then up to retries + 1 checked connection attempts, delayMs apart, each bounded by
  // timeoutMs for connecting and again for Ping. True when connected; otherwise getLastError says why.
  bool connectWithRetry(int timeoutMs, int retries, int delayMs);

  // Sends req and fills resp from the reply (resp travels to the daemon too). Reconnects first when not
  // connected; after a failed call, makes one checked reconnect and repeats the call once. 0 when the
  // call completed, -1 otherwise.
  int request(const BnqRequest& req, BnqResponse& resp, int timeoutMs);

  // Closes the connection; a later request reconnects by itself. Keeps the last error.
  void disconnect();

  // The text of the latest failure; no success clears it.
  std::string getLastError() const;

 private:
  std::unique_ptr<RpcServiceClientImpl> impl;
};

}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_RPC_SERVICE_CLIENT_H_
