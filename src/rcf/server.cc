#include "rcf/server.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <exception>
#include <typeinfo>

#include "wire.h"

namespace RCF {
namespace {

// The remote-exception body: one node with the error id and the text (runtime 13), or RCF's older layout
// (runtime 12 and below): the text, an empty context, {error id, ""}, two zero ints and an empty string.
void putRemoteException(std::string& frame, std::int32_t runtimeVersion, std::int32_t errorId, std::string text) {
  wire::putReplyHeader(frame, true);
  SF::Archive out(frame);
  if (runtimeVersion >= wire::kRuntimeVersion) {
    struct V13 {
      std::int32_t id;
      std::string text;
      void serialize(SF::Archive& ar) { ar & id & text; }
    } body{errorId, std::move(text)};
    out & body;
  } else {
    struct Error {
      std::int32_t id;
      std::string args;
      void serialize(SF::Archive& ar) { ar & id & args; }
    };
    struct V12 {
      std::string text;
      std::string context;
      Error error;
      std::int32_t subSystemError = 0;
      std::int32_t subSystem = 0;
      std::string remoteExceptionType;
      void serialize(SF::Archive& ar) { ar & text & context & error & subSystemError & subSystem & remoteExceptionType; }
    } body{std::move(text), {}, {errorId, {}}, 0, 0, {}};
    out & body;
  }
}

ServerReply replyWith(ServerReply reply, std::string frame) {
  wire::finishFrame(frame);
  reply.frame = std::move(frame);
  return reply;
}

}  // namespace

void RequestDispatcher::bind(const std::string& bindingName, std::int32_t functionId, Function function) {
  functions_[{bindingName, functionId}] = std::move(function);
}

bool RequestDispatcher::hasBinding(const std::string& bindingName) const {
  auto it = functions_.lower_bound({bindingName, INT32_MIN});
  return it != functions_.end() && it->first.first == bindingName;
}

ServerReply RequestDispatcher::handle(const unsigned char* data, std::size_t size) const {
  ServerReply reply;
  wire::Reader in(data, size);
  wire::RequestHeader header;
  try {
    if (in.getInt() != wire::kRequest) return reply;  // bad descriptor: close
    header = wire::getRequestHeader(in);
  } catch (const Exception&) {
    return reply;  // undecodable header: close
  }
  reply.headerRead = true;
  reply.bindingName = header.bindingName;
  reply.functionId = header.functionId;
  reply.runtimeVersion = header.runtimeVersion;

  std::string frame;
  wire::startFrame(frame);
  if (header.messageVersion > wire::kRequestMessageVersion || header.runtimeVersion > wire::kRuntimeVersion) {
    wire::putErrorMessage(frame, RcfError_VersionMismatch, wire::kRuntimeVersion, 0);
    reply.action = ServerReply::Action::kReply;
    return replyWith(std::move(reply), std::move(frame));
  }
  if (header.closeConnection) return reply;

  reply.action = header.oneway ? ServerReply::Action::kNoReply : ServerReply::Action::kReply;
  if (header.functionId == wire::kBuiltInPingFunctionId) {
    wire::putReplyHeader(frame, false);
    return replyWith(std::move(reply), std::move(frame));
  }
  if (!hasBinding(header.bindingName)) {
    putRemoteException(frame, header.runtimeVersion, RcfError_UnknownBinding,
                       "Server-side binding not found. Binding: " + header.bindingName + ".");
    return replyWith(std::move(reply), std::move(frame));
  }
  const auto it = functions_.find({header.bindingName, header.functionId});
  if (it == functions_.end()) {
    putRemoteException(frame, header.runtimeVersion, RcfError_InvalidFunctionId,
                       "Invalid function id. Function id: " + std::to_string(header.functionId));
    return replyWith(std::move(reply), std::move(frame));
  }

  std::string results;
  try {
    SF::Archive params(in.position(), in.remaining());
    SF::Archive out(results);
    reply.dispatched = true;
    it->second(params, out);
    if (!params.atEnd()) {
      throw Exception(RcfError_Deserialization, "Data deserialization error: unexpected bytes after the parameters.");
    }
  } catch (const Exception& e) {
    putRemoteException(frame, header.runtimeVersion, e.getErrorId(), e.what());
    return replyWith(std::move(reply), std::move(frame));
  } catch (const std::exception& e) {
    putRemoteException(frame, header.runtimeVersion, RcfError_AppException,
                       std::string("Server-side application exception. Exception type: ") + typeid(e).name() +
                           ". Exception message: '" + e.what() + "'.");
    return replyWith(std::move(reply), std::move(frame));
  }
  wire::putReplyHeader(frame, false);
  frame += results;
  return replyWith(std::move(reply), std::move(frame));
}

std::string messageTooLongFrame() {
  std::string frame;
  wire::startFrame(frame);
  wire::putErrorMessage(frame, RcfError_ServerMessageLength);
  wire::finishFrame(frame);
  return frame;
}

namespace {

constexpr int kFrameCompletionMs = 10000;

// Waits until `fd` is readable; 1 readable, 0 timed out, -1 stopped or failed.
int waitReadable(int fd, int timeoutMs, int stopFd, bool& stopped) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  const nfds_t n = stopFd >= 0 ? 2 : 1;
  for (;;) {
    const int r = ::poll(p, n, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (n == 2 && p[1].revents != 0) {
      stopped = true;
      return -1;
    }
    return 1;
  }
}

// 1 read all, 0 peer closed before the first byte, -1 failed (stop, time-out, error, closed midway).
int readExactly(int fd, unsigned char* data, std::size_t size, int firstTimeoutMs, int stopFd, bool& stopped,
                bool& timedOut) {
  std::size_t got = 0;
  int timeoutMs = firstTimeoutMs;
  while (got < size) {
    const int w = waitReadable(fd, timeoutMs, stopFd, stopped);
    if (w == 0) {
      timedOut = true;
      return -1;
    }
    if (w < 0) return -1;
    const ssize_t n = ::recv(fd, data + got, size - got, MSG_DONTWAIT);
    if (n == 0) return got == 0 ? 0 : -1;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return got == 0 && (errno == ECONNRESET) ? 0 : -1;
    }
    got += static_cast<std::size_t>(n);
    timeoutMs = kFrameCompletionMs;
  }
  return 1;
}

}  // namespace

FrameStatus readRequestFrame(int fd, std::string& body, int idleTimeoutMs, int stopFd) {
  bool stopped = false;
  bool timedOut = false;
  unsigned char prefix[4];
  const int r = readExactly(fd, prefix, 4, idleTimeoutMs, stopFd, stopped, timedOut);
  if (stopped) return FrameStatus::kStopped;
  if (r == 0) return FrameStatus::kPeerClosed;
  if (r < 0) return timedOut ? FrameStatus::kIdleTimeout : FrameStatus::kError;
  const std::size_t length = wire::loadLe32(prefix);
  if (length == 0) return FrameStatus::kZeroLength;
  if (length > wire::kMaxMessageLength) return FrameStatus::kTooLong;
  body.resize(length);
  const int b = readExactly(fd, reinterpret_cast<unsigned char*>(&body[0]), length, kFrameCompletionMs, stopFd,
                            stopped, timedOut);
  if (stopped) return FrameStatus::kStopped;
  return b == 1 ? FrameStatus::kFrame : FrameStatus::kError;
}

bool writeAll(int fd, const std::string& data, int stopFd) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
      const int r = ::poll(p, stopFd >= 0 ? 2 : 1, kFrameCompletionMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || (stopFd >= 0 && p[1].revents != 0)) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace RCF
