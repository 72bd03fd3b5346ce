// Decoding of one reply message on the client side.
#ifndef BRANNIC_SRC_RCF_REPLY_H_
#define BRANNIC_SRC_RCF_REPLY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "rcf/client_stub.h"

namespace RCF {
namespace wire {

struct ReplyOutcome {
  enum Kind { kSuccess, kRemoteException, kVersionMismatch };
  Kind kind = kSuccess;
  std::int32_t errorId = 0;       // kRemoteException
  std::string message;            // kRemoteException: the server's full text
  std::int32_t serverRuntimeVersion = 0;  // kVersionMismatch
  std::int32_t serverArchiveVersion = 0;  // kVersionMismatch
};

// Decodes a reply message (the bytes after the length prefix). For a successful reply it hands the body
// to `readResults`, which may stop early when the body ends, and then requires that every byte was used.
// Anything that is neither a reply, a remote exception nor a version mismatch (a malformed message, an
// error message such as "message too long") raises RCF::Exception.
ReplyOutcome decodeReply(const unsigned char* data, std::size_t size, ClientStub::ArchiveFn readResults);

}  // namespace wire
}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_REPLY_H_
