// The records that every signature format carries, and their JSON forms.
//
// All records are plain values that own their members. toJson always succeeds and writes every key;
// fromJson builds a whole record or throws the Json::Exception that JsonCpp raises for a value it cannot
// convert (a value that is neither an object nor null, a key of a type its conversion refuses). Times are
// written as whole seconds, truncated toward zero, and read back as seconds * 10^9 (saturated at the ends
// of the nanosecond range).
//
// The members are defined by format: the JSON forms (toJson, fromJson) in records.cc, the ".tolsec"
// layout (SignatureData::serialize, SignatureData::deserialize) in signature_section.cc, and the manifest
// hash (Manifest::computeHash, polynomialHashHex) in manifest_hash.cc.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_RECORDS_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_RECORDS_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "codeSign/src/types.h"

namespace bnq::sign {

// The signer's identity and the window in which the signature counts.
struct Certificate {
  std::string skill_id;
  std::string developer;
  std::string pubkey_hash;
  TimePoint not_before{};
  TimePoint not_after{};

  Json::Value toJson() const;
  // Missing keys keep the initial values; a key that is present is converted even when it is null.
  static Certificate fromJson(const Json::Value& json);
};

// The record a signature covers. Its canonical JSON text is the signed message.
struct SignaturePayload {
  uint32_t version = 1;
  Algorithm algorithm = Algorithm::RSA_SHA256;
  TimePoint signed_at{};
  std::string binary_hash;    // lowercase hex digest of the signed content
  std::string manifest_hash;  // Manifest::computeHash of a signed directory's manifest
  Certificate certificate;

  Json::Value toJson() const;
  // "version" is read as a signed 32-bit number and stored as unsigned (-1 reads as 4294967295);
  // "algorithm" goes through stringToAlgorithm; "certificate" is read only when present.
  static SignaturePayload fromJson(const Json::Value& json);
};

// One signature with its payload: the content of the ".tolsec" section of a signed ELF file.
struct SignatureData {
  uint32_t version = 1;
  std::vector<uint8_t> signature;
  SignaturePayload payload;

  // The section content: version and signature length (both big-endian 32-bit), the signature bytes,
  // then the canonical JSON text of the payload. A signature of 2^32 bytes or more cannot be stored:
  // it throws std::length_error.
  std::vector<uint8_t> serialize() const;
  // Reads a section content back. Empty when the bytes are shorter than the header, the signature length
  // runs past the end, or the payload text is not a JSON payload (an empty text included). Only running
  // out of memory while copying throws.
  static std::optional<SignatureData> deserialize(const std::vector<uint8_t>& data);
};

// One file of a signed directory.
struct ManifestEntry {
  std::filesystem::path path;  // relative to the signed directory, kept as the text it was built from
  std::string hash;            // lowercase hex SHA-256 of the content
  uint64_t size = 0;
  TimePoint modified_time{};

  Json::Value toJson() const;
  static ManifestEntry fromJson(const Json::Value& json);
};

// The list of files of a signed directory.
struct Manifest {
  uint32_t version = 1;
  std::string manifest_version = "1.0";
  TimePoint created_at{};
  std::vector<ManifestEntry> entries;  // written in vector order

  Json::Value toJson() const;
  // "entries" is read only when it is an array; any other type of value adds no entries.
  static Manifest fromJson(const Json::Value& json);

  // 64-bit polynomial hash (h = h * 31 + byte, each byte widened as a signed 8-bit value) of the canonical
  // JSON text, as 16 lowercase hex digits.
  std::string computeHash() const;
};

// The hash step of Manifest::computeHash applied to any text: "abc" gives "0000000000017862".
std::string polynomialHashHex(const std::string& text);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_RECORDS_H_
