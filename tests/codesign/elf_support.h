// Test helpers that look inside ELF files through libelf: section positions, and byte patches.
#ifndef BRANNIC_TESTS_CODESIGN_ELF_SUPPORT_H_
#define BRANNIC_TESTS_CODESIGN_ELF_SUPPORT_H_

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codeSign/src/crypto.h"

namespace bnq::sign::testing {

struct SectionInfo {
  std::string name;
  uint64_t name_offset = 0;    // file offset of the name in the section-name table
  uint64_t header_offset = 0;  // file offset of the section's header
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t type = 0;
  uint64_t flags = 0;
};

struct ElfLayout {
  uint64_t header_end = 0;  // ELF header
  uint64_t phdr_begin = 0, phdr_end = 0;
  uint64_t shdr_begin = 0, shdr_end = 0;
  std::vector<SectionInfo> sections;  // from index 1, in header order
};

inline ElfLayout elfLayout(const std::filesystem::path& path) {
  if (elf_version(EV_CURRENT) == EV_NONE) throw std::runtime_error("libelf unusable");
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
  GElf_Ehdr ehdr{};
  size_t shstrndx = 0;
  if (!elf || !gelf_getehdr(elf, &ehdr) || elf_getshdrstrndx(elf, &shstrndx) != 0) {
    if (elf) elf_end(elf);
    ::close(fd);
    throw std::runtime_error("not a readable ELF file: " + path.string());
  }
  ElfLayout layout;
  layout.header_end = ehdr.e_ehsize;
  layout.phdr_begin = ehdr.e_phoff;
  layout.phdr_end = ehdr.e_phoff + uint64_t{ehdr.e_phentsize} * ehdr.e_phnum;
  layout.shdr_begin = ehdr.e_shoff;
  layout.shdr_end = ehdr.e_shoff + uint64_t{ehdr.e_shentsize} * ehdr.e_shnum;
  GElf_Shdr names{};
  gelf_getshdr(elf_getscn(elf, shstrndx), &names);
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr shdr{};
    if (!gelf_getshdr(scn, &shdr)) continue;
    const char* name = elf_strptr(elf, shstrndx, shdr.sh_name);
    layout.sections.push_back({name ? name : "", names.sh_offset + shdr.sh_name,
                               ehdr.e_shoff + uint64_t{ehdr.e_shentsize} * elf_ndxscn(scn), shdr.sh_offset,
                               shdr.sh_size, shdr.sh_type, shdr.sh_flags});
  }
  elf_end(elf);
  ::close(fd);
  return layout;
}

// The ELF content hash as its definition reads, built independently: every section from index 1 whose
// header reads, except ".tolsec" and ".shstrtab", contributes its name and NUL (when the name resolves)
// and then every block elf_getdata delivers. "" when elf_getdata fails for a section: its data cannot be
// read.
inline std::string referenceContentHash(const std::filesystem::path& path) {
  if (elf_version(EV_CURRENT) == EV_NONE) throw std::runtime_error("libelf unusable");
  const int fd = ::open(path.c_str(), O_RDONLY);
  Elf* elf = fd >= 0 ? elf_begin(fd, ELF_C_READ, nullptr) : nullptr;
  size_t shstrndx = 0;
  if (!elf || elf_getshdrstrndx(elf, &shstrndx) != 0) throw std::runtime_error("not a readable ELF file");
  std::vector<uint8_t> input;
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr shdr{};
    if (!gelf_getshdr(scn, &shdr)) continue;
    const char* name = elf_strptr(elf, shstrndx, shdr.sh_name);
    if (name && (std::strcmp(name, ".tolsec") == 0 || std::strcmp(name, ".shstrtab") == 0)) continue;
    if (name) input.insert(input.end(), name, name + std::strlen(name) + 1);
    (void)elf_errno();
    for (Elf_Data* d = elf_getdata(scn, nullptr); d; d = elf_getdata(scn, d)) {
      if (d->d_buf && d->d_size) {
        const auto* bytes = static_cast<const uint8_t*>(d->d_buf);
        input.insert(input.end(), bytes, bytes + d->d_size);
      }
    }
    if (elf_errno() != 0) {
      elf_end(elf);
      ::close(fd);
      return "";
    }
  }
  elf_end(elf);
  ::close(fd);
  return crypto::computeDataHash(input, HashAlgorithm::SHA256);
}

inline const SectionInfo& section(const ElfLayout& layout, const std::string& name) {
  for (const SectionInfo& s : layout.sections) {
    if (s.name == name) return s;
  }
  throw std::runtime_error("no section " + name);
}

// A file offset that lies in no section, header or header table: padding.
inline uint64_t paddingOffset(const std::filesystem::path& path) {
  const ElfLayout layout = elfLayout(path);
  std::vector<std::pair<uint64_t, uint64_t>> used = {{0, layout.header_end},
                                                     {layout.phdr_begin, layout.phdr_end},
                                                     {layout.shdr_begin, layout.shdr_end}};
  for (const SectionInfo& s : layout.sections) {
    if (s.type != SHT_NOBITS) used.emplace_back(s.offset, s.offset + s.size);
  }
  std::sort(used.begin(), used.end());
  uint64_t covered = 0;
  for (const auto& [begin, end] : used) {
    if (begin > covered) return covered;
    covered = std::max(covered, end);
  }
  throw std::runtime_error("no padding in " + path.string());
}

inline std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string content(static_cast<size_t>(std::filesystem::file_size(path)), '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return content;
}

inline void patchBytes(const std::filesystem::path& path, uint64_t offset, const std::string& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset));
  io.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!io) throw std::runtime_error("cannot patch " + path.string());
}

namespace detail {

inline uint64_t getLE(const std::string& bytes, size_t at, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes.at(at + static_cast<size_t>(i)));
  return value;
}

inline void putLE(std::string& bytes, size_t at, int width, uint64_t value) {
  for (int i = 0; i < width; ++i) bytes.at(at + static_cast<size_t>(i)) = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace detail

// Writes a little-endian field of `width` bytes (the fixtures are x86-64 ELF files).
inline void patchLE(const std::filesystem::path& path, uint64_t offset, int width, uint64_t value) {
  std::string bytes(static_cast<size_t>(width), '\0');
  detail::putLE(bytes, 0, width, value);
  patchBytes(path, offset, bytes);
}

inline void patchU64(const std::filesystem::path& path, uint64_t offset, uint64_t value) {
  patchLE(path, offset, 8, value);
}

namespace detail {

// An ELF64 little-endian file in memory, with its section header table apart.
struct Elf64Image {
  std::string content;
  std::string table;  // 64 bytes a header

  explicit Elf64Image(const std::filesystem::path& path) : content(readBytes(path)) {
    if (content.at(EI_CLASS) != ELFCLASS64 || content.at(EI_DATA) != ELFDATA2LSB || getLE(content, 0x3a, 2) != 64) {
      throw std::runtime_error("not an ELF64 little-endian file: " + path.string());
    }
    table = content.substr(getLE(content, 0x28, 8), 64 * getLE(content, 0x3c, 2));
  }
  // Offset in `table` of the header of the section-name table.
  size_t namesHeader() const { return 64 * getLE(content, 0x3e, 2); }
  // Appends `bytes` at the next 8-byte boundary of the file; gives their offset.
  uint64_t append(const std::string& bytes) {
    content.resize((content.size() + 7) & ~size_t{7}, '\0');
    const uint64_t at = content.size();
    content += bytes;
    return at;
  }
  // Writes the file with the header table at its end (its old place becomes padding). From 0xff00 headers
  // on, the count is written with extended numbering: e_shnum 0, the count in section 0's sh_size.
  void write(const std::filesystem::path& path) {
    const size_t count = table.size() / 64;
    std::string out = content;
    out.resize((out.size() + 7) & ~size_t{7}, '\0');
    putLE(out, 0x28, 8, out.size());
    putLE(out, 0x3c, 2, count < SHN_LORESERVE ? count : 0);
    putLE(table, 32, 8, count < SHN_LORESERVE ? 0 : count);
    out += table;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    if (!file) throw std::runtime_error("cannot write " + path.string());
  }
};

}  // namespace detail

// Appends `count` copies of the header of `source`, with its type set to `type`, to the section header
// table, which moves to the end of the file (its old place becomes padding). ELF64 little-endian only.
inline void appendSectionHeaders(const std::filesystem::path& path, const SectionInfo& source, uint32_t type,
                                 size_t count) {
  detail::Elf64Image image(path);
  std::string header = image.content.substr(source.header_offset, 64);
  detail::putLE(header, 4, 4, type);
  for (size_t i = 0; i < count; ++i) image.table += header;
  image.write(path);
}

// Appends `count` headers of sections of type `type` without data, all named by the name at `name_offset` of
// the section-name table. ELF64 little-endian only.
inline void appendNamedSectionHeaders(const std::filesystem::path& path, uint32_t name_offset, uint32_t type,
                                      size_t count) {
  detail::Elf64Image image(path);
  std::string header(64, '\0');
  detail::putLE(header, 0, 4, name_offset);
  detail::putLE(header, 4, 4, type);
  detail::putLE(header, 48, 8, 1);  // sh_addralign
  for (size_t i = 0; i < count; ++i) image.table += header;
  image.write(path);
}

// Appends `bytes` to the section-name table, which moves to the end of the file, followed by the section
// header table (their old places become padding); gives the offset of `bytes` in the table. ELF64
// little-endian only.
inline uint32_t appendToNameTable(const std::filesystem::path& path, const std::string& bytes) {
  detail::Elf64Image image(path);
  const size_t names = image.namesHeader();
  const std::string old_table =
      image.content.substr(detail::getLE(image.table, names + 24, 8), detail::getLE(image.table, names + 32, 8));
  detail::putLE(image.table, names + 24, 8, image.append(old_table + bytes));
  detail::putLE(image.table, names + 32, 8, old_table.size() + bytes.size());
  image.write(path);
  return static_cast<uint32_t>(old_table.size());
}

// Makes the file use extended numbering with a count of `count` section headers (e_shnum 0, the count in
// section 0's sh_size), and extends it, sparse, to the end of that many headers, so that the headers past
// its own are zeros: sections of type SHT_NULL without data, named by the name table's first byte. ELF64
// little-endian only; gives the file's new size.
inline uint64_t claimSectionHeaders(const std::filesystem::path& path, uint64_t count) {
  const std::string header = readBytes(path).substr(0, 64);
  const uint64_t shoff = detail::getLE(header, 0x28, 8);
  patchLE(path, 0x3c, 2, 0);
  patchU64(path, shoff + 32, count);
  const uint64_t size = shoff + 64 * count;
  if (size < std::filesystem::file_size(path)) throw std::runtime_error("the headers would end inside the file");
  std::filesystem::resize_file(path, size);
  return size;
}

// Compresses the section-name table in place with libelf (zlib), leaving every other byte where it is.
inline void compressNameTable(const std::filesystem::path& path) {
  if (elf_version(EV_CURRENT) == EV_NONE) throw std::runtime_error("libelf unusable");
  const int fd = ::open(path.c_str(), O_RDWR);
  Elf* elf = fd >= 0 ? elf_begin(fd, ELF_C_RDWR, nullptr) : nullptr;
  size_t shstrndx = 0;
  Elf_Scn* names = nullptr;
  // With the layout kept, libelf writes the new bytes and header only when told that they changed.
  const bool done = elf != nullptr && elf_getshdrstrndx(elf, &shstrndx) == 0 &&
                    (names = elf_getscn(elf, shstrndx)) != nullptr && elf_flagelf(elf, ELF_C_SET, ELF_F_LAYOUT) != 0 &&
                    elf_compress(names, ELFCOMPRESS_ZLIB, ELF_CHF_FORCE) == 1 &&
                    elf_flagscn(names, ELF_C_SET, ELF_F_DIRTY) != 0 && elf_flagshdr(names, ELF_C_SET, ELF_F_DIRTY) != 0 &&
                    elf_update(elf, ELF_C_WRITE) >= 0;
  if (elf) elf_end(elf);
  if (fd >= 0) ::close(fd);
  if (!done) throw std::runtime_error("cannot compress the name table of " + path.string());
}

inline void flipByte(const std::filesystem::path& path, uint64_t offset) {
  const std::string content = readBytes(path);
  patchBytes(path, offset, std::string(1, static_cast<char>(content.at(offset) ^ 0x5A)));
}

}  // namespace bnq::sign::testing

#endif  // BRANNIC_TESTS_CODESIGN_ELF_SUPPORT_H_
