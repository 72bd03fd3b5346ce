// File verification: Verifier::verifyFile and the two places a file's signature data comes from, the
// ".tolsec" section of an ELF file and the detached "<file>.sig" document of any other file.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/elf_file.h"
#include "codeSign/src/internal/file_reading.h"
#include "codeSign/src/internal/signature_document.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/verifier.h"

namespace bnq::sign {
namespace {

VerifyResult failure(ErrorCode code, const char* message) {
  VerifyResult result;
  result.error_code = static_cast<int32_t>(code);
  result.error_message = message;
  return result;
}

void markChanged(VerifyResult& result) {
  result.is_valid = false;
  result.error_code = static_cast<int32_t>(ErrorCode::FILE_CHANGED);
  result.error_message = "File content has changed since signing";
  result.signature_valid = false;
}

enum class Kind { kUnreadable, kElf, kOther };

// Reads at most the first four bytes of a regular file. A file that cannot be found, a regular file or a
// directory that may not be read, and a socket (which no open reaches) cannot be opened; any other kind of
// file is never opened for reading, and is not an ELF file.
Kind kindOf(const std::filesystem::path& path) {
  const OpenedFile file(path);
  if (!file.isOpen()) return Kind::kUnreadable;
  const mode_t mode = file.status().st_mode;
  if (S_ISSOCK(mode) || ((S_ISREG(mode) || S_ISDIR(mode)) && !file.isReadable())) return Kind::kUnreadable;
  if (!file.isRegular()) return Kind::kOther;
  unsigned char magic[4] = {};
  size_t have = 0;
  while (have < sizeof magic) {
    const ssize_t n = ::read(file.fd(), magic + have, sizeof magic - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  static const unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
  return have == sizeof magic && std::memcmp(magic, kElfMagic, sizeof magic) == 0 ? Kind::kElf : Kind::kOther;
}

std::string signedMessage(const SignatureData& data) { return canonicalJson(data.payload.toJson()); }

}  // namespace

VerifyResult Verifier::verifyFile(const std::filesystem::path& path) {
  switch (kindOf(path)) {
    case Kind::kUnreadable:
      return failure(ErrorCode::IO_ERROR, "Cannot open file");
    case Kind::kOther: {
      const std::optional<SignatureData> data = loadFromSigFile(path);
      if (!data) return failure(ErrorCode::SECTION_NOT_FOUND, "No signature file found (.signed.sig)");
      return verifyNonElfFile(path, *data);
    }
    case Kind::kElf:
      break;
  }
  // A detached document beside an ELF file is never consulted.
  const std::optional<SignatureData> data = extractFromSection(path);
  if (!data) return failure(ErrorCode::SECTION_NOT_FOUND, "No signature section found");
  VerifyResult result = verifySignatureData(*data, signedMessage(*data));
  if (!result.is_valid) return result;
  // Compared also when binary_hash is empty, which therefore never passes; a hash that cannot be computed
  // ("") never passes either, even against an empty binary_hash.
  const std::string hash = computeElfContentHash(path);
  if (hash.empty() || hash != data->payload.binary_hash) markChanged(result);
  return result;
}

std::optional<SignatureData> Verifier::extractFromSection(const std::filesystem::path& path) {
  const std::optional<std::vector<uint8_t>> bytes = readSignatureSection(path);
  if (!bytes) return std::nullopt;
  return SignatureData::deserialize(*bytes);
}

std::optional<SignatureData> Verifier::loadFromSigFile(const std::filesystem::path& path) {
  std::filesystem::path document = path;
  document += ".sig";
  return readSignatureDocument(document);
}

VerifyResult Verifier::verifyNonElfFile(const std::filesystem::path& path, const SignatureData& data) {
  VerifyResult result = verifySignatureData(data, signedMessage(data));
  if (!result.is_valid || data.payload.binary_hash.empty()) return result;
  // Only a regular file is read: a FIFO or a device is never opened for reading. A file that cannot be read,
  // or that changes while it is read, gives "", which never matches the non-empty binary_hash.
  const std::string hash = crypto::computeOpenedFileHash(OpenedFile(path), HashAlgorithm::SHA256);
  if (hash != data.payload.binary_hash) markChanged(result);
  return result;
}

}  // namespace bnq::sign
