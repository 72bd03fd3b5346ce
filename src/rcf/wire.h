// RCF's message-level encodings, shared by the client and server sides: frame limit, the little-endian
// 32-bit form, header primitives (integers, bools, byte strings), the request and reply headers, and
// error messages.
#ifndef BRANNIC_SRC_RCF_WIRE_H_
#define BRANNIC_SRC_RCF_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace RCF {
namespace wire {

constexpr std::size_t kMaxMessageLength = 1048576;  // both directions, length prefix not counted
constexpr int kRuntimeVersion = 13;
constexpr int kOldestRuntimeVersion = 12;  // the oldest version whose request layout this layer writes
constexpr int kRequestMessageVersion = 7;
constexpr int kReplyMessageVersion = 3;
constexpr int kSerializationProtocolSfBinary = 1;
constexpr std::int32_t kBuiltInPingFunctionId = -1;

// The message descriptor, a message's first header integer. A filtered payload carries a transport
// filter's output; this layer configures no filters and refuses one.
enum Descriptor : int { kError = 0, kRequest = 1, kResponse = 2, kFilteredPayload = 3 };

// The 4-byte little-endian form of an unsigned 32-bit value: the frame's length prefix, a header
// integer after its ff byte, and an SF integer and length all use it. The caller checks that 4 bytes
// are there to read or to write.
inline std::uint32_t loadLe32(const unsigned char* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}
inline void storeLe32(char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xffu);
}

// Appends the header encodings. Integers 0..254 take one byte, anything else ff + 4 bytes LE.
void putInt(std::string& out, std::int32_t value);
void putBool(std::string& out, bool value);
void putBytes(std::string& out, const std::string& value);
// Reserves the 4-byte length prefix at the start of `frame`; finishFrame fills it in.
void startFrame(std::string& frame);
void finishFrame(std::string& frame);

// Reads header encodings from a caller-owned buffer. Every read checks the remaining length first and
// raises RCF::Exception (RcfError_Deserialization) on short or invalid input.
class Reader {
 public:
  Reader(const unsigned char* data, std::size_t size) : pos_(data), end_(data + size) {}
  std::int32_t getInt();
  bool getBool();
  std::string getBytes();
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
  const unsigned char* position() const { return pos_; }

 private:
  unsigned char byte();
  const unsigned char* pos_;
  const unsigned char* end_;
};

struct RequestHeader {
  std::int32_t messageVersion = kRequestMessageVersion;
  std::string bindingName;
  std::int32_t tokenId = 0;
  std::string subInterface;
  std::int32_t functionId = 0;
  std::int32_t serializationProtocol = kSerializationProtocolSfBinary;
  bool oneway = false;
  bool closeConnection = false;
  std::int32_t runtimeVersion = kRuntimeVersion;
  bool ignoreRuntimeVersion = false;
  std::int32_t pingBackIntervalMs = 0;
  std::int32_t archiveVersion = 0;
  std::string requestUserData;
  bool nativeWstring = false;
  bool pointerTracking = false;
  std::string outOfBandRequest;
};

// Appends descriptor 1 and the header fields.
void putRequestHeader(std::string& out, const RequestHeader& header);
// Reads the fields after the descriptor. Stops after the message version when it is above 7 (the rest is
// then of unknown layout), so callers check messageVersion first.
RequestHeader getRequestHeader(Reader& in);

// Appends descriptor 2 and the reply header.
void putReplyHeader(std::string& out, bool isException);

// Appends an error message (descriptor 0, version 1, the id, its arguments, zero padding).
void putErrorMessage(std::string& out, std::int32_t errorId, std::int32_t arg0 = 0, std::int32_t arg1 = 0);

}  // namespace wire
}  // namespace RCF

#endif  // BRANNIC_SRC_RCF_WIRE_H_
