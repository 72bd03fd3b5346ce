// Result codes and algorithm enumerations of the code-signature library, with their text forms.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_TYPES_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_TYPES_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace bnq::sign {

// Result codes of the library. 0 is success, every failure is negative; UNKNOWN_ERROR (-99) in a result
// record means that no decision has been made yet.
enum class ErrorCode : int32_t {
  SUCCESS = 0,
  INVALID_ARGUMENT = -1,
  FILE_NOT_FOUND = -2,
  PERMISSION_DENIED = -3,
  IO_ERROR = -4,
  INVALID_KEY = -5,
  SIGNING_FAILED = -6,
  VERIFICATION_FAILED = -7,
  INVALID_SIGNATURE = -8,
  CERTIFICATE_EXPIRED = -9,
  CERTIFICATE_NOT_YET_VALID = -10,
  ALGORITHM_MISMATCH = -11,
  SECTION_NOT_FOUND = -12,
  CORRUPTED_DATA = -13,
  MANIFEST_MISMATCH = -14,
  FILE_CHANGED = -15,
  SECTION_ALREADY_EXISTS = -16,
  OUT_OF_MEMORY = -17,
  UNKNOWN_ERROR = -99,
};

// Static, NUL-terminated text of a code ("Unknown error code" for a value outside the enumeration).
// Never null.
const char* errorCodeToString(ErrorCode code);

// Declared signature algorithm of a payload.
enum class Algorithm : int32_t {
  RSA_SHA256 = 0,
  RSA_SHA512 = 1,
  ECDSA_SHA256 = 2,
};

// Digest selection of the hash functions.
enum class HashAlgorithm : int32_t {
  SHA256 = 0,
  SHA512 = 1,
};

// "RSA-SHA256", "RSA-SHA512", "ECDSA-SHA256", or "unknown" for any other value.
std::string algorithmToString(Algorithm algorithm);
// "SHA256", "SHA512", or "unknown" for any other value.
std::string hashAlgorithmToString(HashAlgorithm algorithm);
// Exact, case-sensitive match of the dash or underscore spelling; any other text gives RSA_SHA256.
// Never fails.
Algorithm stringToAlgorithm(const std::string& text);

// A system-clock time point counted in nanoseconds since the Unix epoch (signed 64-bit).
using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_TYPES_H_
