// RCF::Exception: the one exception type the RPC layer raises, and the error ids it carries.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_EXCEPTION_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_EXCEPTION_H_

#include <exception>
#include <string>

namespace RCF {

// Error ids. The values below 100 that the peer sends (2, 6, 25, 37, 70, 80) are the wire protocol's;
// the others name local failures of this layer.
enum RcfError : int {
  RcfError_ServerMessageLength = 2,   // the server refused a request as too long
  RcfError_ClientMessageLength = 3,   // a request or reply exceeded the message limit
  RcfError_Deserialization = 5,       // a message could not be decoded
  RcfError_AppException = 6,          // the servant raised an exception
  RcfError_UnknownBinding = 25,       // the server has no object under the binding name
  RcfError_InvalidFunctionId = 37,    // the server's interface has no such function
  RcfError_VersionMismatch = 70,      // the server speaks an older runtime version
  RcfError_PingBack = 80,             // ping-back message (not used by this layer)
  RcfError_ConnectFailed = 101,       // the socket could not be connected
  RcfError_ConnectTimeout = 102,      // connecting took longer than the connect time-out
  RcfError_CallTimeout = 103,         // the call took longer than the remote-call time-out
  RcfError_PeerDisconnect = 104,      // the peer closed the connection during the call
  RcfError_Socket = 105,              // a socket operation failed
  RcfError_NotConnected = 106,        // connection closed and automatic reconnection is off
  RcfError_Endpoint = 107,            // the endpoint cannot be used (path too long, empty, ...)
  RcfError_Protocol = 108             // the peer sent something this layer cannot accept
};

// Carries an error id and a full text; what() is that text. Raised for every failed call, local or
// remote (a remote exception carries the server's error id and message text unchanged).
class Exception : public std::exception {
 public:
  Exception(int errorId, std::string message) : errorId_(errorId), message_(std::move(message)) {}

  int getErrorId() const noexcept { return errorId_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  int errorId_;
  std::string message_;
};

}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_EXCEPTION_H_
