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

// The most sections, section 0 included, that a file read through libelf may have. libelf makes a
// descriptor of about 200 bytes for every section as it opens a file, and holds the whole header table once
// it reads a header: at this bound that is about 17 MiB. Linked executables and libraries have a few dozen
// sections, and only relocatable objects built with a section per function come near 2^16, about the most
// that the ELF header's own 16-bit count holds (65,279). A file with more (extended numbering gives more) is
// refused before libelf opens it, as a file without a usable section table is.
inline constexpr uint64_t kMaxSectionCount = uint64_t{1} << 16;
// The largest section-name table read: libelf holds it whole from the first name lookup. At kMaxSectionCount
// sections, 4 MiB leaves 64 bytes a name; a genuine table takes a few hundred bytes.
inline constexpr uint64_t kMaxNameTableSize = uint64_t{4} << 20;
// In a file of the other byte order, the most section data that libelf converts to the host's byte order
// (structured sections such as symbol and relocation tables, notes, compressed sections) for the content
// hash. libelf keeps the stored and the converted bytes until the hash is done.
inline constexpr uint64_t kMaxConvertedSize = uint64_t{8} << 20;

// The content of the first section named ".tolsec" in header order, read with one allocation of its size.
// Empty when the file cannot be opened, is not an ELF file libelf can read, has more than kMaxSectionCount
// sections, its section-name table is compressed, larger than kMaxNameTableSize or does not end with a NUL
// (no genuine one is any of these; each would make libelf hold much or every name lookup cost much), it
// has no such section, or the section is empty, larger than kMaxSignatureSectionSize, reaches
// past the end of the file, or cannot be read whole.
std::optional<std::vector<uint8_t>> readSignatureSection(const std::filesystem::path& path);

// The ELF content hash: SHA-256 over, for each section from index 1 in header order, its name with the
// terminating NUL (when the name resolves) and then its data as libelf delivers it. Sections named ".tolsec"
// or ".shstrtab" and sections whose header cannot be read are left out. Bytes outside every section (ELF
// header, program headers, section headers, padding) are not covered. 64 lowercase hex digits; "" when the
// file cannot be opened, is not an ELF file libelf can read, its sections or its name table are refused as
// above, the sizes of the sections that feed the hash (all but SHT_NOBITS ones) and their names (with
// their NULs) add up to more than the file's size, in a file of the other byte order the sections libelf
// converts add up to more than kMaxConvertedSize, a section's data cannot be read (it lies outside the file,
// or is no whole number of the entries libelf reads it as), or the digest fails. Checked before any section
// data is read, those sums also bound the work and the memory: at most the file's size is hashed; every
// section that libelf would deliver as stored (all of them in a file of the host's byte order) is streamed
// from the file through one small buffer, and libelf holds no more than the bounds above.
std::string computeElfContentHash(const std::filesystem::path& path);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_ELF_FILE_H_
