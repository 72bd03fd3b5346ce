// What an ELF check costs, whatever its section headers claim: memory by a small constant, time by one pass
// over the file. Figures are taken from the signing tool's `check`, run in a child process of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "codeSign/src/internal/elf_file.h"
#include "elf_support.h"
#include "signing_fixture.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr long kPeakLimitKiB = 64 * 1024;

using testing::ChildUse;

// Runs `argv` (looked up in PATH) with its output in `output`, in a child of a child (testing::useOfChild).
// Linux counts in the peak also what that child, a copy of this test, held before its exec, so the figure
// is at most that much above the program's own. The time is the wall time of the whole.
ChildUse measure(const std::vector<std::string>& argv, const fs::path& output) {
  return testing::useOfChild([&] {
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out < 0 || null < 0 || dup2(out, 1) < 0 || dup2(null, 2) < 0) return 126;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    return 127;
  });
}

class ElfCostTest : public testing::SigningTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(crypto::PublicKey::fromPrivateKey(devKey()).saveToFile(public_key_.string()), ErrorCode::SUCCESS);
  }

  // The signing tool's `check` of `path`, with its JSON result.
  ChildUse check(const fs::path& path, Json::Value& result) {
    const fs::path output = dir_ / "check.json";
    const ChildUse run = measure({BNQ_SIGN_TOOL, "check", "--public-key", public_key_.string(), path.string()}, output);
    result = testing::parse(testing::readBytes(output));
    return run;
  }

  // `check` must take at most 1.5 times one `openssl dgst -sha256` of the file (each with its start-up; the
  // better of three tries, on a busy machine) and less than kPeakLimitKiB at its peak.
  void expectCheapCheck(const fs::path& path, int32_t error_code) {
    ChildUse best;
    double ratio = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const ChildUse openssl = measure({"openssl", "dgst", "-sha256", path.string()}, dir_ / "openssl.out");
      ASSERT_EQ(openssl.status, 0);
      Json::Value result;
      const ChildUse run = check(path, result);
      EXPECT_EQ(run.status, 1) << path;
      EXPECT_EQ(result["error_code"].asInt(), error_code) << path;
      best = run;
      ratio = run.seconds / std::max(openssl.seconds, 0.05);
      if (ratio <= 1.5 || run.peak_kib >= kPeakLimitKiB) break;
    }
    EXPECT_LT(best.peak_kib, kPeakLimitKiB) << path;
    EXPECT_LE(ratio, 1.5) << path << ": " << best.seconds << " s";
    std::printf("  %s: peak %ld KiB, %.3f s, %.2f x openssl\n", path.filename().c_str(), best.peak_kib, best.seconds,
                ratio);
  }

  const fs::path public_key_ = dir_ / "dev.pub";
};

// Two signed programs made hostile, each a sparse file of 1 GiB: one claims about 16.7 million section
// headers through extended numbering (e_shnum 0, the count in section 0's sh_size) and is refused before
// libelf makes a descriptor for each; in the other, ".comment" is a note of nearly 1 GiB, which is streamed
// from the file like every other section of the host's byte order.
TEST_F(ElfCostTest, HostileFilesOfOneGibCostLittleMemoryAndOnePass) {
#ifdef BNQ_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtime changes the memory and the time of a check";
#endif
  const fs::path headers = signedElf("headers", valid());
  const uint64_t shoff = testing::elfLayout(headers).shdr_begin;
  const uint64_t count = (kGiB - shoff) / 64;
  ASSERT_GT(count, uint64_t{16'000'000});
  testing::claimSectionHeaders(headers, count);

  const fs::path note = signedElf("note", valid());
  const testing::SectionInfo comment = testing::section(testing::elfLayout(note), ".comment");
  const uint64_t note_offset = (fs::file_size(note) + 4095) & ~uint64_t{4095};
  testing::patchLE(note, comment.header_offset + 4, 4, SHT_NOTE);
  testing::patchU64(note, comment.header_offset + 24, note_offset);
  testing::patchU64(note, comment.header_offset + 32, kGiB - note_offset);
  fs::resize_file(note, kGiB);

  expectCheapCheck(headers, -12);  // no usable section table: "No signature section found"
  expectCheapCheck(note, -15);     // the comment's bytes changed
}

// The section count is refused above kMaxSectionCount, section 0 included, before libelf sees the file:
// at the bound a file is read as always (its hash is the one the definition gives), one more and it has no
// usable section table. Both counts need extended numbering.
TEST_F(ElfCostTest, SectionCountBound) {
  for (const uint64_t count : {kMaxSectionCount, kMaxSectionCount + 1}) {
    const fs::path elf = signedElf("count-" + std::to_string(count), valid());
    const size_t own = testing::elfLayout(elf).sections.size() + 1;
    // Sections without data, named by the name table's first byte: each adds a NUL to the hash.
    testing::appendNamedSectionHeaders(elf, 0, SHT_NOBITS, count - own);
    const bool within = count <= kMaxSectionCount;
    EXPECT_EQ(computeElfContentHash(elf), within ? testing::referenceContentHash(elf) : "") << count;
    EXPECT_EQ(readSignatureSection(elf).has_value(), within) << count;
    const VerifyResult r = devVerifier().verifyFile(elf);
    EXPECT_EQ(r.error_code, within ? -15 : -12) << count;
#ifndef BNQ_SANITIZED
    Json::Value result;
    const ChildUse run = check(elf, result);
    EXPECT_EQ(result["error_code"].asInt(), r.error_code) << count;
    EXPECT_LT(run.peak_kib, kPeakLimitKiB) << count;
    std::printf("  %llu sections: peak %ld KiB, %.3f s\n", static_cast<unsigned long long>(count), run.peak_kib,
                run.seconds);
#endif
  }
}

// In a file of the other byte order, libelf converts structured sections, notes and compressed sections,
// and keeps both copies: together they may hold kMaxConvertedSize bytes, and one more gives no hash. Plain
// bytes are streamed there too, at any size.
TEST_F(ElfCostTest, OtherByteOrderConvertsUpToTheBound) {
  ASSERT_EQ(testing::readBytes(BNQ_FIXTURE_BIG_ENDIAN_ELF).at(EI_DATA), ELFDATA2MSB);
  uint64_t converted = 0;
  for (const testing::SectionInfo& s : testing::elfLayout(BNQ_FIXTURE_BIG_ENDIAN_ELF).sections) {
    if (s.name == ".shstrtab" || s.type == SHT_NOBITS) continue;
    if ((s.flags & SHF_COMPRESSED) != 0 || (s.type != SHT_PROGBITS && s.type != SHT_STRTAB)) converted += s.size;
  }
  ASSERT_GT(converted, 0u);
  for (const uint64_t extra : {uint64_t{0}, uint64_t{1}}) {
    // A note that brings the converted sections to the bound, and plain bytes of twice the bound.
    testing::writeFile(dir_ / "note.bin", std::string(kMaxConvertedSize - converted + extra, '\0'));
    testing::writeFile(dir_ / "plain.bin", std::string(2 * kMaxConvertedSize, 'p'));
    const fs::path elf = dir_ / ("big-endian-" + std::to_string(extra));
    ASSERT_EQ(std::system(("objcopy -I elf64-big --add-section .note.big=" + (dir_ / "note.bin").string() +
                           " --add-section .plain=" + (dir_ / "plain.bin").string() + " " BNQ_FIXTURE_BIG_ENDIAN_ELF
                           " " + elf.string()).c_str()),
              0);
    ASSERT_EQ(testing::section(testing::elfLayout(elf), ".note.big").type, uint32_t{SHT_NOTE});
    EXPECT_EQ(computeElfContentHash(elf), extra == 0 ? testing::referenceContentHash(elf) : "") << extra;
  }
}

}  // namespace
}  // namespace bnq::sign
