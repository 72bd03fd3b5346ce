// RCF::ClientStub: the connection, time-outs and call machinery behind a generated client.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_STUB_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_STUB_H_

#include <cstdint>
#include <memory>
#include <string>

#include "rcf/client_transport.h"
#include "rcf/endpoint.h"

namespace SF {
class Archive;
}

namespace RCF {

// One synchronous two-way call at a time. The first call connects (bounded by the connect time-out); each
// call's send and whole reply are bounded by the remote-call time-out. Defaults: 2000 ms and 10000 ms.
//
// Automatic reconnection is on by default and switched with setAutoReconnect(bool). On: before each call
// on a stub that was connected, the socket is tested, and if the peer closed it the call connects afresh
// to the same endpoint. Off: only the first connection is made by the stub; once connected, a call finding
// the connection closed (by the peer, or by an earlier local failure) raises RCF::Exception
// (RcfError_NotConnected) before anything is sent. A call is never replayed after its request was sent.
//
// Failures raise RCF::Exception. A local failure (connect, time-out, disconnection, an undecodable or too
// long message) closes the socket; a remote exception leaves the connection open. After a version mismatch
// the stub lowers its runtime version, resends once on the same connection, and keeps the lower version.
class ClientStub {
 public:
  ClientStub(const Endpoint& endpoint, std::string bindingName);
  ClientStub(const ClientStub&) = delete;
  ClientStub& operator=(const ClientStub&) = delete;

  // Time-outs in milliseconds; a negative value counts as 0 (the operation fails unless it completes at once).
  void setConnectTimeoutMs(int timeoutMs) { connectTimeoutMs_ = timeoutMs < 0 ? 0 : timeoutMs; }
  int getConnectTimeoutMs() const { return connectTimeoutMs_; }
  void setRemoteCallTimeoutMs(int timeoutMs) { remoteCallTimeoutMs_ = timeoutMs < 0 ? 0 : timeoutMs; }
  int getRemoteCallTimeoutMs() const { return remoteCallTimeoutMs_; }
  void setAutoReconnect(bool autoReconnect) { autoReconnect_ = autoReconnect; }
  bool getAutoReconnect() const { return autoReconnect_; }
  int getRuntimeVersion() const { return runtimeVersion_; }

  // The stub's transport; its native handle is -1 until the first connection.
  ClientTransport& getTransport() { return transport_; }

  // For generated stubs: runs one call of `functionId`. `writeParams` appends the request parameters;
  // `readResults` decodes the reply body of a successful call (it may stop early when the body ends).
  struct ArchiveFn {
    void* context;
    void (*fn)(void* context, SF::Archive& ar);
  };
  void call(std::int32_t functionId, ArchiveFn writeParams, ArchiveFn readResults);

 private:
  void ensureConnected();
  void encodeRequest(std::string& frame, std::int32_t functionId, ArchiveFn writeParams) const;

  std::unique_ptr<Endpoint> endpoint_;
  std::string bindingName_;
  int connectTimeoutMs_ = 2000;
  int remoteCallTimeoutMs_ = 10000;
  bool autoReconnect_ = true;
  bool everConnected_ = false;
  int runtimeVersion_;
  int archiveVersion_ = 0;
  BsdClientTransport transport_;
};

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_CLIENT_STUB_H_
