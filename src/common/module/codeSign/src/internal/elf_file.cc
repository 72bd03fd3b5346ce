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

// The byte order of ELF files whose data libelf delivers as stored.
constexpr unsigned char kHostByteOrder = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// An unsigned field of `width` bytes at `bytes`, in the given ELF byte order.
uint64_t fieldOf(const unsigned char* bytes, size_t width, unsigned char byte_order) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    const unsigned char byte = byte_order == ELFDATA2LSB ? bytes[width - 1 - i] : bytes[i];
    value = value << 8 | byte;
  }
  return value;
}

// Whether the section count that libelf would take from the file's headers stays within kMaxSectionCount.
// libelf makes a descriptor for every section as it opens the file, and reads the whole header table at the
// first header asked for, so the count is read here first, as libelf reads it: e_shnum, or, where that is 0
// and the header table has an offset, the sh_size of section 0 (extended numbering). Where libelf would find
// no count (no ELF header of a known class and byte order, or no room for section 0 in the file) it makes no
// descriptors, and the count is taken to be within the bound; a section 0 that cannot be read is not (libelf
// refuses such a file too).
bool sectionCountWithinBound(const OpenedFile& file, uint64_t file_size) {
  unsigned char ehdr[sizeof(Elf64_Ehdr)];
  if (file_size < EI_NIDENT || !file.readAt(ehdr, EI_NIDENT, 0)) return true;
  const unsigned char elf_class = ehdr[EI_CLASS], byte_order = ehdr[EI_DATA];
  if (std::memcmp(ehdr, ELFMAG, SELFMAG) != 0 || (elf_class != ELFCLASS32 && elf_class != ELFCLASS64) ||
      (byte_order != ELFDATA2LSB && byte_order != ELFDATA2MSB)) {
    return true;
  }
  const bool wide = elf_class == ELFCLASS64;
  const size_t ehdr_size = wide ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  if (file_size < ehdr_size || !file.readAt(ehdr, ehdr_size, 0)) return true;
  const uint64_t shnum = wide ? fieldOf(ehdr + offsetof(Elf64_Ehdr, e_shnum), 2, byte_order)
                              : fieldOf(ehdr + offsetof(Elf32_Ehdr, e_shnum), 2, byte_order);
  const uint64_t shoff = wide ? fieldOf(ehdr + offsetof(Elf64_Ehdr, e_shoff), 8, byte_order)
                              : fieldOf(ehdr + offsetof(Elf32_Ehdr, e_shoff), 4, byte_order);
  if (shnum != 0 || shoff == 0) return shnum <= kMaxSectionCount;
  const size_t shdr_size = wide ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
  if (shoff >= file_size || file_size - shoff < shdr_size) return true;
  unsigned char count[8];
  const size_t width = wide ? 8 : 4;
  if (!file.readAt(count, width, shoff + (wide ? offsetof(Elf64_Shdr, sh_size) : offsetof(Elf32_Shdr, sh_size)))) {
    return false;
  }
  return fieldOf(count, width, byte_order) <= kMaxSectionCount;
}

// One ELF file opened for reading. The descriptor outlives the ELF handle (members are destroyed in reverse
// order), since libelf reads section data from it on demand.
class ElfReader {
 public:
  // Opens `path`; ok() tells whether the file is a regular file that libelf reads as ELF with a
  // section-name table index, at most kMaxSectionCount sections (checked before libelf sees the file), and
  // a name table that looks names up cheaply (see nameTableIsPlain).
  explicit ElfReader(const std::filesystem::path& path) : file_(path) {
    // The open does not block on a FIFO; such a file is refused here, as is any other that is not regular.
    if (!file_.isRegular() || file_.status().st_size < 0 || !libelfReady()) return;
    file_size_ = static_cast<uint64_t>(file_.status().st_size);
    if (!sectionCountWithinBound(file_, file_size_)) return;
    elf_.reset(elf_begin(file_.fd(), ELF_C_READ, nullptr));
    if (!elf_ || elf_kind(elf_.get()) != ELF_K_ELF || gelf_getehdr(elf_.get(), &ehdr_) == nullptr) return;
    // The count libelf took, in case the file changed since it was read above (libelf has then made its
    // descriptors already, but reads no header of them).
    size_t sections = 0;
    if (elf_getshdrnum(elf_.get(), &sections) != 0 || sections > kMaxSectionCount) return;
    if (elf_getshdrstrndx(elf_.get(), &shstrndx_) != 0) return;
    ok_ = nameTableIsPlain();
  }

  bool ok() const noexcept { return ok_; }
  Elf* elf() const noexcept { return elf_.get(); }
  const GElf_Ehdr& ehdr() const noexcept { return ehdr_; }
  const OpenedFile& file() const noexcept { return file_; }
  uint64_t fileSize() const noexcept { return file_size_; }
  // The name of the section with this header, or null when the section-name table does not resolve it.
  const char* nameOf(const GElf_Shdr& header) const { return elf_strptr(elf_.get(), shstrndx_, header.sh_name); }
  // Releases the ELF handle early; the descriptor stays open.
  void releaseElf() noexcept { elf_.reset(); }

 private:
  // Whether the section-name table is stored plainly, within kMaxNameTableSize, and ends with a NUL, as
  // every genuine one does. libelf holds the table whole from the first name lookup on; a compressed table
  // it decompresses whole (up to a thousand times its stored size); and it checks each name by scanning
  // back from the table's end to its last NUL, so that trailing bytes without one would be scanned once per
  // section header. A name table that is not a string table, or whose bytes libelf cannot load, resolves
  // no name at all and costs nothing.
  bool nameTableIsPlain() const {
    Elf_Scn* scn = elf_getscn(elf_.get(), shstrndx_);
    GElf_Shdr header{};
    if (scn == nullptr || gelf_getshdr(scn, &header) == nullptr || header.sh_type != SHT_STRTAB) return true;
    if ((header.sh_flags & SHF_COMPRESSED) != 0 || header.sh_size > kMaxNameTableSize) return false;
    if (header.sh_size == 0) return true;
    // The same bytes that the lookups use: libelf loads them once and keeps them.
    const Elf_Data* data = elf_rawdata(scn, nullptr);
    if (data == nullptr || data->d_buf == nullptr || data->d_size == 0) return true;
    return static_cast<const char*>(data->d_buf)[data->d_size - 1] == '\0';
  }

  OpenedFile file_;
  ElfHandle elf_;
  GElf_Ehdr ehdr_{};
  size_t shstrndx_ = 0;
  uint64_t file_size_ = 0;
  bool ok_ = false;
};

// The size of an entry of a SHT_HASH section: Alpha and 64-bit S/390 use 8 bytes, every other ABI 4.
size_t hashEntrySize(const GElf_Ehdr& ehdr) {
  return ehdr.e_machine == EM_ALPHA || (ehdr.e_machine == EM_S390 && ehdr.e_ident[EI_CLASS] == ELFCLASS64) ? 8 : 4;
}

// The type libelf gives a section's data, from the section's type, as libelf maps it: the structured
// kinds below, and plain bytes for every other type. (libelf tells notes aligned to 8 from others; both are
// notes here.)
Elf_Type dataTypeOf(const GElf_Ehdr& ehdr, const GElf_Shdr& header) {
  switch (header.sh_type) {
    case SHT_SYMTAB:
    case SHT_DYNSYM:
      return ELF_T_SYM;
    case SHT_RELA:
      return ELF_T_RELA;
    case SHT_REL:
      return ELF_T_REL;
    case SHT_HASH:
      return ehdr.e_ident[EI_CLASS] == ELFCLASS64 && hashEntrySize(ehdr) == 8 ? ELF_T_XWORD : ELF_T_WORD;
    case SHT_DYNAMIC:
      return ELF_T_DYN;
    case SHT_INIT_ARRAY:
    case SHT_FINI_ARRAY:
    case SHT_PREINIT_ARRAY:
      return ELF_T_ADDR;
    case SHT_GROUP:
    case SHT_SYMTAB_SHNDX:
      return ELF_T_WORD;
    case SHT_NOTE:
      return ELF_T_NHDR;
    case SHT_GNU_verdef:
      return ELF_T_VDEF;
    case SHT_GNU_verneed:
      return ELF_T_VNEED;
    case SHT_GNU_versym:
      return ELF_T_HALF;
    case SHT_SUNW_syminfo:
      return ELF_T_SYMINFO;
    case SHT_SUNW_move:
      return ELF_T_MOVE;
    case SHT_GNU_LIBLIST:
      return ELF_T_LIB;
    case SHT_GNU_HASH:
      return ELF_T_GNUHASH;
    default:
      return ELF_T_BYTE;
  }
}

// Whether the size of the section's data is a whole number of the entries libelf reads it as; libelf
// delivers no data otherwise. Notes, version definitions, 64-bit GNU hash tables and compressed sections
// are read as bytes.
bool sizeFitsEntries(const ElfReader& reader, const GElf_Shdr& header) {
  if ((header.sh_flags & SHF_COMPRESSED) != 0) return true;
  if (header.sh_type == SHT_HASH) return header.sh_size % hashEntrySize(reader.ehdr()) == 0;
  const Elf_Type type = dataTypeOf(reader.ehdr(), header);
  if (type == ELF_T_BYTE || type == ELF_T_NHDR || type == ELF_T_VDEF ||
      (type == ELF_T_GNUHASH && reader.ehdr().e_ident[EI_CLASS] == ELFCLASS64)) {
    return true;
  }
  const size_t entry = gelf_fsize(reader.elf(), type, 1, EV_CURRENT);
  return entry == 0 || header.sh_size % entry == 0;
}

// Whether the section's data is read straight from the file through one small buffer, so that libelf
// keeps no copy of it: wherever libelf would deliver it exactly as stored, which is always in a file of the
// host's byte order, and otherwise for plain bytes that are not compressed. Where libelf converts the data
// to the host's byte order (every field of a structured section, the header of a compressed one), it comes
// through elf_getdata, which keeps what it delivers, and the stored bytes, until the ELF handle is released.
bool streamFromFile(const ElfReader& reader, const GElf_Shdr& header) {
  return reader.ehdr().e_ident[EI_DATA] == kHostByteOrder ||
         ((header.sh_flags & SHF_COMPRESSED) == 0 && dataTypeOf(reader.ehdr(), header) == ELF_T_BYTE);
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
// compressed section counts at its stored size; SHT_NOBITS sections have none in the file) and their names
// with the terminating NUL, added together; and whether the data that libelf would convert to the host's
// byte order (in a file of the other byte order only) stays within kMaxConvertedSize. The ELF header, the
// header tables and the section-name table lie outside every section that feeds the hash, so in a genuine
// file data and names add up to less than the file even where sections touch: each name is stored once in
// the name table, beside a header of 40 or 64 bytes. Only headers that name the same bytes or the same long
// name again and again exceed it, and they would make the hash read, and libelf keep, many times the
// file; within the bound the hash takes in at most the file's size. Only the headers and the section-name
// table are read for this.
bool hashInputFitsInFile(const ElfReader& reader) {
  uint64_t left = reader.fileSize();
  uint64_t converted_left = kMaxConvertedSize;
  GElf_Shdr header{};
  for (Elf_Scn* scn = elf_nextscn(reader.elf(), nullptr); scn != nullptr; scn = elf_nextscn(reader.elf(), scn)) {
    if (gelf_getshdr(scn, &header) == nullptr) continue;
    const char* name = reader.nameOf(header);
    if (leftOutByName(name)) continue;
    if (name != nullptr) {
      // elf_strptr gives only a name that ends inside the name table, and strnlen reads no further than
      // the bytes still allowed, so this walk too reads at most the file's size of names.
      const size_t length = ::strnlen(name, static_cast<size_t>(std::min<uint64_t>(left, SIZE_MAX)));
      if (length >= left) return false;  // the name and its NUL do not fit
      left -= length + 1;
    }
    if (header.sh_type == SHT_NOBITS) continue;
    if (header.sh_size > left) return false;
    left -= header.sh_size;
    if (!streamFromFile(reader, header)) {
      if (header.sh_size > converted_left) return false;
      converted_left -= header.sh_size;
    }
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
    // An empty section has no bytes to read, so its offset is never looked at: it adds its name alone; nor
    // has a SHT_NOBITS section, whatever its size.
    if (header.sh_size == 0 || header.sh_type == SHT_NOBITS) continue;
    if (streamFromFile(reader, header)) {
      if (!sizeFitsEntries(reader, header)) return "";
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
