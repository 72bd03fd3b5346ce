// The Verifier: decides whether signature data holds for the current time and for the verifier's key.
//
// Its only state is its options; every check reads them, keeps nothing, and returns its result by value,
// so one verifier can check any number of items one after another. It catches no exception.
#ifndef BNQ_SIGN_VERIFIER_H_
#define BNQ_SIGN_VERIFIER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codeSign/src/crypto.h"
#include "codeSign/src/records.h"
#include "codeSign/src/types.h"

namespace bnq::sign {

// Move-only, because the key is.
struct VerifyOptions {
  // The key that checks signatures. Empty, or a key object without an OpenSSL key: no signature check.
  std::optional<crypto::PublicKey> public_key;
  // When true, the certificate window is not tested.
  bool skip_time_check = false;
  // Carried along with the options; no check reads it.
  bool reserved_flag = false;
};

// The outcome of a check. A fresh record holds error_code UNKNOWN_ERROR (-99): no decision yet.
struct VerifyResult {
  bool is_valid = false;
  int32_t error_code = static_cast<int32_t>(ErrorCode::UNKNOWN_ERROR);
  std::string error_message;  // empty on success
  // Copied from the certificate whenever signature data was found, also when the check then fails.
  std::string skill_id;
  std::string developer;
  std::string pubkey_hash;
  TimePoint not_before{};
  TimePoint not_after{};
  // Informative flags; the verdict is is_valid and error_code.
  bool time_valid = false;         // the window was passed or skipped
  bool certificate_valid = false;  // set with time_valid
  bool not_yet_valid = false;      // the window has not begun
  bool signature_valid = false;    // the signature (and, for files, the content hash) held
  bool manifest_valid = false;     // a directory's manifest check held
  // Relative paths found by a directory check.
  std::vector<std::string> modified;
  std::vector<std::string> added;
  std::vector<std::string> removed;
};

class Verifier {
 public:
  explicit Verifier(VerifyOptions options);

  Verifier(Verifier&&) noexcept = default;
  Verifier& operator=(Verifier&&) noexcept = default;
  Verifier(const Verifier&) = delete;
  Verifier& operator=(const Verifier&) = delete;

  // Replaces the options; the key held before is freed.
  void setOptions(VerifyOptions options);

  // Checks `data` against the current system-clock time and the key. `signed_message` is the canonical JSON
  // text of data.payload.toJson(), built by the caller. Order and results:
  //   now < not_before: CERTIFICATE_NOT_YET_VALID (-10) "Certificate not yet valid";
  //   now > not_after: CERTIFICATE_EXPIRED (-9) "Certificate expired" (both ends count as inside; both
  //     tests are skipped with skip_time_check);
  //   a key that rejects the signature (checked as RSA_SHA256 whatever the payload declares):
  //     INVALID_SIGNATURE (-8) "Signature verification failed";
  //   otherwise valid with SUCCESS, also when there is no key to check with.
  VerifyResult verifySignatureData(const SignatureData& data, const std::string& signed_message);

 private:
  VerifyOptions options_;
};

}  // namespace bnq::sign

#endif  // BNQ_SIGN_VERIFIER_H_
