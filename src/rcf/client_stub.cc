#include "rcf/client_stub.h"

#include "rcf/archive.h"
#include "rcf/exception.h"
#include "reply.h"
#include "wire.h"

namespace RCF {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

ClientStub::ClientStub(const Endpoint& endpoint, std::string bindingName)
    : endpoint_(endpoint.clone()), bindingName_(std::move(bindingName)), runtimeVersion_(wire::kRuntimeVersion) {}

void ClientStub::ensureConnected() {
  if (transport_.getNativeHandle() >= 0) {
    if (transport_.isAlive()) return;
    transport_.close();
  }
  if (everConnected_ && !autoReconnect_) {
    throw Exception(RcfError_NotConnected, "Connection closed and automatic reconnection is disabled.");
  }
  const auto* unixEndpoint = dynamic_cast<const UnixLocalEndpoint*>(endpoint_.get());
  if (unixEndpoint == nullptr) throw Exception(RcfError_Endpoint, "Unsupported endpoint type.");
  transport_.connect(unixEndpoint->getPath(), Clock::now() + std::chrono::milliseconds(connectTimeoutMs_));
  everConnected_ = true;
}

void ClientStub::encodeRequest(std::string& frame, std::int32_t functionId, ArchiveFn writeParams) const {
  wire::RequestHeader header;
  header.bindingName = bindingName_;
  header.functionId = functionId;
  header.runtimeVersion = runtimeVersion_;
  header.archiveVersion = archiveVersion_;
  wire::startFrame(frame);
  wire::putRequestHeader(frame, header);
  SF::Archive params(frame);
  writeParams.fn(writeParams.context, params);
  if (frame.size() - 4 > wire::kMaxMessageLength) {
    throw Exception(RcfError_ClientMessageLength, "Request of " + std::to_string(frame.size() - 4) +
                                                      " bytes exceeds the message size limit.");
  }
  wire::finishFrame(frame);
}

void ClientStub::call(std::int32_t functionId, ArchiveFn writeParams, ArchiveFn readResults) {
  wire::ReplyOutcome outcome;
  try {
    ensureConnected();
    const auto deadline = Clock::now() + std::chrono::milliseconds(remoteCallTimeoutMs_);
    std::string frame;
    std::string reply;
    bool resent = false;
    for (;;) {
      encodeRequest(frame, functionId, writeParams);
      transport_.send(frame, deadline);
      transport_.receiveFrame(reply, wire::kMaxMessageLength, deadline);
      outcome = wire::decodeReply(reinterpret_cast<const unsigned char*>(reply.data()), reply.size(), readResults);
      if (outcome.kind != wire::ReplyOutcome::kVersionMismatch) break;
      // The server speaks an older version: lower ours (for good) and resend once on this connection.
      const std::int32_t serverVersion = outcome.serverRuntimeVersion;
      if (resent || serverVersion >= runtimeVersion_ || serverVersion < wire::kOldestRuntimeVersion) {
        throw Exception(RcfError_VersionMismatch, "Version mismatch. Server runtime version: " +
                                                      std::to_string(serverVersion) + ", client runtime version: " +
                                                      std::to_string(runtimeVersion_) + ".");
      }
      runtimeVersion_ = serverVersion;
      if (outcome.serverArchiveVersion != 0) archiveVersion_ = outcome.serverArchiveVersion;
      resent = true;
    }
  } catch (...) {
    // Every local failure leaves the connection in an unknown state: drop it.
    transport_.close();
    throw;
  }
  if (outcome.kind == wire::ReplyOutcome::kRemoteException) {
    throw Exception(outcome.errorId, std::move(outcome.message));
  }
}

}  // namespace RCF
