#include "codeSign/src/internal/elf_file.h"

#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/file_reading.h"

namespace bnq::sign {
namespace {

// libelf refuses every descriptor until its working version is set. It is a process-wide setting, so it is
// set once, on first use, under the guarantee of a function-local static.
bool libelfReady() {
  static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
  return ready;
}

struct ElfEnd {
  void operator()(Elf* elf) const noexcept { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfEnd>;

// One ELF file opened for reading. The descriptor outlives the ELF handle (members are destroyed in reverse
// order), since libelf reads section data from it on demand.
class ElfReader {
 public:
  // Opens `path`; ok() tells whether the file is a regular file that libelf reads as ELF with a
  // section-name table index, and whose name table looks names up cheaply (see nameTableIsPlain).
  explicit ElfReader(const std::filesystem::path& path) : file_(path) {
    // The open does not block on a FIFO; such a file is refused here, as is any other that is not regular.
    if (!file_.isRegular() || file_.status().st_size < 0 || !libelfReady()) return;
    file_size_ = static_cast<uint64_t>(file_.status().st_size);
    elf_.reset(elf_begin(file_.fd(), ELF_C_READ, nullptr));
    if (!elf_ || elf_kind(elf_.get()) != ELF_K_ELF) return;
    if (elf_getshdrstrndx(elf_.get(), &shstrndx_) != 0) return;
    ok_ = nameTableIsPlain();
  }

  bool ok() const noexcept { return ok_; }
  Elf* elf() const noexcept { return elf_.get(); }
  const OpenedFile& file() const noexcept { return file_; }
  uint64_t fileSize() const noexcept { return file_size_; }
  // The name of the section with this header, or null when the section-name table does not resolve it.
  const char* nameOf(const GElf_Shdr& header) const { return elf_strptr(elf_.get(), shstrndx_, header.sh_name); }
  // Releases the ELF handle early; the descriptor stays open.
  void releaseElf() noexcept { elf_.reset(); }

 private:
  // Whether the section-name table is stored plainly and ends with a NUL, as every genuine one does. A
  // name lookup decompresses a compressed table whole (up to a thousand times its stored size), and
  // checks each name by scanning back from the table's end to its last NUL, so that trailing bytes without
  // one would be scanned once per section header. A name table that is not a string table, or whose bytes
  // libelf cannot load, resolves no name at all and costs nothing.
  bool nameTableIsPlain() const {
    Elf_Scn* scn = elf_getscn(elf_.get(), shstrndx_);
    GElf_Shdr header{};
    if (scn == nullptr || gelf_getshdr(scn, &header) == nullptr || header.sh_type != SHT_STRTAB) return true;
    if ((header.sh_flags & SHF_COMPRESSED) != 0) return false;
    if (header.sh_size == 0) return true;
    // The same bytes that the lookups use: libelf loads them once and keeps them.
    const Elf_Data* data = elf_rawdata(scn, nullptr);
    if (data == nullptr || data->d_buf == nullptr || data->d_size == 0) return true;
    return static_cast<const char*>(data->d_buf)[data->d_size - 1] == '\0';
  }

  OpenedFile file_;
  ElfHandle elf_;
  size_t shstrndx_ = 0;
  uint64_t file_size_ = 0;
  bool ok_ = false;
};

// Plain bytes (SHT_PROGBITS, not compressed) are delivered by libelf exactly as stored, whatever the
// file's byte order, once it has checked that they lie inside the file. They are read straight from the
// file through one small buffer instead, so that libelf keeps no copy of them. Every other section (tables
// that libelf turns into the host's byte order, compressed sections with their header) comes through
// elf_getdata, which keeps what it delivers until the ELF handle is released.
bool streamFromFile(const GElf_Shdr& header) {
  return header.sh_type == SHT_PROGBITS && (header.sh_flags & SHF_COMPRESSED) == 0;
}

constexpr size_t kReadChunk = 256 * 1024;

// Feeds the section's bytes from the file through `buffer` (kReadChunk bytes); false when they do not lie
// inside the file or cannot be read (where libelf would fail too).
bool hashFromFile(const ElfReader& reader, const GElf_Shdr& header, uint8_t* buffer, crypto::DigestStream& digest) {
  const uint64_t offset = header.sh_offset;
  const uint64_t size = header.sh_size;
  if (offset > reader.fileSize() || size > reader.fileSize() - offset) return false;
  for (uint64_t done = 0; done < size;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - done));
    if (!reader.file().readAt(buffer, piece, offset + done) || !digest.update(buffer, piece)) {
      return false;
    }
    done += piece;
  }
  return true;
}

// Whether a section's name keeps it out of the hash.
bool leftOutByName(const char* name) {
  return name != nullptr && (std::strcmp(name, kSignatureSectionName) == 0 || std::strcmp(name, ".shstrtab") == 0);
}

// Whether what the sections feed the hash stays within the file's size: the sizes of their data (a
// compressed section counts at its stored size; SHT_NOBITS sections have none in the file), and separately
// their names with the terminating NUL. The ELF header and the header tables lie outside every section, so
// in a genuine file the sizes add up to less than the file even where sections touch, and the names,
// each stored once in the name table beside a header of 40 or 64 bytes, to far less. Only headers that
// name the same bytes or the same long name again and again exceed them, and they would make the hash
// read, and libelf keep, many times the file; within both bounds the hash reads at most twice the file.
// Only the headers and the section-name table are read for this.
bool hashInputFitsInFile(const ElfReader& reader) {
  uint64_t sizes_left = reader.fileSize();
  uint64_t names_left = reader.fileSize();
  GElf_Shdr header{};
  for (Elf_Scn* scn = elf_nextscn(reader.elf(), nullptr); scn != nullptr; scn = elf_nextscn(reader.elf(), scn)) {
    if (gelf_getshdr(scn, &header) == nullptr) continue;
    const char* name = reader.nameOf(header);
    if (leftOutByName(name)) continue;
    if (name != nullptr) {
      // elf_strptr gives only a name that ends inside the name table, and strnlen reads no further than
      // the bytes still allowed, so this walk too reads at most the file's size of names.
      const size_t length = ::strnlen(name, static_cast<size_t>(std::min<uint64_t>(names_left, SIZE_MAX)));
      if (length >= names_left) return false;  // the name and its NUL do not fit
      names_left -= length + 1;
    }
    if (header.sh_type == SHT_NOBITS) continue;
    if (header.sh_size > sizes_left) return false;
    sizes_left -= header.sh_size;
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
  if (!reader.file().readAt(buffer.data(), buffer.size(), offset)) return std::nullopt;
  return buffer;
}

std::string computeElfContentHash(const std::filesystem::path& path) {
  ElfReader reader(path);
  if (!reader.ok() || !hashInputFitsInFile(reader)) return "";
  crypto::DigestStream digest(HashAlgorithm::SHA256);
  if (!digest.ok()) return "";

  std::unique_ptr<uint8_t[]> buffer;  // for the sections read straight from the file, made at the first one
  GElf_Shdr header{};
  for (Elf_Scn* scn = elf_nextscn(reader.elf(), nullptr); scn != nullptr; scn = elf_nextscn(reader.elf(), scn)) {
    if (gelf_getshdr(scn, &header) == nullptr) continue;
    const char* name = reader.nameOf(header);
    if (leftOutByName(name)) continue;
    if (name != nullptr && !digest.update(name, std::strlen(name) + 1)) return "";
    // An empty section has no bytes to read, so its offset is never looked at: it adds its name alone.
    if (header.sh_size == 0) continue;
    if (streamFromFile(header)) {
      if (!buffer) buffer.reset(new uint8_t[kReadChunk]);
      if (!hashFromFile(reader, header, buffer.get(), digest)) return "";
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
