// Times isTolvaneSign on a signed 128 MiB ELF file against `openssl dgst -sha256` of the same file, in
// turn, and prints the medians and their ratio (goal: at most 1.2).
//
// Usage: bench_tolvane_elf [--runs N]     builds and signs the file in a temporary directory (needs about
//                                         256 MiB there, and objcopy), runs both N times (default 9)
//        bench_tolvane_elf --make PATH    only builds and signs the file at PATH
//        bench_tolvane_elf --check PATH   runs isTolvaneSign on PATH once (for timing whole processes);
//                                         exit 0 when valid
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codeSign/src/tolvane_check.h"
#include "signing.h"

namespace {

namespace fs = std::filesystem;
namespace sign = bnq::sign;

constexpr size_t kDataSize = size_t{128} << 20;

sign::crypto::PublicKey devPublicKey() {
  return sign::crypto::PublicKey::fromPrivateKey(sign::signing::loadPrivateKey(BNQ_DEV_PRIVATE_KEY));
}

// This program with a 128 MiB section of pseudo-random data added, signed with the development key.
void makeSignedElf(const fs::path& out) {
  const fs::path data = out.string() + ".data";
  {
    std::ofstream f(data, std::ios::binary | std::ios::trunc);
    sign::bench::writePseudoRandom(f, kDataSize);
    if (!f) throw std::runtime_error("cannot write the section data");
  }
  const fs::path unsigned_elf = out.string() + ".unsigned";
  const bool ok = sign::bench::runQuietly(
      {"objcopy", "--add-section", ".bench_data=" + data.string(), "/proc/self/exe", unsigned_elf.string()});
  fs::remove(data);
  if (!ok) throw std::runtime_error("objcopy failed");
  sign::signing::SignOptions options;
  options.certificate = sign::signing::certificateFor("bench", "bench", 3600, 3600);
  sign::signing::signElf(unsigned_elf, out, sign::signing::loadPrivateKey(BNQ_DEV_PRIVATE_KEY), options);
  fs::remove(unsigned_elf);
}

bool check(const fs::path& path) { return sign::isTolvaneSign(path, devPublicKey()).is_valid; }

}  // namespace

int main(int argc, char** argv) {
  return sign::bench::runCheckBench(argc, argv, makeSignedElf, check, [](int runs) {
    const brannic_test::TempDir dir("bench-tolvane-elf");
    const fs::path elf = dir.path() / "signed.elf";
    makeSignedElf(elf);
    // One untimed pass each: the file is then in the page cache, and the check must pass.
    if (!check(elf) || !sign::bench::runQuietly({"openssl", "dgst", "-sha256", elf.string()})) {
      std::fprintf(stderr, "the signed file does not verify, or openssl failed\n");
      return 1;
    }
    const sign::bench::Medians m = sign::bench::compareInTurn(
        runs, [&] { check(elf); }, [&] { sign::bench::runQuietly({"openssl", "dgst", "-sha256", elf.string()}); });
    std::printf("isTolvaneSign on a signed %zu MiB ELF file, %d runs each, in turn (openssl includes its start-up)\n",
                fs::file_size(elf) >> 20, runs);
    std::printf("  isTolvaneSign          median %.3f s\n", m.ours);
    std::printf("  openssl dgst -sha256   median %.3f s\n", m.theirs);
    std::printf("  ratio isTolvaneSign / openssl: median %.3f (goal <= 1.2)\n", m.ratio);
    return 0;
  });
}
