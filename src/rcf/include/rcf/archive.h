// SF::Archive: SF binary serialisation (protocol 1) of the values that records are made of.
#ifndef BRANNIC_SRC_RCF_INCLUDE_RCF_ARCHIVE_H_
#define BRANNIC_SRC_RCF_INCLUDE_RCF_ARCHIVE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace SF {

// One archive either writes (appending to a caller-owned string) or reads (from a caller-owned buffer that
// must outlive it). Records take part through a member `void serialize(SF::Archive&)` that visits their
// fields in order with `ar & field`; the same function serves both directions. Supported field types:
// std::int32_t, std::string and such records.
//
// Reading is strict about structure and tolerant of what SF allows around it (object ids, type names and
// labels announced in a node's attribute byte, blank markers). Any input that does not decode as the
// expected value raises RCF::Exception (RcfError_Deserialization); nothing is allocated beyond the size of
// the input.
class Archive {
 public:
  explicit Archive(std::string& out);
  Archive(const unsigned char* data, std::size_t size);
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  // Reading: true when every input byte has been consumed.
  bool atEnd() const { return pos_ == end_; }

  Archive& operator&(std::int32_t& value);
  Archive& operator&(std::string& value);
  template <typename Record>
  Archive& operator&(Record& record) {
    beginNode();
    record.serialize(*this);
    endNode();
    return *this;
  }

 private:
  void beginNode();
  void endNode();
  std::uint32_t readUint32Node();
  void writeUint32Node(std::uint32_t value);
  unsigned char nextByte();
  std::uint32_t readLe32();
  void skipBlanks();
  std::uint32_t readLength();
  void skip(std::size_t count);

  std::string* out_ = nullptr;
  const unsigned char* pos_ = nullptr;
  const unsigned char* end_ = nullptr;
};

}  // namespace SF

#endif  // BRANNIC_SRC_RCF_INCLUDE_RCF_ARCHIVE_H_
