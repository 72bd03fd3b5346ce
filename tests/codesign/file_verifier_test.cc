// File verification: ELF files with a ".tolsec" section, other files with a detached ".sig" document.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "codeSign/src/internal/elf_file.h"
#include "codeSign/src/internal/signature_document.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/verifier.h"
#include "elf_support.h"
#include "signing.h"
#include "signing_fixture.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;
using testing::SigningTest;

class FileVerifierTest : public SigningTest {};

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

TEST_F(FileVerifierTest, SignedElfIsValidWithItsIdentity) {
  const fs::path elf = signedElf("tool", valid());
  const VerifyResult r = devVerifier().verifyFile(elf);
  EXPECT_TRUE(r.is_valid) << r.error_message;
  EXPECT_EQ(r.error_code, 0);
  EXPECT_EQ(r.skill_id, "skill.one");
  EXPECT_EQ(r.developer, "Dev One");
  EXPECT_EQ(r.pubkey_hash, crypto::PublicKey::fromPrivateKey(devKey()).getHash());
  EXPECT_TRUE(r.signature_valid);
}

// Which bytes the content hash covers, and what a change to them gives.
TEST_F(FileVerifierTest, ChangesInsideAndOutsideHashedSections) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    int32_t code;
  };
  const Case cases[] = {
      {"a byte of .text", [](const fs::path& p) { testing::flipByte(p, testing::section(testing::elfLayout(p), ".text").offset + 3); }, -15},
      {"a byte of a data section", [](const fs::path& p) { testing::flipByte(p, testing::section(testing::elfLayout(p), ".fixture_data").offset); }, -15},
      {"a renamed section", [](const fs::path& p) { testing::flipByte(p, testing::section(testing::elfLayout(p), ".comment").name_offset + 2); }, -15},
      {"a byte of the signature", [](const fs::path& p) { testing::flipByte(p, testing::section(testing::elfLayout(p), ".tolsec").offset + 20); }, -8},
      {"a padding byte", [](const fs::path& p) { testing::flipByte(p, testing::paddingOffset(p)); }, 0},
      {"the entry address", [](const fs::path& p) { testing::patchU64(p, 24, 0x1234); }, 0},
  };
  for (const Case& c : cases) {
    const fs::path elf = signedElf("changed", valid());
    c.change(elf);
    const VerifyResult r = devVerifier().verifyFile(elf);
    EXPECT_EQ(r.error_code, c.code) << c.what;
    if (c.code == -15) {
      EXPECT_EQ(r.error_message, "File content has changed since signing");
      EXPECT_FALSE(r.signature_valid);
      EXPECT_EQ(r.skill_id, "skill.one") << "identity stays with a changed file";
    }
  }
}

// Sections that libelf delivers as stored (every section of a file of the host's byte order, plain bytes of
// the other) are read straight from the file, the others (tables and notes of the other byte order,
// compressed sections there) through libelf: all must give the hash that the definition gives, and a change
// deep inside a large section must be seen.
TEST_F(FileVerifierTest, ContentHashFollowsItsDefinitionForEveryKindOfSection) {
  const auto hasCompressed = [](const char* path) {
    const std::vector<testing::SectionInfo> sections = testing::elfLayout(path).sections;
    return std::any_of(sections.begin(), sections.end(),
                       [](const testing::SectionInfo& s) { return (s.flags & SHF_COMPRESSED) != 0; });
  };
  ASSERT_TRUE(hasCompressed(BNQ_FIXTURE_COMPRESSED_ELF));
  ASSERT_TRUE(hasCompressed(BNQ_FIXTURE_BIG_ENDIAN_ELF));
  ASSERT_EQ(testing::readBytes(BNQ_FIXTURE_BIG_ENDIAN_ELF).at(EI_DATA), ELFDATA2MSB);
  for (const char* fixture : {BNQ_FIXTURE_ELF, BNQ_FIXTURE_COMPRESSED_ELF, BNQ_FIXTURE_BIG_ENDIAN_ELF}) {
    EXPECT_EQ(computeElfContentHash(fixture), testing::referenceContentHash(fixture)) << fixture;
  }
  // One more section whose header points at the end of the file or past it. An empty section has no bytes
  // to read, so only its name counts wherever its offset points; a section with bytes must end inside the
  // file, or there is no hash.
  const struct {
    const char* what;
    uint32_t type;
    std::function<uint64_t(uint64_t)> offset;  // from the file's final size
    uint64_t size;
    bool hashed;
  } edges[] = {
      {"empty PROGBITS past the end", SHT_PROGBITS, [](uint64_t end) { return end + 4096; }, 0, true},
      {"empty PROGBITS at the largest offset", SHT_PROGBITS, [](uint64_t) { return UINT64_MAX; }, 0, true},
      {"empty NOTE past the end", SHT_NOTE, [](uint64_t end) { return end + 4096; }, 0, true},
      {"PROGBITS ending at the end", SHT_PROGBITS, [](uint64_t end) { return end - 16; }, 16, true},
      {"PROGBITS one byte past the end", SHT_PROGBITS, [](uint64_t end) { return end - 16; }, 17, false},
  };
  for (const auto& e : edges) {
    const fs::path edge = dir_ / "edge";
    fs::remove(edge);
    fs::copy_file(BNQ_FIXTURE_ELF, edge);
    testing::appendNamedSectionHeaders(edge, testing::appendToNameTable(edge, std::string(".edge") + '\0'), e.type, 1);
    const uint64_t header = testing::elfLayout(edge).sections.back().header_offset;
    testing::patchU64(edge, header + 24, e.offset(fs::file_size(edge)));
    testing::patchU64(edge, header + 32, e.size);
    EXPECT_EQ(computeElfContentHash(edge), e.hashed ? testing::referenceContentHash(edge) : "") << e.what;
  }
  // One more section of each type with data in the file, of a size that is a whole number of the entries
  // libelf reads that type as (1680 bytes) or not (1681): libelf delivers such data as stored, or none at
  // all, and then there is no hash.
  const struct {
    const char* what;
    uint32_t type;
    uint64_t flags;
    bool odd_size_read;
  } kinds[] = {
      {"PROGBITS", SHT_PROGBITS, 0, true},
      {"NULL", SHT_NULL, 0, true},
      {"STRTAB", SHT_STRTAB, 0, true},
      {"an unknown type", SHT_LOOS + 0x1234, 0, true},
      {"compressed PROGBITS", SHT_PROGBITS, SHF_COMPRESSED, true},
      {"compressed SYMTAB", SHT_SYMTAB, SHF_COMPRESSED, true},
      {"NOTE", SHT_NOTE, 0, true},
      {"GNU_verdef", SHT_GNU_verdef, 0, true},
      {"GNU_HASH", SHT_GNU_HASH, 0, true},
      {"SYMTAB", SHT_SYMTAB, 0, false},
      {"DYNSYM", SHT_DYNSYM, 0, false},
      {"RELA", SHT_RELA, 0, false},
      {"REL", SHT_REL, 0, false},
      {"HASH", SHT_HASH, 0, false},
      {"DYNAMIC", SHT_DYNAMIC, 0, false},
      {"INIT_ARRAY", SHT_INIT_ARRAY, 0, false},
      {"FINI_ARRAY", SHT_FINI_ARRAY, 0, false},
      {"PREINIT_ARRAY", SHT_PREINIT_ARRAY, 0, false},
      {"GROUP", SHT_GROUP, 0, false},
      {"SYMTAB_SHNDX", SHT_SYMTAB_SHNDX, 0, false},
      {"GNU_verneed", SHT_GNU_verneed, 0, false},
      {"GNU_versym", SHT_GNU_versym, 0, false},
      {"SUNW_syminfo", SHT_SUNW_syminfo, 0, false},
      {"SUNW_move", SHT_SUNW_move, 0, false},
      {"GNU_LIBLIST", SHT_GNU_LIBLIST, 0, false},
  };
  for (const auto& k : kinds) {
    for (const uint64_t size : {uint64_t{1680}, uint64_t{1681}}) {
      const fs::path kind = dir_ / "kind";
      fs::remove(kind);
      fs::copy_file(BNQ_FIXTURE_ELF, kind);
      testing::appendNamedSectionHeaders(kind, testing::appendToNameTable(kind, std::string(".kind") + '\0'), k.type,
                                         1);
      const uint64_t header = testing::elfLayout(kind).sections.back().header_offset;
      testing::patchU64(kind, header + 8, k.flags);
      testing::patchU64(kind, header + 24, 64);
      testing::patchU64(kind, header + 32, size);
      const std::string reference = testing::referenceContentHash(kind);
      EXPECT_EQ(reference.empty(), size == 1681 && !k.odd_size_read) << k.what << ", " << size << " bytes";
      EXPECT_EQ(computeElfContentHash(kind), reference) << k.what << ", " << size << " bytes";
    }
  }
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  testing::writeFile(dir_ / "big.bin", big);
  const fs::path large = dir_ / "large";
  ASSERT_EQ(std::system(("objcopy --add-section .big=" + (dir_ / "big.bin").string() + " " BNQ_FIXTURE_ELF " " +
                         large.string()).c_str()),
            0);
  EXPECT_EQ(computeElfContentHash(large), testing::referenceContentHash(large));
  const fs::path signed_large = dir_ / "signed-large";
  signing::signElf(large, signed_large, devKey(), valid());
  EXPECT_TRUE(devVerifier().verifyFile(signed_large).is_valid);
  testing::flipByte(signed_large, testing::section(testing::elfLayout(signed_large), ".big").offset + (2 << 20) + 7);
  EXPECT_EQ(devVerifier().verifyFile(signed_large).error_code, -15);
}

// Section headers lie outside the signature: extra headers naming the same bytes again would make the hash
// read, and libelf keep, those bytes once per header. Sections whose sizes, with the names that feed the
// hash, add up to more than the file are refused before their data is read; up to exactly the file's size
// they are hashed (sections without bytes in the file, the signature section and the name table do not
// count).
TEST_F(FileVerifierTest, SectionsClaimingMoreThanTheFileAreRefusedUnread) {
  testing::writeFile(dir_ / "region.bin", std::string(1 << 20, 'r'));
  const fs::path unsigned_elf = dir_ / "with-region";
  ASSERT_EQ(std::system(("objcopy --add-section .region=" + (dir_ / "region.bin").string() + " " BNQ_FIXTURE_ELF
                         " " + unsigned_elf.string()).c_str()),
            0);
  const fs::path signed_elf = dir_ / "signed";
  signing::signElf(unsigned_elf, signed_elf, devKey(), valid());
  const testing::SectionInfo region = testing::section(testing::elfLayout(signed_elf), ".region");

  const fs::path repeated = dir_ / "repeated";
  fs::copy_file(signed_elf, repeated);
  testing::appendSectionHeaders(repeated, region, SHT_NOTE, 3000);
  EXPECT_EQ(computeElfContentHash(repeated), "");
  const VerifyResult r = devVerifier().verifyFile(repeated);
  EXPECT_EQ(r.error_code, -15);
  EXPECT_EQ(r.error_message, "File content has changed since signing");
  EXPECT_EQ(r.skill_id, "skill.one");

  const fs::path edge = dir_ / "edge";
  fs::copy_file(signed_elf, edge);
  testing::appendSectionHeaders(edge, region, SHT_PROGBITS, 1);
  const testing::ElfLayout layout = testing::elfLayout(edge);
  uint64_t counted = 0;
  for (size_t i = 0; i < layout.sections.size(); ++i) {
    const testing::SectionInfo& s = layout.sections[i];
    if (s.name == ".tolsec" || s.name == ".shstrtab") continue;
    counted += s.name.size() + 1;
    if (s.type != SHT_NOBITS && i + 1 < layout.sections.size()) counted += s.size;
  }
  const uint64_t file_size = fs::file_size(edge);
  for (const uint64_t extra : {uint64_t{0}, uint64_t{1}}) {
    testing::patchU64(edge, layout.sections.back().header_offset + 24, 0);
    testing::patchU64(edge, layout.sections.back().header_offset + 32, file_size - counted + extra);
    EXPECT_EQ(computeElfContentHash(edge).empty(), extra == 1) << "sections claiming the file's size + " << extra;
  }
}

// Headers may also share one long name, and each section's name is hashed: the names that feed the hash
// count towards the file's size with the sizes, for sections with bytes in the file or without. Up to
// exactly the file's size they are hashed.
TEST_F(FileVerifierTest, SectionNamesAddingUpToMoreThanTheFileAreRefusedUnread) {
  const fs::path signed_elf = signedElf("signed", valid());
  const std::string long_name = "." + std::string(64 << 10, 'n');
  for (const uint32_t type : {uint32_t{SHT_PROGBITS}, uint32_t{SHT_NOBITS}}) {
    const fs::path shared = dir_ / ("shared-" + std::to_string(type));
    fs::copy_file(signed_elf, shared);
    testing::appendNamedSectionHeaders(shared, testing::appendToNameTable(shared, long_name + '\0'), type, 3000);
    EXPECT_EQ(computeElfContentHash(shared), "") << "type " << type;
    const VerifyResult r = devVerifier().verifyFile(shared);
    EXPECT_EQ(r.error_code, -15) << "type " << type;
    EXPECT_EQ(r.error_message, "File content has changed since signing");
    EXPECT_EQ(r.skill_id, "skill.one");
  }

  // Two more sections: one with the long name, the last with the part of it that brings the names to the
  // file's size, or one byte more.
  const fs::path edge = dir_ / "edge";
  fs::copy_file(signed_elf, edge);
  const uint32_t name = testing::appendToNameTable(edge, long_name + '\0');
  testing::appendNamedSectionHeaders(edge, name, SHT_PROGBITS, 2);
  const testing::ElfLayout layout = testing::elfLayout(edge);
  uint64_t counted = 0;
  for (size_t i = 0; i < layout.sections.size(); ++i) {
    const testing::SectionInfo& s = layout.sections[i];
    if (s.name == ".tolsec" || s.name == ".shstrtab") continue;
    if (s.type != SHT_NOBITS) counted += s.size;
    if (i + 1 < layout.sections.size()) counted += s.name.size() + 1;
  }
  const uint64_t file_size = fs::file_size(edge);
  for (const uint64_t extra : {uint64_t{0}, uint64_t{1}}) {
    const uint64_t last = file_size - counted + extra;  // bytes of the last name with its NUL
    ASSERT_LE(last, long_name.size() + 1);
    testing::patchLE(edge, layout.sections.back().header_offset, 4, name + long_name.size() + 1 - last);
    EXPECT_EQ(computeElfContentHash(edge).empty(), extra == 1) << "names adding up to the file's size + " << extra;
  }
}

// Appends unused bytes, ending with a NUL, to the section-name table until it holds `size` bytes.
void growNameTable(const fs::path& path, uint64_t size) {
  const uint64_t own = testing::section(testing::elfLayout(path), ".shstrtab").size;
  testing::appendToNameTable(path, std::string(size - own - 1, 'x') + '\0');
}

// A genuine section-name table is stored plainly, small, and ends with a NUL. libelf decompresses a compressed one
// whole, up to a thousand times its stored size, holds the table whole, and scans trailing bytes without a NUL
// once per name lookup: such a table is refused before any name is looked up, by both readers.
TEST_F(FileVerifierTest, NameTableThatMakesLookupsCostlyIsRefused) {
  const struct {
    const char* what;
    std::function<void(const fs::path&)> change;
  } cases[] = {
      {"compressed", [](const fs::path& p) { testing::compressNameTable(p); }},
      {"ending without a NUL", [](const fs::path& p) { testing::appendToNameTable(p, std::string(4096, 'x')); }},
      {"one byte larger than kMaxNameTableSize", [](const fs::path& p) { growNameTable(p, kMaxNameTableSize + 1); }},
  };
  for (const auto& c : cases) {
    const fs::path elf = signedElf(std::string("names-") + std::to_string(&c - cases), valid());
    c.change(elf);
    EXPECT_FALSE(readSignatureSection(elf).has_value()) << c.what;
    EXPECT_EQ(computeElfContentHash(elf), "") << c.what;
    const VerifyResult r = devVerifier().verifyFile(elf);
    EXPECT_EQ(r.error_code, -12) << c.what;
    EXPECT_EQ(r.error_message, "No signature section found") << c.what;
  }
  // libelf holds the table whole: at the bound it is read, and the file still verifies.
  const fs::path at_bound = signedElf("names-at-bound", valid());
  growNameTable(at_bound, kMaxNameTableSize);
  EXPECT_EQ(computeElfContentHash(at_bound), testing::referenceContentHash(at_bound));
  EXPECT_TRUE(devVerifier().verifyFile(at_bound).is_valid);
}

TEST_F(FileVerifierTest, RecordedHashMustMatchExactly) {
  const std::string actual = computeElfContentHash(BNQ_FIXTURE_ELF);
  ASSERT_EQ(actual.size(), 64u);
  for (const std::string& recorded : {std::string(), upper(actual)}) {
    signing::SignOptions options = valid();
    options.binary_hash = recorded;
    const VerifyResult r = devVerifier().verifyFile(signedElf("tool", options));
    EXPECT_EQ(r.error_code, -15) << "binary_hash \"" << recorded << "\"";
  }
}

TEST_F(FileVerifierTest, WindowAndKeyFailuresKeepTheIdentity) {
  VerifyResult r = devVerifier().verifyFile(signedElf("expired", ended()));
  EXPECT_EQ(r.error_code, -9);
  EXPECT_EQ(r.error_message, "Certificate expired");
  EXPECT_EQ(r.developer, "Dev One");
  r = devVerifier().verifyFile(signedElf("other", valid(), &otherKey()));
  EXPECT_EQ(r.error_code, -8);
  EXPECT_EQ(r.error_message, "Signature verification failed");
  // Without a key only the window and the content are checked.
  r = Verifier(VerifyOptions{}).verifyFile(dir_ / "other");
  EXPECT_TRUE(r.is_valid);
}

TEST_F(FileVerifierTest, ElfWithoutReadableSectionIgnoresDetachedDocument) {
  // An unsigned ELF file with a valid detached document beside it.
  const fs::path plain = dir_ / "plain";
  fs::copy_file(BNQ_FIXTURE_ELF, plain);
  signing::signFile(plain, devKey(), valid());
  // Magic bytes libelf cannot read beyond.
  const fs::path broken = dir_ / "broken";
  testing::writeFile(broken, std::string("\x7f" "ELF\x09\x09\x09", 7) + std::string(200, 'x'));
  // A ".tolsec" section of size 0.
  const fs::path empty_section = dir_ / "empty-section";
  testing::writeFile(dir_ / "nothing", "");
  ASSERT_EQ(std::system(("objcopy --add-section .tolsec=" + (dir_ / "nothing").string() + " " +
                         plain.string() + " " + empty_section.string()).c_str()),
            0);
  for (const fs::path& p : {plain, broken, empty_section}) {
    const VerifyResult r = devVerifier().verifyFile(p);
    EXPECT_EQ(r.error_code, -12) << p;
    EXPECT_EQ(r.error_message, "No signature section found") << p;
    EXPECT_EQ(r.skill_id, "") << p;
  }
}

// The section header is the file's word: a section reaching past the end of the file, or larger than any
// real signature, is refused before anything is allocated; one ending exactly at the end is read.
TEST_F(FileVerifierTest, SectionBoundsComeFromTheFile) {
  const fs::path signed_file = signedElf("signed", valid());
  const std::string content = testing::readBytes(signed_file);
  const testing::SectionInfo tolsec = testing::section(testing::elfLayout(signed_file), ".tolsec");
  const std::string section_bytes = content.substr(tolsec.offset, tolsec.size);
  const uint64_t sh_offset = tolsec.header_offset + 24, sh_size = tolsec.header_offset + 32;

  // Moved to the very end of the file: accepted, and the section still never enters the hash.
  fs::copy_file(signed_file, dir_ / "at-end");
  testing::writeFile(dir_ / "at-end", content + section_bytes);
  testing::patchU64(dir_ / "at-end", sh_offset, content.size());
  EXPECT_TRUE(devVerifier().verifyFile(dir_ / "at-end").is_valid);

  struct Case {
    const char* what;
    uint64_t offset, size, file_size;
  };
  const Case cases[] = {
      {"one byte past the end", content.size(), tolsec.size + 1, 0},
      {"offset past the end", content.size() + 1, 1, 0},
      {"size near 2^64", tolsec.offset, ~uint64_t{0} - 8, 0},
      {"larger than 1 MiB inside a sparse file", tolsec.offset, (uint64_t{1} << 20) + 1, uint64_t{64} << 20},
  };
  for (const Case& c : cases) {
    const fs::path p = dir_ / "bounds";
    testing::writeFile(p, content + section_bytes);
    if (c.file_size) fs::resize_file(p, c.file_size);
    testing::patchU64(p, sh_offset, c.offset);
    testing::patchU64(p, sh_size, c.size);
    Verifier verifier = devVerifier();
    EXPECT_FALSE(verifier.extractFromSection(p).has_value()) << c.what;
    EXPECT_EQ(verifier.verifyFile(p).error_message, "No signature section found") << c.what;
  }
}

TEST_F(FileVerifierTest, FirstOfTwoSignatureSectionsCountsAndNeitherIsHashed) {
  // Both sections are added as placeholders before hashing (adding a section may renumber the others),
  // one of them as ".tolsed", renamed in the name table. The first in header order is then filled with
  // valid data over the file's hash, the second with data whose window has ended.
  signing::SignOptions good = valid(), bad = ended();
  good.signed_at = bad.signed_at = testing::atSeconds(1700000000);
  const size_t size = signing::makeSignatureData(devKey(), good, std::string(64, '0')).serialize().size();
  const std::vector<uint8_t> bad_bytes = signing::makeSignatureData(devKey(), bad, std::string(64, '1')).serialize();
  ASSERT_EQ(bad_bytes.size(), size);
  testing::writeFile(dir_ / "placeholder", std::string(size, '\0'));
  const fs::path both = dir_ / "both";
  const std::string placeholder = (dir_ / "placeholder").string();
  ASSERT_EQ(std::system(("objcopy --add-section .tolsec=" + placeholder + " --add-section .tolsed=" + placeholder +
                         " " BNQ_FIXTURE_ELF " " + both.string()).c_str()),
            0);
  testing::patchBytes(both, testing::section(testing::elfLayout(both), ".tolsed").name_offset + 6, "c");
  std::vector<testing::SectionInfo> tolsec;
  for (const testing::SectionInfo& s : testing::elfLayout(both).sections) {
    if (s.name == ".tolsec") tolsec.push_back(s);
  }
  ASSERT_EQ(tolsec.size(), 2u);
  const SignatureData first = signing::makeSignatureData(devKey(), good, computeElfContentHash(both));
  const std::vector<uint8_t> first_bytes = first.serialize();
  ASSERT_EQ(first_bytes.size(), size);
  testing::patchBytes(both, tolsec[0].offset, std::string(first_bytes.begin(), first_bytes.end()));
  testing::patchBytes(both, tolsec[1].offset, std::string(bad_bytes.begin(), bad_bytes.end()));

  Verifier verifier = devVerifier();
  const std::optional<SignatureData> read = verifier.extractFromSection(both);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->signature, first.signature);
  EXPECT_TRUE(verifier.verifyFile(both).is_valid) << "neither section enters the hash";
}

TEST_F(FileVerifierTest, DetachedSignatureOfOtherFiles) {
  const fs::path file = dir_ / "data.bin";
  testing::writeFile(file, "some content");
  signing::signFile(file, devKey(), valid());
  EXPECT_TRUE(devVerifier().verifyFile(file).is_valid);

  testing::writeFile(file, "other content");
  VerifyResult r = devVerifier().verifyFile(file);
  EXPECT_EQ(r.error_code, -15);
  EXPECT_EQ(r.error_message, "File content has changed since signing");
  EXPECT_EQ(r.skill_id, "skill.one");
  EXPECT_EQ(r.pubkey_hash, crypto::PublicKey::fromPrivateKey(devKey()).getHash());

  // An empty binary_hash passes on the signature alone; a capital-letter hash never matches.
  signing::SignOptions options = valid();
  options.binary_hash = "";
  signing::signFile(file, devKey(), options);
  testing::writeFile(file, "anything at all");
  EXPECT_TRUE(devVerifier().verifyFile(file).is_valid);
  options.binary_hash = upper(crypto::computeFileHash(file, HashAlgorithm::SHA256));
  signing::signFile(file, devKey(), options);
  EXPECT_EQ(devVerifier().verifyFile(file).error_code, -15);
}

TEST_F(FileVerifierTest, DetachedDocumentLiesAtTheFullPathPlusSig) {
  const fs::path archive = dir_ / "b.tar.gz";
  testing::writeFile(archive, "archive");
  signing::signFile(archive, devKey(), valid());
  EXPECT_TRUE(fs::exists(dir_ / "b.tar.gz.sig"));
  EXPECT_TRUE(devVerifier().verifyFile(archive).is_valid);

  const fs::path other = dir_ / "x.bin";
  testing::writeFile(other, "x");
  signing::signFile(other, devKey(), valid());
  fs::rename(dir_ / "x.bin.sig", dir_ / "x.bin.signed.sig");
  EXPECT_EQ(devVerifier().verifyFile(other).error_message, "No signature file found (.signed.sig)");

  // Files of fewer than four bytes are never ELF files, even when they begin like one.
  for (const std::string& content : {std::string(), std::string("\x7f"), std::string("\x7f" "EL")}) {
    testing::writeFile(dir_ / "short", content);
    EXPECT_EQ(devVerifier().verifyFile(dir_ / "short").error_message, "No signature file found (.signed.sig)");
  }
}

TEST_F(FileVerifierTest, SignatureDocumentReadingRules) {
  const fs::path file = dir_ / "f.txt";
  testing::writeFile(file, "text");
  const SignatureData data = signing::signFile(file, devKey(), valid());
  const Json::Value doc = signing::signatureDocument(data);
  const std::string text = canonicalJson(doc);
  auto without = [&](const char* member) {
    Json::Value copy = doc;
    copy.removeMember(member);
    return canonicalJson(copy);
  };
  auto with = [&](const char* member, const Json::Value& value) {
    Json::Value copy = doc;
    copy[member] = value;
    return canonicalJson(copy);
  };
  struct Case {
    const char* what;
    std::string document;
    int32_t code;
  };
  const Case cases[] = {
      {"comments and a trailing comma", "// signed\n/* doc */" + text.substr(0, text.size() - 2) + ",\n}", 0},
      {"text after the value", text + " trailing", 0},
      {"no version", without("version"), 0},
      {"root is an array", "[" + text + "]", -12},
      {"version is a text", with("version", "2"), -12},
      {"signature not hex", with("signature", "zz" + doc["signature"].asString()), -12},
      {"signature an array", with("signature", Json::Value(Json::arrayValue)), -12},
      {"payload not an object", with("payload", 5), -12},
      {"no signature", without("signature"), -8},
      {"no payload", without("payload"), -9},
      {"null", "null", -9},
      {"not JSON", "{", -12},
  };
  for (const Case& c : cases) {
    testing::writeFile(dir_ / "f.txt.sig", c.document);
    const VerifyResult r = devVerifier().verifyFile(file);
    EXPECT_EQ(r.error_code, c.code) << c.what << ": " << r.error_message;
  }
  testing::writeFile(dir_ / "f.txt.sig", without("version"));
  EXPECT_EQ(devVerifier().loadFromSigFile(file)->version, 1u);
  testing::writeFile(dir_ / "f.txt.sig", with("version", -1));
  EXPECT_EQ(devVerifier().loadFromSigFile(file)->version, 4294967295u);
}

TEST_F(FileVerifierTest, UnreadableFileAndUnreadableDocumentStatus) {
  const fs::path elf = signedElf("tool", valid());
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(elf, fs::perms::none);
  // A readable file whose document exists but may not be read has no signature.
  const fs::path plain = dir_ / "plain.txt";
  testing::writeFile(plain, "x");
  signing::signFile(plain, devKey(), valid());
  fs::permissions(plain, fs::perms::owner_read | fs::perms::others_read);
  fs::permissions(dir_ / "plain.txt.sig", fs::perms::none);
  EXPECT_EQ(testing::inUnprivilegedChild([&] {
              const VerifyResult r = devVerifier().verifyFile(elf);
              const VerifyResult d = devVerifier().verifyFile(plain);
              return r.error_code == -4 && r.error_message == "Cannot open file" && d.error_code == -12 ? 0 : 1;
            }),
            0);

  // A status that cannot be read for another reason than absence is raised: a loop of links.
  testing::writeFile(dir_ / "loop.txt", "x");
  fs::create_symlink("loop.txt.sig", dir_ / "loop.txt.sig");
  EXPECT_THROW(devVerifier().verifyFile(dir_ / "loop.txt"), fs::filesystem_error);
}

TEST_F(FileVerifierTest, PipesAreNeverReadToTheEnd) {
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO named as the document is no document; a FIFO as the file is not an ELF file and is never hashed.
  testing::writeFile(dir_ / "doc.txt", "x");
  ASSERT_EQ(mkfifo((dir_ / "doc.txt.sig").c_str(), 0600), 0);
  EXPECT_EQ(devVerifier().verifyFile(dir_ / "doc.txt").error_code, -12);
  testing::writeFile(dir_ / "pipe.sig", canonicalJson(signing::signatureDocument(
                                            signing::makeSignatureData(devKey(), valid(), "abc"))));
  EXPECT_EQ(devVerifier().verifyFile(fifo).error_code, -15);
}

// A FIFO swapped in for the document between a look at its name and the open is no document either; the
// reader comes back at once rather than wait for a writer.
TEST_F(FileVerifierTest, DocumentSwappedForAFifoNeverBlocks) {
  const fs::path file = dir_ / "f.txt";
  testing::writeFile(file, "text");
  signing::signFile(file, devKey(), valid());
  const fs::path document = dir_ / "f.txt.sig";
  const auto readWhileSwapped = [&] {
    testing::FifoSwapper swapper(document);
    for (int i = 0; i < 20000; ++i) (void)readSignatureDocument(document);
    return 0;
  };
  EXPECT_EQ(testing::exitCodeWithin(std::chrono::seconds(10), readWhileSwapped), 0);
}

}  // namespace
}  // namespace bnq::sign
