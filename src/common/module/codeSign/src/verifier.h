// The Verifier: decides whether signature data holds for the current time and for the verifier's key.
//
// Its only state is its options; every check reads them, keeps nothing, and returns its result by value,
// so one verifier can check any number of items one after another. It catches no exception.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_VERIFIER_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_VERIFIER_H_

#include <cstdint>
#include <filesystem>
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
  //   a key that rejects the signature (checked as RSA_SHA256 whatever the payload declares), or a key and
  //     a signed text (skill_id, developer, pubkey_hash, binary_hash, manifest_hash) that is not valid
  //     UTF-8: INVALID_SIGNATURE (-8) "Signature verification failed";
  //   otherwise valid with SUCCESS, also when there is no key to check with.
  VerifyResult verifySignatureData(const SignatureData& data, const std::string& signed_message);

  // The entry check: FILE_NOT_FOUND (-2) "Path does not exist" for a missing path (or a dangling link),
  // verifyDirectory for a directory (links followed), verifyFile for anything else.
  VerifyResult verify(const std::filesystem::path& path);

  // Checks one file, chosen by its first four bytes. An ELF file (7F 'E' 'L' 'F') needs a ".tolsec" section
  // whose payload's binary_hash equals the ELF content hash (computeElfContentHash); any other file needs a
  // detached document "<path>.sig" (verifyNonElfFile). Results: IO_ERROR (-4) "Cannot open file";
  // SECTION_NOT_FOUND (-12) "No signature section found" (ELF) or "No signature file found (.signed.sig)";
  // the failures of verifySignatureData; FILE_CHANGED (-15) "File content has changed since signing".
  VerifyResult verifyFile(const std::filesystem::path& path);
  // The signature data of an ELF file's first ".tolsec" section; empty when there is no readable, decodable
  // one (see readSignatureSection).
  std::optional<SignatureData> extractFromSection(const std::filesystem::path& path);
  // The detached document of `path` (the document itself lies at the path's text followed by ".sig").
  // Empty when it is absent or unreadable; throws std::filesystem::filesystem_error when its status cannot
  // be read for another reason than its absence.
  std::optional<SignatureData> loadFromSigFile(const std::filesystem::path& path);
  // Checks `data` against the file: the signature first, then, when binary_hash is not empty, the SHA-256 of
  // the whole file (a file that is not a regular file is never read and never matches).
  VerifyResult verifyNonElfFile(const std::filesystem::path& path, const SignatureData& data);

  // The signature document "meta-inf/signature.json" of a signed directory; as loadFromSigFile otherwise.
  std::optional<SignatureData> loadFromDirectory(const std::filesystem::path& directory);
  // Checks a signed directory: its signature document, then the tree against "meta-inf/manifest.json".
  // SECTION_NOT_FOUND (-12) "No signature found" or "Manifest not found"; the failures of
  // verifySignatureData (lists empty, nothing of the tree read); MANIFEST_MISMATCH (-14) "Manifest
  // verification failed" with the lists filled and the identity left empty. File-system errors other than
  // "not found" leave as std::filesystem::filesystem_error.
  VerifyResult verifyDirectory(const std::filesystem::path& directory);
  // Compares the tree under `directory` with `manifest`: listed files missing (removed) or with another
  // digest (modified, capital-letter hashes included), then files that a rescan with a default SignConfig
  // lists, readable or not, but the manifest does not (added). An entry whose path is absolute or empty is
  // modified, and nothing is looked up for it; entries through ".." are followed. Each file is read once
  // however many entries reach it, and each entry has its own text in the lists. manifest_valid and
  // is_valid tell whether all three lists are empty; otherwise MANIFEST_MISMATCH (-14) "Manifest
  // verification failed". A `directory` that exists but cannot be listed raises
  // std::filesystem::filesystem_error.
  VerifyResult verifyManifestIntegrity(const Manifest& manifest, const std::filesystem::path& directory);

 private:
  VerifyOptions options_;
};

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_VERIFIER_H_
