#include "codeSign/src/types.h"

namespace bnq::sign {

const char* errorCodeToString(ErrorCode code) {
  switch (code) {
    case ErrorCode::SUCCESS: return "Success";
    case ErrorCode::INVALID_ARGUMENT: return "Invalid argument";
    case ErrorCode::FILE_NOT_FOUND: return "File not found";
    case ErrorCode::PERMISSION_DENIED: return "Permission denied";
    case ErrorCode::IO_ERROR: return "I/O error";
    case ErrorCode::INVALID_KEY: return "Invalid key";
    case ErrorCode::SIGNING_FAILED: return "Signing failed";
    case ErrorCode::VERIFICATION_FAILED: return "Verification failed";
    case ErrorCode::INVALID_SIGNATURE: return "Invalid signature";
    case ErrorCode::CERTIFICATE_EXPIRED: return "Certificate expired";
    case ErrorCode::CERTIFICATE_NOT_YET_VALID: return "Certificate not yet valid";
    case ErrorCode::ALGORITHM_MISMATCH: return "Algorithm mismatch";
    case ErrorCode::SECTION_NOT_FOUND: return "Section not found";
    case ErrorCode::CORRUPTED_DATA: return "Corrupted data";
    case ErrorCode::MANIFEST_MISMATCH: return "Manifest mismatch";
    case ErrorCode::FILE_CHANGED: return "File changed";
    case ErrorCode::SECTION_ALREADY_EXISTS: return "Section already exists";
    case ErrorCode::OUT_OF_MEMORY: return "Out of memory";
    case ErrorCode::UNKNOWN_ERROR: return "Unknown error";
  }
  return "Unknown error code";
}

std::string algorithmToString(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::RSA_SHA256: return "RSA-SHA256";
    case Algorithm::RSA_SHA512: return "RSA-SHA512";
    case Algorithm::ECDSA_SHA256: return "ECDSA-SHA256";
  }
  return "unknown";
}

std::string hashAlgorithmToString(HashAlgorithm algorithm) {
  switch (algorithm) {
    case HashAlgorithm::SHA256: return "SHA256";
    case HashAlgorithm::SHA512: return "SHA512";
  }
  return "unknown";
}

Algorithm stringToAlgorithm(const std::string& text) {
  if (text == "RSA-SHA256" || text == "RSA_SHA256") return Algorithm::RSA_SHA256;
  if (text == "RSA-SHA512" || text == "RSA_SHA512") return Algorithm::RSA_SHA512;
  if (text == "ECDSA-SHA256" || text == "ECDSA_SHA256") return Algorithm::ECDSA_SHA256;
  return Algorithm::RSA_SHA256;
}

}  // namespace bnq::sign
