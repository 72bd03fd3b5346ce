// The binary layout of the ".tolsec" section: SignatureData::serialize and SignatureData::deserialize.

#include <limits>
#include <stdexcept>

#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"

namespace bnq::sign {
namespace {

constexpr size_t kHeaderSize = 8;

void appendBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

uint32_t readBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

std::vector<uint8_t> SignatureData::serialize() const {
  if (signature.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("signature too long for the section layout");
  }
  const std::string text = canonicalJson(payload.toJson());
  std::vector<uint8_t> out;
  out.reserve(kHeaderSize + signature.size() + text.size());
  appendBigEndian32(out, version);
  appendBigEndian32(out, static_cast<uint32_t>(signature.size()));
  out.insert(out.end(), signature.begin(), signature.end());
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

std::optional<SignatureData> SignatureData::deserialize(const std::vector<uint8_t>& data) {
  if (data.size() < kHeaderSize) return std::nullopt;
  const uint32_t version = readBigEndian32(data.data());
  const uint32_t length = readBigEndian32(data.data() + 4);
  // Compared against what follows the header, so no sum can overflow.
  if (length > data.size() - kHeaderSize) return std::nullopt;

  SignatureData result;
  result.version = version;
  const auto signature_begin = data.begin() + static_cast<std::ptrdiff_t>(kHeaderSize);
  const auto payload_begin = signature_begin + static_cast<std::ptrdiff_t>(length);
  result.signature.assign(signature_begin, payload_begin);

  try {
    // The payload text is parsed where it lies.
    const size_t payload_offset = kHeaderSize + length;
    const std::optional<Json::Value> root =
        parseJson(reinterpret_cast<const char*>(data.data()) + payload_offset, data.size() - payload_offset);
    if (!root) return std::nullopt;
    result.payload = SignaturePayload::fromJson(*root);
  } catch (...) {
    // Whatever the reader or the conversion throws, the bytes are simply not valid signature data.
    return std::nullopt;
  }
  return result;
}

}  // namespace bnq::sign
