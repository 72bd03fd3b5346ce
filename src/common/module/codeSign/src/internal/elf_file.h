// What codeSign reads of an ELF file through libelf: the bytes of its signature section and its content
// hash.
//
// Both functions open the file read-only themselves and close it before they return; they accept only a
// regular file (a pipe or a device gives nothing, and never blocks the caller). Every libelf result is
// checked; libelf's working version is set once per process, before its first use.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_ELF_FILE_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_ELF_FILE_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace bnq::sign {

// Name of the section that holds the signature data of a signed ELF file.
inline constexpr char kSignatureSectionName[] = ".tolsec";
// A signature section is a few hundred bytes; one larger than this is refused before anything is allocated.
inline constexpr uint64_t kMaxSignatureSectionSize = uint64_t{1} << 20;

// The content of the first section named ".tolsec" in header order, read with one allocation of its size.
// Empty when the file cannot be opened, is not an ELF file libelf can read, its section-name table is
// compressed or does not end with a NUL (no genuine one is either; each would make every name lookup
// costly), it has no such section, or the section is empty, larger than kMaxSignatureSectionSize, reaches
// past the end of the file, or cannot be read whole.
std::optional<std::vector<uint8_t>> readSignatureSection(const std::filesystem::path& path);

// The ELF content hash: SHA-256 over, for each section from index 1 in header order, its name with the
// terminating NUL (when the name resolves) and then its data as libelf delivers it. Sections named ".tolsec"
// or ".shstrtab" and sections whose header cannot be read are left out. Bytes outside every section (ELF
// header, program headers, section headers, padding) are not covered. 64 lowercase hex digits; "" when the
// file cannot be opened, is not an ELF file libelf can read, its section-name table is refused as above, the
// sizes of the sections that feed the hash (all but SHT_NOBITS ones) add up to more than the file's size, the
// names that feed it (with their NULs) do too, a section's data cannot be read, or the digest fails. Checked
// before any section data is read, those sums also bound the work and the memory: at most twice the file is
// hashed, plain byte sections are streamed from the file, and the rest, which libelf keeps until the end,
// fit in the file.
std::string computeElfContentHash(const std::filesystem::path& path);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_ELF_FILE_H_
