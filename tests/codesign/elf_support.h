// Test helpers that look inside ELF files through libelf: section positions, and byte patches.
#ifndef BNQ_SIGN_TESTS_ELF_SUPPORT_H_
#define BNQ_SIGN_TESTS_ELF_SUPPORT_H_

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
// and then every block elf_getdata delivers.
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
    for (Elf_Data* d = elf_getdata(scn, nullptr); d; d = elf_getdata(scn, d)) {
      if (d->d_buf && d->d_size) {
        const auto* bytes = static_cast<const uint8_t*>(d->d_buf);
        input.insert(input.end(), bytes, bytes + d->d_size);
      }
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

// Writes a 64-bit little-endian field (the fixtures are x86-64 ELF files).
inline void patchU64(const std::filesystem::path& path, uint64_t offset, uint64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
  patchBytes(path, offset, bytes);
}

// Appends `count` copies of the header of `source`, with its type set to `type`, to the section header
// table, which moves to the end of the file (its old place becomes padding). ELF64 little-endian only.
inline void appendSectionHeaders(const std::filesystem::path& path, const SectionInfo& source, uint32_t type,
                                 size_t count) {
  std::string content = readBytes(path);
  auto get = [&](size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
      value = value << 8 | static_cast<uint8_t>(content.at(at + static_cast<size_t>(i)));
    }
    return value;
  };
  auto put = [](std::string& to, size_t at, int bytes, uint64_t value) {
    for (int i = 0; i < bytes; ++i) to.at(at + static_cast<size_t>(i)) = static_cast<char>((value >> (8 * i)) & 0xff);
  };
  const uint64_t shoff = get(0x28, 8), entsize = get(0x3a, 2), shnum = get(0x3c, 2);
  if (content.at(5) != 1 || entsize != 64 || shnum + count >= 0xff00) throw std::runtime_error("cannot extend");
  std::string table = content.substr(shoff, entsize * shnum);
  std::string header = content.substr(source.header_offset, entsize);
  put(header, 4, 4, type);
  for (size_t i = 0; i < count; ++i) table += header;
  content.resize((content.size() + 7) & ~size_t{7}, '\0');
  put(content, 0x28, 8, content.size());
  put(content, 0x3c, 2, shnum + count);
  content += table;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline void flipByte(const std::filesystem::path& path, uint64_t offset) {
  const std::string content = readBytes(path);
  patchBytes(path, offset, std::string(1, static_cast<char>(content.at(offset) ^ 0x5A)));
}

}  // namespace bnq::sign::testing

#endif  // BNQ_SIGN_TESTS_ELF_SUPPORT_H_
