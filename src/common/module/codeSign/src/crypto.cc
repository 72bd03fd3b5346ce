#include "codeSign/src/crypto.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "codeSign/src/internal/file_reading.h"

namespace bnq::sign::crypto {
namespace {

struct FileCloser {
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A PEM key is a few KiB: a larger file is no key file, and is not read.
constexpr uint64_t kMaxKeyFileSize = uint64_t{1} << 20;

struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, detail::MdCtxFree>;

// Removes from the thread's error queue what OpenSSL pushed during one call of ours, so that a host process
// sharing libcrypto never sees our failures as its own.
class ErrorMark {
 public:
  // OpenSSL sets no mark on an empty queue; everything queued afterwards is then ours.
  ErrorMark() noexcept { marked_ = ERR_set_mark() == 1; }
  ~ErrorMark() {
    if (marked_) {
      ERR_pop_to_mark();
    } else {
      ERR_clear_error();
    }
  }
  ErrorMark(const ErrorMark&) = delete;
  ErrorMark& operator=(const ErrorMark&) = delete;

 private:
  bool marked_ = false;
};

// Refuses every pass phrase, so that an encrypted key fails to load instead of OpenSSL asking for one on
// the terminal.
int noPassphrase(char*, int, int, void*) { return -1; }

using BioReader = EVP_PKEY* (*)(BIO*);
using Bio = std::unique_ptr<BIO, BioFree>;

EVP_PKEY* readPrivateKey(BIO* bio) { return PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr); }

// The first "PUBLIC KEY" block (a SubjectPublicKeyInfo) that decodes, in text order. Blocks of every other
// type are passed over, and so is a "PUBLIC KEY" block that does not decode, as PEM_read_bio_PUBKEY does;
// unlike OpenSSL 3's PEM_read_bio_PUBKEY, this also passes over the PKCS#1 "RSA PUBLIC KEY" form.
EVP_PKEY* readSubjectPublicKeyInfo(BIO* bio) {
  struct OpenSslFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
  };
  for (;;) {
    const int start = BIO_tell(bio);
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    const int read = PEM_read_bio(bio, &name, &header, &data, &length);
    const std::unique_ptr<char, OpenSslFree> owned_name(name), owned_header(header);
    const std::unique_ptr<unsigned char, OpenSslFree> owned_data(data);
    if (read != 1) {
      // No further block; or one that could not be read, after which the search goes on as long as it
      // gets on through the text.
      if (BIO_eof(bio) || BIO_tell(bio) <= start) return nullptr;
      continue;
    }
    if (std::strcmp(name, PEM_STRING_PUBLIC) != 0) continue;
    EVP_CIPHER_INFO cipher;
    if (PEM_get_EVP_CIPHER_INFO(header, &cipher) != 1 ||
        PEM_do_header(&cipher, data, &length, noPassphrase, nullptr) != 1) {
      continue;
    }
    const unsigned char* cursor = data;
    if (EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, length)) return key;
  }
}

// Replaces the key held with the one read from `bio`; no key (INVALID_KEY) when none is read or there is
// no `bio`.
ErrorCode loadPemBio(detail::KeyOwner& owner, BIO* bio, BioReader read) {
  owner.reset();
  owner.reset(bio ? read(bio) : nullptr);
  return owner.get() ? ErrorCode::SUCCESS : ErrorCode::INVALID_KEY;
}

// The key file is read whole first, through one OpenedFile: a FIFO, a socket or a device is never opened
// for reading, and a file above the bound is not read at all; each is a file that cannot be opened. A
// directory opens and holds no bytes, hence no key.
ErrorCode loadPemFile(detail::KeyOwner& owner, const std::filesystem::path& path, BioReader read) {
  const ErrorMark mark;
  const OpenedFile file(path);
  std::optional<std::string> text;
  if (file.isReadable() && S_ISDIR(file.status().st_mode)) {
    text.emplace();
  } else if (file.isRegular() && static_cast<uint64_t>(file.status().st_size) <= kMaxKeyFileSize) {
    text = file.readAll();
  }
  if (!text) return ErrorCode::FILE_NOT_FOUND;
  const Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  const ErrorCode result = loadPemBio(owner, bio.get(), read);
  // The text may hold a private key: it is wiped before its memory is given back.
  OPENSSL_cleanse(text->data(), text->size());
  return result;
}

ErrorCode loadPemText(detail::KeyOwner& owner, const std::string& pem, BioReader read) {
  const ErrorMark mark;
  // A memory buffer takes its length as an int: over a longer text none can be made (the key is kept).
  if (pem.size() > static_cast<size_t>(INT_MAX)) return ErrorCode::OUT_OF_MEMORY;
  const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return ErrorCode::OUT_OF_MEMORY;
  return loadPemBio(owner, bio.get(), read);
}

// Opens `path` for writing, created or truncated. A private key's file is created with mode 0600 and set to
// 0600 before anything is written, so the key is never readable by others, not even for a moment.
File openForWriting(const std::filesystem::path& path, bool private_key) {
  if (!private_key) return File(std::fopen(path.c_str(), "w"));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return File();
  // Failing to set the mode (a file owned by someone else) does not stop the save.
  (void)::fchmod(fd, 0600);
  FILE* file = ::fdopen(fd, "w");
  if (!file) ::close(fd);
  return File(file);
}

template <typename Write>
ErrorCode savePem(EVP_PKEY* key, const std::filesystem::path& path, bool private_key, Write write) {
  if (!key) return ErrorCode::INVALID_KEY;
  const ErrorMark mark;
  File file = openForWriting(path, private_key);
  if (!file) return ErrorCode::IO_ERROR;
  const bool written = write(file.get(), key) == 1;
  // A failed close may mean buffered key bytes never reached the file.
  const bool closed = std::fclose(file.release()) == 0;
  return written && closed ? ErrorCode::SUCCESS : ErrorCode::IO_ERROR;
}

std::vector<uint8_t> signBytes(const uint8_t* data, size_t size, EVP_PKEY* key) {
  if (!key) return {};
  const ErrorMark mark;
  const MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return {};
  if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return {};
  if (EVP_DigestSignUpdate(ctx.get(), data, size) != 1) return {};
  size_t max_length = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &max_length) != 1) return {};
  std::vector<uint8_t> signature(max_length, 0);
  size_t length = max_length;
  if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1) return {};
  // An ECDSA signature is often shorter than the maximum OpenSSL first reports.
  signature.resize(length);
  return signature;
}

bool verifyBytes(const uint8_t* data, size_t size, const std::vector<uint8_t>& signature, EVP_PKEY* key) {
  if (!key || signature.empty()) return false;
  const ErrorMark mark;
  const MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
  if (EVP_DigestVerifyUpdate(ctx.get(), data, size) != 1) return false;
  return EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size()) == 1;
}

const EVP_MD* digestFor(HashAlgorithm algorithm) {
  return algorithm == HashAlgorithm::SHA256 ? EVP_sha256() : EVP_sha512();
}

std::string hexOf(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    hex[2 * i] = kDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return hex;
}

std::string finishDigest(EVP_MD_CTX* ctx) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) return "";
  return hexOf(digest, length);
}

std::string digestBytes(const void* data, size_t size, HashAlgorithm algorithm) {
  const ErrorMark mark;
  const MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return "";
  if (EVP_DigestInit_ex(ctx.get(), digestFor(algorithm), nullptr) != 1) return "";
  if (EVP_DigestUpdate(ctx.get(), data, size) != 1) return "";
  return finishDigest(ctx.get());
}

}  // namespace

namespace detail {

void KeyFree::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

void MdCtxFree::operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }

}  // namespace detail

ErrorCode PrivateKey::loadFromFile(const std::filesystem::path& path) {
  return loadPemFile(key_, path, readPrivateKey);
}

ErrorCode PrivateKey::loadFromString(const std::string& pem) {
  return loadPemText(key_, pem, readPrivateKey);
}

ErrorCode PrivateKey::saveToFile(const std::filesystem::path& path) const {
  return savePem(key_.get(), path, true, [](FILE* file, EVP_PKEY* key) {
    return PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
}

PrivateKey PrivateKey::generateRSA(int bits) {
  const ErrorMark mark;
  const std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  if (!ctx) return PrivateKey();
  if (EVP_PKEY_keygen_init(ctx.get()) <= 0) return PrivateKey();
  if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0) return PrivateKey();
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
    EVP_PKEY_free(key);
    return PrivateKey();
  }
  return PrivateKey(key);
}

ErrorCode PublicKey::loadFromFile(const std::filesystem::path& path) {
  return loadPemFile(key_, path, readSubjectPublicKeyInfo);
}

ErrorCode PublicKey::loadFromString(const std::string& pem) {
  return loadPemText(key_, pem, readSubjectPublicKeyInfo);
}

ErrorCode PublicKey::saveToFile(const std::filesystem::path& path) const {
  return savePem(key_.get(), path, false, [](FILE* file, EVP_PKEY* key) { return PEM_write_PUBKEY(file, key); });
}

PublicKey PublicKey::fromPrivateKey(const PrivateKey& key) {
  EVP_PKEY* shared = key.get();
  if (!shared || EVP_PKEY_up_ref(shared) != 1) return PublicKey();
  return PublicKey(shared);
}

std::string PublicKey::getHash() const {
  if (!key_.get()) return "";
  std::vector<uint8_t> der;
  {
    const ErrorMark mark;
    unsigned char* buffer = nullptr;
    const int length = i2d_PublicKey(key_.get(), &buffer);
    if (length <= 0 || !buffer) {
      OPENSSL_free(buffer);
      return "";
    }
    der.assign(buffer, buffer + length);
    OPENSSL_free(buffer);
  }
  return computeDataHash(der, HashAlgorithm::SHA256);
}

KeyPair KeyPair::generateRSA(int bits) {
  KeyPair pair;
  pair.private_key = PrivateKey::generateRSA(bits);
  pair.public_key = PublicKey::fromPrivateKey(pair.private_key);
  return pair;
}

std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const PrivateKey& key, Algorithm) {
  return signBytes(data.data(), data.size(), key.get());
}

std::vector<uint8_t> signData(const std::string& data, const PrivateKey& key, Algorithm) {
  return signBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size(), key.get());
}

bool verifySignature(const std::vector<uint8_t>& data, const std::vector<uint8_t>& signature,
                     const PublicKey& key, Algorithm) {
  return verifyBytes(data.data(), data.size(), signature, key.get());
}

bool verifySignature(const std::string& data, const std::vector<uint8_t>& signature, const PublicKey& key,
                     Algorithm) {
  return verifyBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size(), signature, key.get());
}

std::string bytesToHex(const std::vector<uint8_t>& bytes) { return hexOf(bytes.data(), bytes.size()); }

std::vector<uint8_t> hexToBytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int value = std::stoi(hex.substr(i, 2), nullptr, 16);
    bytes.push_back(static_cast<uint8_t>(value & 0xff));
  }
  return bytes;
}

std::string computeDataHash(const std::vector<uint8_t>& data, HashAlgorithm algorithm) {
  return digestBytes(data.data(), data.size(), algorithm);
}

std::string computeStringHash(const std::string& text, HashAlgorithm algorithm) {
  return digestBytes(text.data(), text.size(), algorithm);
}

std::string computeFileHash(const std::filesystem::path& path, HashAlgorithm algorithm) {
  // Opened for reading only when it is a regular file or a directory: a FIFO, a socket or a device gives ""
  // at once, unopened. A directory that may be read holds no bytes to read.
  const OpenedFile file(path);
  if (!file.isReadable()) return "";
  if (S_ISDIR(file.status().st_mode)) return DigestStream(algorithm).finish();
  return computeOpenedFileHash(file, algorithm);
}

std::string computeOpenedFileHash(const OpenedFile& file, HashAlgorithm algorithm) {
  if (!file.isRegular()) return "";
  DigestStream digest(algorithm);
  // A partial read gives no digest: a read that fails part-way, or a file that turns out shorter or longer
  // than the size its open found, gives "". So does a failed update.
  if (!file.readBlocks([&digest](const unsigned char* data, size_t size) { return digest.update(data, size); })) {
    return "";
  }
  return digest.finish();
}

DigestStream::DigestStream(HashAlgorithm algorithm) {
  const ErrorMark mark;
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), digestFor(algorithm), nullptr) == 1) ctx_ = std::move(ctx);
}

bool DigestStream::update(const void* data, size_t size) {
  if (!ctx_) return false;
  const ErrorMark mark;
  if (EVP_DigestUpdate(ctx_.get(), data, size) == 1) return true;
  ctx_.reset();
  return false;
}

std::string DigestStream::finish() {
  if (!ctx_) return "";
  const ErrorMark mark;
  const MdCtx ctx = std::move(ctx_);
  return finishDigest(ctx.get());
}

}  // namespace bnq::sign::crypto
