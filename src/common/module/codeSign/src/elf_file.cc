#include "codeSign/src/elf_file.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "codeSign/src/crypto.h"

namespace bnq::sign {
namespace {

// libelf refuses every descriptor until its working version is set. It is a process-wide setting, so it is
// set once, on first use, under the guarantee of a function-local static.
bool libelfReady() {
  static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
  return ready;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

struct ElfEnd {
  void operator()(Elf* elf) const noexcept { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfEnd>;

// One ELF file opened for reading. The descriptor outlives the ELF handle (members are destroyed in reverse
// order), since libelf reads section data from it on demand.
class ElfReader {
 public:
  // Opens `path`; ok() tells whether the file is a regular file that libelf reads as ELF with a
  // section-name table index.
  explicit ElfReader(const std::filesystem::path& path)
      // O_NONBLOCK keeps a FIFO from blocking the open; such a file is refused below anyway.
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    if (fd_.get() < 0 || !libelfReady()) return;
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return;
    file_size_ = static_cast<uint64_t>(st.st_size);
    elf_.reset(elf_begin(fd_.get(), ELF_C_READ, nullptr));
    if (!elf_ || elf_kind(elf_.get()) != ELF_K_ELF) return;
    if (elf_getshdrstrndx(elf_.get(), &shstrndx_) != 0) return;
    size_t ident_size = 0;
    const char* ident = elf_getident(elf_.get(), &ident_size);
    if (ident == nullptr || ident_size < EI_NIDENT) return;
    host_byte_order_ = ident[EI_DATA] == kHostData;
    ok_ = true;
  }

  bool ok() const noexcept { return ok_; }
  Elf* elf() const noexcept { return elf_.get(); }
  int fd() const noexcept { return fd_.get(); }
  uint64_t fileSize() const noexcept { return file_size_; }
  bool hostByteOrder() const noexcept { return host_byte_order_; }
  // The name of the section with this header, or null when the section-name table does not resolve it.
  const char* nameOf(const GElf_Shdr& header) const { return elf_strptr(elf_.get(), shstrndx_, header.sh_name); }
  // Releases the ELF handle early; the descriptor stays open.
  void releaseElf() noexcept { elf_.reset(); }

 private:
  Descriptor fd_;
  ElfHandle elf_;
  size_t shstrndx_ = 0;
  uint64_t file_size_ = 0;
  bool host_byte_order_ = false;
  bool ok_ = false;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  static constexpr char kHostData = ELFDATA2LSB;
#else
  static constexpr char kHostData = ELFDATA2MSB;
#endif
};

// Reads exactly `size` bytes at `offset`; false on an error or an early end of file.
bool readFully(int fd, uint8_t* buffer, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Sections of this size and more are streamed from the file rather than taken whole from libelf.
constexpr uint64_t kStreamThreshold = uint64_t{1} << 20;

// For a plain section of bytes (SHT_PROGBITS, not compressed) in a file of the host's byte order, libelf
// delivers the bytes exactly as stored, once it has checked that they lie inside the file, in one buffer
// of the section's size. A large one is instead read straight from the file through a small buffer: the
// same bytes, without a copy of the whole section.
bool streamFromFile(const ElfReader& reader, const GElf_Shdr& header) {
  return reader.hostByteOrder() && header.sh_type == SHT_PROGBITS && (header.sh_flags & SHF_COMPRESSED) == 0 &&
         header.sh_size >= kStreamThreshold;
}

// Feeds the section's bytes from the file; false when they do not lie inside the file or cannot be read
// (where libelf would fail too).
bool hashFromFile(const ElfReader& reader, const GElf_Shdr& header, crypto::DigestStream& digest) {
  const uint64_t offset = header.sh_offset;
  const uint64_t size = header.sh_size;
  if (offset > reader.fileSize() || size > reader.fileSize() - offset) return false;
  constexpr size_t kChunk = 256 * 1024;
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kChunk]);
  for (uint64_t done = 0; done < size;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
    if (!readFully(reader.fd(), buffer.get(), piece, offset + done) || !digest.update(buffer.get(), piece)) {
      return false;
    }
    done += piece;
  }
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> readSignatureSection(const std::filesystem::path& path) {
  ElfReader reader(path);
  if (!reader.ok()) return std::nullopt;

  bool found = false;
  GElf_Shdr header{};
  for (Elf_Scn* scn = elf_nextscn(reader.elf(), nullptr); scn != nullptr; scn = elf_nextscn(reader.elf(), scn)) {
    if (gelf_getshdr(scn, &header) == nullptr) continue;
    const char* name = reader.nameOf(header);
    if (name != nullptr && std::strcmp(name, kSignatureSectionName) == 0) {
      found = true;
      break;
    }
  }
  reader.releaseElf();
  if (!found) return std::nullopt;

  const uint64_t size = header.sh_size;
  const uint64_t offset = header.sh_offset;
  const uint64_t file_size = reader.fileSize();
  // The header is the file's word: check it against the file before allocating (no sum that could overflow).
  if (size == 0 || size > kMaxSignatureSectionSize || offset > file_size || size > file_size - offset) {
    return std::nullopt;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(size));
  if (!readFully(reader.fd(), buffer.data(), buffer.size(), offset)) return std::nullopt;
  return buffer;
}

std::string computeElfContentHash(const std::filesystem::path& path) {
  ElfReader reader(path);
  if (!reader.ok()) return "";
  crypto::DigestStream digest(HashAlgorithm::SHA256);
  if (!digest.ok()) return "";

  GElf_Shdr header{};
  for (Elf_Scn* scn = elf_nextscn(reader.elf(), nullptr); scn != nullptr; scn = elf_nextscn(reader.elf(), scn)) {
    if (gelf_getshdr(scn, &header) == nullptr) continue;
    const char* name = reader.nameOf(header);
    if (name != nullptr) {
      if (std::strcmp(name, kSignatureSectionName) == 0 || std::strcmp(name, ".shstrtab") == 0) continue;
      if (!digest.update(name, std::strlen(name) + 1)) return "";
    }
    if (streamFromFile(reader, header)) {
      if (!hashFromFile(reader, header, digest)) return "";
      continue;
    }
    // elf_getdata gives null both at the end and on failure; only the error number tells them apart.
    (void)elf_errno();
    Elf_Data* data = nullptr;
    while ((data = elf_getdata(scn, data)) != nullptr) {
      if (data->d_buf != nullptr && data->d_size != 0 && !digest.update(data->d_buf, data->d_size)) return "";
    }
    if (elf_errno() != 0) return "";
  }
  return digest.finish();
}

}  // namespace bnq::sign
