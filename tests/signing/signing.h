// The signing side used by the tests and by the build: makes signature data with a private key and stores
// it the three ways the library reads it (".tolsec" section, "<file>.sig", "meta-inf/" of a directory).
// Built on the library's own signing operations; every failure throws std::runtime_error with the reason.
#ifndef BRANNIC_TESTS_SIGNING_SIGNING_H_
#define BRANNIC_TESTS_SIGNING_SIGNING_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

#include "codeSign/src/crypto.h"
#include "codeSign/src/records.h"
#include "codeSign/src/sign_config.h"

namespace bnq::sign::signing {

// What goes into a payload besides the content hash.
struct SignOptions {
  Certificate certificate;                 // pubkey_hash "" is replaced by the signing key's hash
  std::optional<std::string> binary_hash;  // set: stored instead of the computed hash (may be "")
  std::optional<TimePoint> signed_at;      // unset: now
};

// A window from now - before to now + after, whole seconds.
Certificate certificateFor(const std::string& skill_id, const std::string& developer, int64_t before_seconds,
                           int64_t after_seconds);

// Payload with the given hashes, signed with `key` over its canonical JSON text.
SignatureData makeSignatureData(const crypto::PrivateKey& key, const SignOptions& options,
                                const std::string& binary_hash, const std::string& manifest_hash = "");

// The signature document {"version", "signature" (hex), "payload"} of `data`.
Json::Value signatureDocument(const SignatureData& data);
void writeJsonFile(const std::filesystem::path& path, const Json::Value& value);

// Every file written here is a new file, renamed over its target once complete: a link at the target is
// replaced, never written through, and a failure leaves the target as it was (the directory of the target
// must be writable).
//
// Copies the ELF file `in` to `out` with a ".tolsec" section holding the signature data of the copy's ELF
// content hash. objcopy first adds (or, when `in` has one, replaces) a placeholder section of the final
// size, since adding a section can renumber sections and so change the symbol table; the hash is taken
// of that copy, and the placeholder is then overwritten with the real data in place, checked to change
// nothing that is hashed. `in` and `out` may be the same file.
SignatureData signElf(const std::filesystem::path& in, const std::filesystem::path& out,
                      const crypto::PrivateKey& key, const SignOptions& options);
// Writes "<file>.sig" for the whole-file SHA-256 of `file`.
SignatureData signFile(const std::filesystem::path& file, const crypto::PrivateKey& key, const SignOptions& options);
// Writes "meta-inf/manifest.json" (ManifestGenerator under `config`) and "meta-inf/signature.json", whose
// payload carries the manifest's hash. Returns the manifest written. Refuses, before anything is written, a
// tree that could not verify as signed: one where a file that the directory check's walk lists under
// `config` has a path that is not valid UTF-8 (JSON writes it as another text) or got no manifest entry
// (it could not be read or hashed, or changed while it was signed); the message names each such path.
Manifest signDirectory(const std::filesystem::path& directory, const crypto::PrivateKey& key,
                       const SignOptions& options, const SignConfig& config);

// `text` for a message: each byte that is not part of a valid UTF-8 sequence, and each control byte, as
// \xNN, and a backslash as \\; valid UTF-8 otherwise stands as it is.
std::string printable(std::string_view text);

// Loads an unencrypted PEM private key or throws.
crypto::PrivateKey loadPrivateKey(const std::filesystem::path& pem);

}  // namespace bnq::sign::signing

#endif  // BRANNIC_TESTS_SIGNING_SIGNING_H_
