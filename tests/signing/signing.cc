#include "signing.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <vector>

#include <json/writer.h>

#include "codeSign/src/internal/elf_file.h"
#include "codeSign/src/internal/manifest_walk.h"
#include "codeSign/src/internal/utf8.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/manifest_generator.h"
#include "codeSign/src/verifier.h"

#ifndef BNQ_OBJCOPY
#error "BNQ_OBJCOPY must name the objcopy program"
#endif

namespace bnq::sign::signing {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// Runs a program with arguments, without a shell; throws unless it exits with 0.
void run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid failed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(argv[0] + " failed for " + argv.back());
}

// A new, empty file beside `target` (in the same directory, so that it can be renamed over it), made with
// O_EXCL under a name no other file has: nothing that was in place before is ever opened. It is removed
// again when the object goes unless put() moved it to `target`.
class FileBeside {
 public:
  explicit FileBeside(const fs::path& target) : target_(target) {
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = directory / ("." + target.filename().string() + "." + std::to_string(getpid()) + "." +
                           std::to_string(++counter) + ".tmp");
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) fail("cannot create a new file beside " + target.string() + ": " + std::strerror(errno));
  }
  ~FileBeside() {
    if (fd_ >= 0) ::close(fd_);
    if (!put_) ::unlink(path_.c_str());
  }
  FileBeside(const FileBeside&) = delete;
  FileBeside& operator=(const FileBeside&) = delete;

  const fs::path& path() const { return path_; }

  // Writes `bytes` into the file, from its start.
  void write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("cannot write " + path_.string() + ": " + std::strerror(errno));
      done += static_cast<size_t>(n);
    }
  }

  // Brings what was written (here or by another program, through the name) to the disk, and renames the file
  // over the target: whatever was there, a link included, is replaced, never written through.
  void put() {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      fail("cannot write " + path_.string() + ": " + std::strerror(error));
    }
    ::close(fd);
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
      fail("cannot rename " + path_.string() + " to " + target_.string() + ": " + std::strerror(errno));
    }
    put_ = true;
  }

 private:
  fs::path target_;
  fs::path path_;
  int fd_ = -1;
  bool put_ = false;
};

// Replaces `path` with a new file holding `bytes`; on any failure `path` stays as it was.
void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  FileBeside file(path);
  file.write(bytes);
  file.put();
}

// Throws, naming each path, unless every file that the walk lists under `config` (as the directory check
// lists the tree) has a valid UTF-8 path and an entry in `manifest`.
void expectVerifiable(const fs::path& directory, const SignConfig& config, const Manifest& manifest) {
  std::set<fs::path> entries;
  for (const ManifestEntry& entry : manifest.entries) entries.insert(entry.path);
  std::vector<fs::path> listed;
  scanWholeDirectory(config, directory, listed);
  std::string problems;
  for (const fs::path& path : listed) {
    const std::string& text = path.native();
    if (!isValidUtf8(text)) {
      problems += "\n  " + printable(text) + ": the name is not valid UTF-8";
    } else if (entries.count(path) == 0) {
      problems += "\n  " + printable(text) +
                  ": no manifest entry: the file could not be read, or changed while it was signed";
    }
  }
  if (!problems.empty()) fail("cannot sign " + printable(directory.native()) + ", it would not verify:" + problems);
}

}  // namespace

Certificate certificateFor(const std::string& skill_id, const std::string& developer, int64_t before_seconds,
                           int64_t after_seconds) {
  const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  Certificate cert;
  cert.skill_id = skill_id;
  cert.developer = developer;
  cert.not_before = TimePoint(now - std::chrono::seconds(before_seconds));
  cert.not_after = TimePoint(now + std::chrono::seconds(after_seconds));
  return cert;
}

SignatureData makeSignatureData(const crypto::PrivateKey& key, const SignOptions& options,
                                const std::string& binary_hash, const std::string& manifest_hash) {
  SignatureData data;
  data.payload.signed_at = options.signed_at.value_or(
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()));
  data.payload.binary_hash = options.binary_hash.value_or(binary_hash);
  data.payload.manifest_hash = manifest_hash;
  data.payload.certificate = options.certificate;
  if (data.payload.certificate.pubkey_hash.empty()) {
    data.payload.certificate.pubkey_hash = crypto::PublicKey::fromPrivateKey(key).getHash();
  }
  data.signature = crypto::signData(canonicalJson(data.payload.toJson()), key, data.payload.algorithm);
  if (data.signature.empty()) fail("signing failed (no usable private key)");
  return data;
}

Json::Value signatureDocument(const SignatureData& data) {
  Json::Value doc(Json::objectValue);
  doc["version"] = data.version;
  doc["signature"] = crypto::bytesToHex(data.signature);
  doc["payload"] = data.payload.toJson();
  return doc;
}

void writeJsonFile(const fs::path& path, const Json::Value& value) {
  const std::string text = canonicalJson(value) + "\n";
  writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

SignatureData signElf(const fs::path& in, const fs::path& out, const crypto::PrivateKey& key,
                      const SignOptions& options) {
  if (computeElfContentHash(in).empty()) fail(in.string() + " is not an ELF file whose sections can be read");
  SignOptions fixed = options;
  fixed.signed_at = options.signed_at.value_or(
      std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()));
  // Only the 64 hex digits of the hash differ between the placeholder's data and the final data, so both
  // serialise to the same size.
  const std::vector<uint8_t> placeholder(makeSignatureData(key, fixed, std::string(64, '0')).serialize().size(), 0);
  // objcopy writes the copy, and reads the section data, by name: both are new files of this program's own,
  // and the copy is renamed over `out` once it is complete.
  FileBeside section(out.string() + ".tolsec");
  FileBeside copy(out);
  const std::string arg = std::string(kSignatureSectionName) + "=" + section.path().string();
  section.write(placeholder);
  const bool replace = readSignatureSection(in).has_value();
  run({BNQ_OBJCOPY, replace ? "--update-section" : "--add-section", arg, in.string(), copy.path().string()});
  const std::string hash = computeElfContentHash(copy.path());
  if (hash.empty()) fail("objcopy wrote an ELF file whose sections cannot be read");
  const SignatureData data = makeSignatureData(key, fixed, hash);
  const std::vector<uint8_t> bytes = data.serialize();
  if (bytes.size() != placeholder.size()) fail("the signature data changed size");
  section.write(bytes);
  run({BNQ_OBJCOPY, "--update-section", arg, copy.path().string()});
  if (computeElfContentHash(copy.path()) != hash || readSignatureSection(copy.path()) != bytes) {
    fail("objcopy changed the hashed sections while filling in the signature");
  }
  copy.put();
  return data;
}

SignatureData signFile(const fs::path& file, const crypto::PrivateKey& key, const SignOptions& options) {
  const std::string hash = crypto::computeFileHash(file, HashAlgorithm::SHA256);
  if (hash.empty()) fail("cannot read " + file.string());
  const SignatureData data = makeSignatureData(key, options, hash);
  writeJsonFile(fs::path(file.string() + ".sig"), signatureDocument(data));
  return data;
}

Manifest signDirectory(const fs::path& directory, const crypto::PrivateKey& key, const SignOptions& options,
                       const SignConfig& config) {
  if (!fs::is_directory(directory)) fail(directory.string() + " is not a directory");
  ManifestGenerator generator(config);
  const Manifest manifest = generator.generate(directory);
  expectVerifiable(directory, config, manifest);
  const SignatureData data = makeSignatureData(key, options, options.binary_hash.value_or(""), manifest.computeHash());
  fs::create_directories(directory / "meta-inf");
  writeJsonFile(directory / "meta-inf" / "manifest.json", manifest.toJson());
  writeJsonFile(directory / "meta-inf" / "signature.json", signatureDocument(data));
  return manifest;
}

std::string printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // The shortest valid sequence starting here (a valid one has no valid proper prefix); none: a bad byte.
    size_t length = 0;
    for (size_t n = 1; n <= 4 && i + n <= text.size() && length == 0; ++n) {
      if (isValidUtf8(text.substr(i, n))) length = n;
    }
    if (byte == '\\') {
      out += "\\\\";
    } else if (length == 0 || byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
  }
  return out;
}

crypto::PrivateKey loadPrivateKey(const fs::path& pem) {
  crypto::PrivateKey key;
  if (key.loadFromFile(pem) != ErrorCode::SUCCESS) fail("cannot load the private key " + pem.string());
  return key;
}

}  // namespace bnq::sign::signing
