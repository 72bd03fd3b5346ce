// isTolvaneSign, the library's entry point: does a path (ELF file, other file or directory) carry a valid
// signature? With the JSON export of its answer.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_TOLVANE_CHECK_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_TOLVANE_CHECK_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "codeSign/src/crypto.h"
#include "codeSign/src/types.h"

namespace bnq::sign {

// The answer of isTolvaneSign. A plain record; a fresh one holds error_code -99 (no decision).
struct TolvaneCheckResult {
  bool is_valid = false;
  bool has_signature = false;  // signature data was found and examined (not for -2, -5, -12)
  int32_t error_code = static_cast<int32_t>(ErrorCode::UNKNOWN_ERROR);
  std::string error_message;
  // The identity group: filled from the certificate when has_signature or is_valid, else empty.
  std::string skill_id;
  std::string developer;
  std::string pubkey_hash;
  TimePoint signed_at{};    // the certificate's not_before
  TimePoint valid_until{};  // the certificate's not_after
  std::string algorithm;    // "RSA-SHA256" whenever the identity group is filled
  bool is_directory = false;
  // Relative paths found by a directory check.
  std::vector<std::string> modified;
  std::vector<std::string> added;
  std::vector<std::string> removed;
};

// Checks `path` with `key`, or with the built-in key (embedded_keys::PUBLIC_KEY_PEM) when `key` is empty;
// the key is consumed. A missing path (or a dangling link) gives -2 "Path does not exist: <path>"; a
// built-in key that does not load gives -5 "Failed to load embedded public key"; otherwise the verdict of
// Verifier::verify, with the certificate window always tested. A key object without an OpenSSL key makes no
// signature check. Keeps no state; any thread may call it. Catches nothing: file-system errors other than
// "not found" leave as std::filesystem::filesystem_error.
TolvaneCheckResult isTolvaneSign(const std::filesystem::path& path, std::optional<crypto::PublicKey> key);

// The result as canonical JSON text (tab indentation, keys in byte order): "is_valid", "has_signature",
// "error_code", "error_message", "is_directory" always; the identity group ("signed_at" and "valid_until"
// as whole seconds) when has_signature or is_valid; "integrity" {"added", "modified", "removed"} for a
// directory with at least one non-empty list.
std::string exportSignatureInfo(const TolvaneCheckResult& result);
// The same JSON with two-space indentation.
std::string exportSignatureInfoPretty(const TolvaneCheckResult& result);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_TOLVANE_CHECK_H_
