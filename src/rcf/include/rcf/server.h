// The server side of the RPC layer: request decoding, dispatch to bound functions, reply encoding, and
// frame I/O on a connected socket. It holds no sockets or threads of its own; a server program drives it.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_SERVER_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_SERVER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "rcf/archive.h"
#include "rcf/exception.h"

namespace RCF {

// What a server does with one request frame.
struct ServerReply {
  enum class Action {
    kReply,  // send `frame`, keep the connection
    kReplyThenClose,  // send `frame`, then close (message too long)
    kNoReply,  // one-way call: send nothing, keep the connection
    kClose     // close without replying (close flag, bad descriptor, undecodable header)
  };
  Action action = Action::kClose;
  std::string frame;  // the complete reply frame, length prefix included

  // From the request header, when it could be read.
  bool headerRead = false;
  std::string bindingName;
  std::int32_t functionId = 0;
  std::int32_t runtimeVersion = 0;
  bool dispatched = false;  // a bound function ran
};

// Maps (binding name, function id) to functions. A function decodes its parameters from `in` (stopping
// when `in` ends is allowed; parameters left out then keep their default values), then writes its result
// and out-parameters to `out`. It reports failure by throwing: RCF::Exception becomes a remote exception
// with that error id and text; any other std::exception becomes error 6 with RCF's
// "Server-side application exception" text. Bytes left in `in` after the function give a remote exception.
class RequestDispatcher {
 public:
  using Function = std::function<void(SF::Archive& in, SF::Archive& out)>;

  void bind(const std::string& bindingName, std::int32_t functionId, Function function);
  bool hasBinding(const std::string& bindingName) const;

  // Handles one request message (the bytes after the length prefix) the way an RCF 3.4 server does.
  ServerReply handle(const unsigned char* data, std::size_t size) const;

 private:
  std::map<std::pair<std::string, std::int32_t>, Function> functions_;
};

// The whole frame a server sends for an over-long request (error message 2) before it closes.
std::string messageTooLongFrame();

// Frame I/O for servers on a blocking or non-blocking connected socket. `stopFd` (or -1) is a descriptor
// that becomes readable when the server stops; `idleTimeoutMs` < 0 waits without limit for the first
// byte, and once a frame has begun the rest must arrive within 10 s.
enum class FrameStatus { kFrame, kPeerClosed, kZeroLength, kTooLong, kIdleTimeout, kStopped, kError };
FrameStatus readRequestFrame(int fd, std::string& body, int idleTimeoutMs, int stopFd);
// Writes all of `data` (MSG_NOSIGNAL); false when the peer is gone or `stopFd` fired.
bool writeAll(int fd, const std::string& data, int stopFd);

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_SERVER_H_
