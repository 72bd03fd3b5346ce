// The library's only contact with OpenSSL's libcrypto: key owners, PEM files, RSA generation, SHA-256
// signatures, digests and hex text.
//
// Nothing here keeps state apart from the key objects, and nothing writes a message. Errors that OpenSSL
// queues during a call are taken off the calling thread's error queue again before the call returns; entries
// that were there before are left alone.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_CRYPTO_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_CRYPTO_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <openssl/types.h>

#include "codeSign/src/types.h"

namespace bnq::sign {
class OpenedFile;  // codeSign/src/internal/file_reading.h
}  // namespace bnq::sign

namespace bnq::sign::crypto {

namespace detail {
// The deleters of the OpenSSL objects that the classes below own (defined in crypto.cc).
struct KeyFree {
  void operator()(EVP_PKEY* key) const noexcept;
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept;
};
// Owns one reference to an OpenSSL key (null when empty). Move-only; a self-move changes nothing.
using KeyOwner = std::unique_ptr<EVP_PKEY, KeyFree>;
}  // namespace detail

// A private key. Constructing from a pointer takes over the caller's reference without raising the count.
class PrivateKey {
 public:
  PrivateKey() noexcept = default;
  explicit PrivateKey(EVP_PKEY* key) noexcept : key_(key) {}

  // Reads one unencrypted PEM private key (any form OpenSSL reads). The file is read like every file the
  // library reads (OpenedFile), and only a regular file of at most 1 MiB (decided from its size before any
  // byte is read); a directory opens and holds no bytes. SUCCESS; FILE_NOT_FOUND when the file cannot be
  // opened, is a FIFO, a socket or a device (never opened for reading), is larger than 1 MiB or cannot be
  // read whole (the key held is kept); INVALID_KEY when no key was read (the object is then empty).
  ErrorCode loadFromFile(const std::filesystem::path& path);
  // As loadFromFile, from PEM text; OUT_OF_MEMORY when no memory buffer could be made (the key is kept).
  ErrorCode loadFromString(const std::string& pem);
  // Writes the key as unencrypted PEM into a file created or truncated with mode 0600. INVALID_KEY without
  // a key (no file is touched); IO_ERROR when the file cannot be opened or written.
  ErrorCode saveToFile(const std::filesystem::path& path) const;
  // A new RSA key of `bits` bits (public exponent 65537); empty when OpenSSL refuses the size or fails.
  static PrivateKey generateRSA(int bits);

  // The key, null when empty; ownership stays with this object.
  EVP_PKEY* get() const noexcept { return key_.get(); }

 private:
  detail::KeyOwner key_;
};

// A public key; every operation uses only the public part of the key held. Same ownership rules as
// PrivateKey.
class PublicKey {
 public:
  PublicKey() noexcept = default;
  explicit PublicKey(EVP_PKEY* key) noexcept : key_(key) {}

  // Reads the first PEM "PUBLIC KEY" block (SubjectPublicKeyInfo) that decodes; blocks of other types are
  // passed over, the PKCS#1 "RSA PUBLIC KEY" form among them. Results as PrivateKey::loadFromFile: a text
  // with no such block (a private-key PEM, a PKCS#1 block alone) gives INVALID_KEY.
  ErrorCode loadFromFile(const std::filesystem::path& path);
  ErrorCode loadFromString(const std::string& pem);
  // Writes a "PUBLIC KEY" block into a file created (with the process's default mode) or truncated.
  // INVALID_KEY without a key; IO_ERROR when the file cannot be opened or written.
  ErrorCode saveToFile(const std::filesystem::path& path) const;
  // A public key sharing the private key's OpenSSL key (its reference count raised); empty when `key` is
  // empty or the count cannot be raised.
  static PublicKey fromPrivateKey(const PrivateKey& key);

  // Lowercase hex SHA-256 of the key type's own public DER form (PKCS#1 RSAPublicKey for RSA); "" without
  // a key or a DER form.
  std::string getHash() const;

  EVP_PKEY* get() const noexcept { return key_.get(); }

 private:
  detail::KeyOwner key_;
};

// Both halves of one generated key: each member holds its own reference to the same OpenSSL key, so either
// may outlive the other.
struct KeyPair {
  PrivateKey private_key;
  PublicKey public_key;

  // Both members empty when generation fails.
  static KeyPair generateRSA(int bits);
};

// Signs SHA-256 of `data` with `key`: PKCS#1 v1.5 for an RSA key, a DER ECDSA signature for an EC key.
// The digest is SHA-256 whatever `algorithm` says. Empty bytes on any failure or without a key.
std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const PrivateKey& key, Algorithm algorithm);
std::vector<uint8_t> signData(const std::string& data, const PrivateKey& key, Algorithm algorithm);

// True only when `signature` is a valid signature of SHA-256 of `data` under `key` (RSA or EC, whatever
// `algorithm` says). False without a key, with an empty signature, on a mismatch or on any failure.
bool verifySignature(const std::vector<uint8_t>& data, const std::vector<uint8_t>& signature,
                     const PublicKey& key, Algorithm algorithm);
bool verifySignature(const std::string& data, const std::vector<uint8_t>& signature, const PublicKey& key,
                     Algorithm algorithm);

// Two lowercase hex digits per byte.
std::string bytesToHex(const std::vector<uint8_t>& bytes);
// Reads the text two characters at a time (the last piece of an odd-length text is one character), each
// piece converted like std::stoi in base 16 and kept to its low 8 bits: "0A1b" gives 0a 1b, "abc" gives
// ab 0c, "1g" gives 01, "-1" gives ff. Throws std::invalid_argument for a piece without a leading hex digit.
std::vector<uint8_t> hexToBytes(const std::string& hex);

// Lowercase hex digest: SHA-256 for SHA256, SHA-512 for any other value. "" when OpenSSL fails.
std::string computeDataHash(const std::vector<uint8_t>& data, HashAlgorithm algorithm);
std::string computeStringHash(const std::string& text, HashAlgorithm algorithm);
// Digest of a file's content, streamed and never held whole. "" when the file cannot be opened or is
// neither a regular file nor a directory (a FIFO, a socket or a device gives "" at once, never opened for
// reading); a directory gives the digest of no bytes. The file is read up to the size that its open found:
// a read failure part-way, or a file that turns out shorter or longer than that, gives "" (never the
// digest of a partial read).
std::string computeFileHash(const std::filesystem::path& path, HashAlgorithm algorithm);
// Digest of the bytes of an opened file as OpenedFile::readBlocks hands them on, streamed: the one digest of
// a file's content that the checks and the manifest generator use. "" when it is not a regular file open
// for reading (a directory included), its reading fails or finds it shorter or longer than the size its
// open found (never the digest of a partial read), or the digest fails.
std::string computeOpenedFileHash(const OpenedFile& file, HashAlgorithm algorithm);

// One digest computed over bytes fed piece by piece (SHA-256 for SHA256, SHA-512 for any other value).
// Owns its OpenSSL context; move-only. A stream that could not be started, or whose update failed, stays
// failed: finish() then gives "".
class DigestStream {
 public:
  explicit DigestStream(HashAlgorithm algorithm);

  bool ok() const noexcept { return ctx_ != nullptr; }
  // Feeds `size` bytes; false (and the stream failed) when OpenSSL refuses them.
  bool update(const void* data, size_t size);
  // The lowercase hex digest of everything fed; "" when the stream failed. The stream is failed afterwards.
  std::string finish();

 private:
  std::unique_ptr<EVP_MD_CTX, detail::MdCtxFree> ctx_;
};

}  // namespace bnq::sign::crypto

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_CRYPTO_H_
