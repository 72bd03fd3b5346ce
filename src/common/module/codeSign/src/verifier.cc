#include "codeSign/src/verifier.h"

#include <chrono>
#include <filesystem>
#include <utility>

#include "codeSign/src/internal/utf8.h"

namespace bnq::sign {
namespace {

// The canonical JSON text writes some different invalid UTF-8 texts alike (see isValidUtf8), so a signature
// over it holds for the signed payload's texts only when they are all valid UTF-8.
bool signedTextsAreUtf8(const SignaturePayload& payload) {
  const Certificate& cert = payload.certificate;
  return isValidUtf8(cert.skill_id) && isValidUtf8(cert.developer) && isValidUtf8(cert.pubkey_hash) &&
         isValidUtf8(payload.binary_hash) && isValidUtf8(payload.manifest_hash);
}

}  // namespace

Verifier::Verifier(VerifyOptions options) : options_(std::move(options)) {}

void Verifier::setOptions(VerifyOptions options) { options_ = std::move(options); }

VerifyResult Verifier::verifySignatureData(const SignatureData& data, const std::string& signed_message) {
  VerifyResult result;
  const Certificate& cert = data.payload.certificate;
  result.skill_id = cert.skill_id;
  result.developer = cert.developer;
  result.pubkey_hash = cert.pubkey_hash;
  result.not_before = cert.not_before;
  result.not_after = cert.not_after;

  const TimePoint now = std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  if (!options_.skip_time_check) {
    if (now < cert.not_before) {
      result.error_code = static_cast<int32_t>(ErrorCode::CERTIFICATE_NOT_YET_VALID);
      result.error_message = "Certificate not yet valid";
      result.not_yet_valid = true;
      return result;
    }
    if (now > cert.not_after) {
      result.error_code = static_cast<int32_t>(ErrorCode::CERTIFICATE_EXPIRED);
      result.error_message = "Certificate expired";
      result.certificate_valid = false;
      return result;
    }
  }
  result.not_yet_valid = false;
  result.time_valid = true;
  result.certificate_valid = true;

  if (options_.public_key && options_.public_key->get() != nullptr &&
      (!signedTextsAreUtf8(data.payload) ||
       !crypto::verifySignature(signed_message, data.signature, *options_.public_key, Algorithm::RSA_SHA256))) {
    result.error_code = static_cast<int32_t>(ErrorCode::INVALID_SIGNATURE);
    result.error_message = "Signature verification failed";
    result.signature_valid = false;
    return result;
  }
  result.signature_valid = true;
  result.is_valid = true;
  result.error_code = static_cast<int32_t>(ErrorCode::SUCCESS);
  return result;
}

VerifyResult Verifier::verify(const std::filesystem::path& path) {
  if (!std::filesystem::exists(std::filesystem::status(path))) {
    VerifyResult result;
    result.error_code = static_cast<int32_t>(ErrorCode::FILE_NOT_FOUND);
    result.error_message = "Path does not exist";
    return result;
  }
  return std::filesystem::is_directory(std::filesystem::status(path)) ? verifyDirectory(path) : verifyFile(path);
}

}  // namespace bnq::sign
