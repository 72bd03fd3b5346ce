#include "reply.h"

#include "rcf/archive.h"
#include "rcf/exception.h"
#include "wire.h"

namespace RCF {
namespace wire {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw Exception(RcfError_Deserialization, "Reply decoding error: " + what + ".");
}

ReplyOutcome decodeErrorMessage(Reader& in) {
  const std::int32_t version = in.getInt();
  if (version != 0 && version != 1) fail("unknown error message version " + std::to_string(version));
  const std::int32_t errorId = in.getInt();
  // Trailing bytes are the server's zero padding and are ignored.
  if (errorId == RcfError_VersionMismatch) {
    ReplyOutcome out;
    out.kind = ReplyOutcome::kVersionMismatch;
    out.serverRuntimeVersion = in.getInt();
    if (version == 1) out.serverArchiveVersion = in.getInt();
    return out;
  }
  if (errorId == RcfError_ServerMessageLength) {
    throw Exception(errorId, "Server-side error: the request exceeded the server's message size limit.");
  }
  throw Exception(errorId, "Server-side error message. Error id: " + std::to_string(errorId) + ".");
}

}  // namespace

ReplyOutcome decodeReply(const unsigned char* data, std::size_t size, ClientStub::ArchiveFn readResults) {
  Reader in(data, size);
  const std::int32_t descriptor = in.getInt();
  if (descriptor == kError) return decodeErrorMessage(in);
  if (descriptor == kFilteredPayload) fail("filtered payloads (transport filters) are not supported");
  if (descriptor != kResponse) fail("unexpected message descriptor " + std::to_string(descriptor));
  const std::int32_t version = in.getInt();
  if (version != kReplyMessageVersion) fail("unknown reply header version " + std::to_string(version));
  const bool isException = in.getBool();
  (void)in.getBytes();  // response user data
  if (in.getBool()) fail("SF pointer tracking is not supported");
  (void)in.getBytes();  // out-of-band response

  SF::Archive body(in.position(), in.remaining());
  ReplyOutcome out;
  if (isException) {
    // One node holding the error id and the full message text.
    struct RemoteError {
      std::int32_t id = 0;
      std::string text;
      void serialize(SF::Archive& ar) { ar & id & text; }
    } remote;
    body & remote;
    if (!body.atEnd()) fail("trailing bytes after the remote exception");
    out.kind = ReplyOutcome::kRemoteException;
    out.errorId = remote.id;
    out.message = std::move(remote.text);
    return out;
  }
  readResults.fn(readResults.context, body);
  if (!body.atEnd()) fail("trailing bytes after the results");
  return out;
}

}  // namespace wire
}  // namespace RCF
