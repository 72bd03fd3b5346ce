// Connecting to the daemon with the Ping handshake and the peer check, retries, and requests.
#include "rpc_service_client.h"

#include <string>

#include "platform/platform.h"
#include "rpc_service_client_impl.h"
#include "server_signature_check.h"

namespace rpc_sdk {

namespace {
constexpr int kReconnectTimeoutMs = 5000;
}  // namespace

RpcServiceClientImpl::RpcServiceClientImpl(const std::string& path) : socketPath(path) {}

bool RpcServiceClientImpl::connect(int timeoutMs) {
  try {
    RCF::UnixLocalEndpoint endpoint(socketPath);
    client.reset(new RcfClient<IRpcService>(endpoint, ""));
    RCF::ClientStub& stub = client->getClientStub();
    // RCF would otherwise reopen a closed connection inside the next call, unchecked. A closed
    // connection must fail the call so that the reconnect goes through this function again.
    stub.setAutoReconnect(false);
    stub.setConnectTimeoutMs(timeoutMs);
    stub.setRemoteCallTimeoutMs(timeoutMs);
    connected = client->Ping() == "pong";
    if (!connected) {
      lastError = "unexpected Ping response";
      return false;
    }
  } catch (...) {
    connected = false;
    lastError = "connection error";
    return false;
  }

  bool accepted = false;
  try {
    accepted = validateServerAndCacheCredentials();
  } catch (...) {
    lastError = "connection error";
  }
  if (!accepted) {
    client.reset();
    connected = false;
  }
  return accepted;
}

bool RpcServiceClientImpl::tryReconnect() { return isDaemonAlive() && connect(kReconnectTimeoutMs); }

bool RpcServiceClientImpl::validateServerAndCacheCredentials() {
  if (!client) return false;
  platform::ProcessPath executable;
  try {
    auto* transport = dynamic_cast<RCF::BsdClientTransport*>(&client->getClientStub().getTransport());
    if (transport == nullptr) {
      lastError = "Not a BSD socket transport";
      return false;
    }
    const int fd = transport->getNativeHandle();
    if (fd < 0) {
      lastError = "Invalid socket handle";
      return false;
    }
    int pid = 0;
    if (!platform::peerProcessId(fd, &pid)) {
      lastError = "Failed to get peer credentials";
      return false;
    }
    // getProcessPath's lookup, kept whole: the signature step needs to know whether the text came from the
    // executable link.
    executable = platform::processPath(pid);
  } catch (...) {
    lastError = "Failed to get credentials";
    return false;
  }
  if (executable.text.empty()) {
    lastError = "server process path is empty";
    return false;
  }
  if (!serverExecutableIsSigned(executable)) {
    lastError = "server signature verification failed";
    return false;
  }
  return true;
}

RpcServiceClient::RpcServiceClient(const std::string& socketPath)
    : impl(new RpcServiceClientImpl(socketPath)) {}

RpcServiceClient::~RpcServiceClient() = default;

bool RpcServiceClient::connectWithRetry(int timeoutMs, int retries, int delayMs) {
  RpcServiceClientImpl& d = *impl;
  // retries + 1 attempts (one when retries is not positive), with a pause before each but the first.
  for (int attempt = 0;; ++attempt) {
    if (!d.isDaemonAlive()) {
      d.lastError = "daemon not running";
      return false;
    }
    if (d.connect(timeoutMs)) return true;
    if (attempt >= retries) return false;  // lastError holds the last attempt's text
    platform::pauseMs(delayMs);            // nothing when delayMs is not positive
  }
}

int RpcServiceClient::request(const BnqRequest& req, BnqResponse& resp, int timeoutMs) {
  RpcServiceClientImpl& d = *impl;
  if ((!d.connected || !d.client) && !d.tryReconnect()) {
    d.lastError = "Not connected and reconnect failed";
    return -1;
  }
  // One call with this request's time-out. The layer fills resp only from a reply that decoded whole, so
  // after a failed call the repeat sends the record as the caller prepared it.
  const auto call = [&]() -> bool {
    try {
      d.client->getClientStub().setRemoteCallTimeoutMs(timeoutMs);
      d.client->Request(req, resp);
      return true;
    } catch (...) {
      // Anything out of the call ends it the same way: the connection is no longer trusted.
      d.connected = false;
      return false;
    }
  };
  if (call()) return 0;
  d.lastError = "rpc error";
  if (!d.tryReconnect()) return -1;
  if (call()) return 0;
  d.lastError = "rpc error after reconnect";
  return -1;
}

void RpcServiceClient::disconnect() {
  impl->client.reset();
  impl->connected = false;
}

std::string RpcServiceClient::getLastError() const { return impl->lastError; }

}  // namespace rpc_sdk
