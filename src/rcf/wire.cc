#include "wire.h"

#include "rcf/exception.h"

namespace RCF {
namespace wire {
namespace {

[[noreturn]] void fail(const char* what) {
  throw Exception(RcfError_Deserialization, std::string("Message decoding error: ") + what + ".");
}

}  // namespace

void putInt(std::string& out, std::int32_t value) {
  if (value >= 0 && value < 255) {
    out.push_back(static_cast<char>(value));
    return;
  }
  char le[5] = {'\xff'};
  storeLe32(le + 1, static_cast<std::uint32_t>(value));
  out.append(le, sizeof le);
}

void putBool(std::string& out, bool value) { out.push_back(value ? '\x01' : '\x00'); }

void putBytes(std::string& out, const std::string& value) {
  putInt(out, static_cast<std::int32_t>(value.size()));
  out += value;
}

void startFrame(std::string& frame) {
  frame.clear();
  frame.append(4, '\0');
}

void finishFrame(std::string& frame) {
  storeLe32(&frame[0], static_cast<std::uint32_t>(frame.size() - 4));
}

unsigned char Reader::byte() {
  if (pos_ == end_) fail("unexpected end of header");
  return *pos_++;
}

std::int32_t Reader::getInt() {
  const unsigned char first = byte();
  if (first != 0xff) return first;
  if (remaining() < 4) fail("unexpected end of header");
  const std::uint32_t u = loadLe32(pos_);
  pos_ += 4;
  return static_cast<std::int32_t>(u);
}

bool Reader::getBool() {
  const unsigned char b = byte();
  if (b > 1) fail("invalid boolean");
  return b == 1;
}

std::string Reader::getBytes() {
  const std::int32_t n = getInt();
  if (n < 0 || static_cast<std::size_t>(n) > remaining()) fail("byte string length out of range");
  std::string s(reinterpret_cast<const char*>(pos_), static_cast<std::size_t>(n));
  pos_ += n;
  return s;
}

void putRequestHeader(std::string& out, const RequestHeader& h) {
  putInt(out, kRequest);
  putInt(out, h.messageVersion);
  putBytes(out, h.bindingName);
  putInt(out, h.tokenId);
  putBytes(out, h.subInterface);
  putInt(out, h.functionId);
  putInt(out, h.serializationProtocol);
  putBool(out, h.oneway);
  putBool(out, h.closeConnection);
  putInt(out, h.runtimeVersion);
  putBool(out, h.ignoreRuntimeVersion);
  putInt(out, h.pingBackIntervalMs);
  putInt(out, h.archiveVersion);
  putBytes(out, h.requestUserData);
  putBool(out, h.nativeWstring);
  putBool(out, h.pointerTracking);
  putBytes(out, h.outOfBandRequest);
}

RequestHeader getRequestHeader(Reader& in) {
  RequestHeader h;
  h.messageVersion = in.getInt();
  if (h.messageVersion > kRequestMessageVersion) return h;
  h.bindingName = in.getBytes();
  h.tokenId = in.getInt();
  h.subInterface = in.getBytes();
  h.functionId = in.getInt();
  h.serializationProtocol = in.getInt();
  h.oneway = in.getBool();
  h.closeConnection = in.getBool();
  h.runtimeVersion = in.getInt();
  h.ignoreRuntimeVersion = in.getBool();
  h.pingBackIntervalMs = in.getInt();
  h.archiveVersion = in.getInt();
  h.requestUserData = in.getBytes();
  h.nativeWstring = in.getBool();
  h.pointerTracking = in.getBool();
  h.outOfBandRequest = in.getBytes();
  return h;
}

void putReplyHeader(std::string& out, bool isException) {
  putInt(out, kResponse);
  putInt(out, kReplyMessageVersion);
  putBool(out, isException);
  putBytes(out, std::string());  // response user data
  putBool(out, false);           // SF pointer tracking
  putBytes(out, std::string());  // out-of-band response
}

void putErrorMessage(std::string& out, std::int32_t errorId, std::int32_t arg0, std::int32_t arg1) {
  const std::size_t start = out.size();
  putInt(out, kError);
  putInt(out, 1);
  putInt(out, errorId);
  if (errorId == RcfError_VersionMismatch || errorId == RcfError_PingBack) {
    putInt(out, arg0);
    putInt(out, arg1);
  }
  // The server pads error messages with zero bytes (readers ignore them); 10 bytes as in RCF's own.
  if (out.size() - start < 10) out.append(10 - (out.size() - start), '\0');
}

}  // namespace wire
}  // namespace RCF
