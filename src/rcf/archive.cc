#include "rcf/archive.h"

#include "rcf/exception.h"
#include "wire.h"

namespace SF {
namespace {

constexpr unsigned char kBegin = 0x00;
constexpr unsigned char kData = 0x01;
constexpr unsigned char kEnd = 0x02;
constexpr unsigned char kBlank = 0x03;

constexpr unsigned char kAttrId = 0x01;
constexpr unsigned char kAttrReference = 0x02;
constexpr unsigned char kAttrTypeName = 0x04;
constexpr unsigned char kAttrLabel = 0x08;

[[noreturn]] void fail(const char* what) {
  throw RCF::Exception(RCF::RcfError_Deserialization, std::string("Data deserialization error: ") + what + ".");
}

}  // namespace

Archive::Archive(std::string& out) : out_(&out) {}

Archive::Archive(const unsigned char* data, std::size_t size) : pos_(data), end_(data + size) {}

unsigned char Archive::nextByte() {
  if (pos_ == end_) fail("unexpected end of data");
  return *pos_++;
}

std::uint32_t Archive::readLe32() {
  if (end_ - pos_ < 4) fail("unexpected end of data");
  const std::uint32_t value = RCF::wire::loadLe32(pos_);
  pos_ += 4;
  return value;
}

void Archive::skip(std::size_t count) {
  if (count > static_cast<std::size_t>(end_ - pos_)) fail("unexpected end of data");
  pos_ += count;
}

// SF lengths: 0..127 in one byte, otherwise 0x80 and four bytes little-endian.
std::uint32_t Archive::readLength() {
  const unsigned char first = nextByte();
  if (first < 0x80) return first;
  if (first != 0x80) fail("invalid length");
  return readLe32();
}

void Archive::skipBlanks() {
  while (pos_ != end_ && *pos_ == kBlank) {
    ++pos_;
    skip(nextByte());
  }
}

void Archive::beginNode() {
  if (out_ != nullptr) {
    out_->push_back(static_cast<char>(kBegin));
    out_->push_back('\0');
    return;
  }
  skipBlanks();
  if (nextByte() != kBegin) fail("expected a node");
  const unsigned char attributes = nextByte();
  if ((attributes & ~(kAttrId | kAttrReference | kAttrTypeName | kAttrLabel)) != 0) fail("unknown node attributes");
  // With pointer tracking off there is nothing a reference or null node could stand for.
  if ((attributes & kAttrReference) != 0) fail("unexpected reference or null node");
  if ((attributes & kAttrId) != 0) (void)readLength();
  if ((attributes & kAttrTypeName) != 0) skip(readLength());
  if ((attributes & kAttrLabel) != 0) skip(readLength());
}

void Archive::endNode() {
  if (out_ != nullptr) {
    out_->push_back(static_cast<char>(kEnd));
    return;
  }
  skipBlanks();
  if (nextByte() != kEnd) fail("expected the end of a node");
}

std::uint32_t Archive::readUint32Node() {
  beginNode();
  if (nextByte() != kData) fail("expected a value");
  if (readLength() != 4) fail("unexpected integer size");
  const std::uint32_t v = readLe32();
  endNode();
  return v;
}

void Archive::writeUint32Node(std::uint32_t value) {
  beginNode();
  char data[6] = {static_cast<char>(kData), '\x04'};  // the data marker, SF length 4, the value
  RCF::wire::storeLe32(data + 2, value);
  out_->append(data, sizeof data);
  endNode();
}

Archive& Archive::operator&(std::int32_t& value) {
  if (out_ != nullptr) {
    writeUint32Node(static_cast<std::uint32_t>(value));
  } else {
    value = static_cast<std::int32_t>(readUint32Node());
  }
  return *this;
}

Archive& Archive::operator&(std::string& value) {
  beginNode();
  if (out_ != nullptr) {
    if (value.size() > UINT32_MAX) throw RCF::Exception(RCF::RcfError_ClientMessageLength, "String too long to serialize.");
    writeUint32Node(static_cast<std::uint32_t>(value.size()));
    out_->append(value);
  } else {
    const std::uint32_t count = readUint32Node();
    if (count > static_cast<std::size_t>(end_ - pos_)) fail("string length past the end of the data");
    value.assign(reinterpret_cast<const char*>(pos_), count);
    pos_ += count;
  }
  endNode();
  return *this;
}

}  // namespace SF
