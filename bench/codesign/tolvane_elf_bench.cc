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
using sign::bench::median;
using sign::bench::secondsOf;

constexpr size_t kDataSize = size_t{128} << 20;

sign::crypto::PublicKey devPublicKey() {
  return sign::crypto::PublicKey::fromPrivateKey(sign::signing::loadPrivateKey(BNQ_DEV_PRIVATE_KEY));
}

// This program with a 128 MiB section of pseudo-random data added, signed with the development key.
void makeSignedElf(const fs::path& out) {
  const fs::path data = out.string() + ".data";
  {
    std::ofstream f(data, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1 << 17);
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (size_t written = 0; written < kDataSize; written += block.size() * 8) {
      for (uint64_t& word : block) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state;
      }
      f.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
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
  int runs = 9;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--check" && i + 1 < argc) return check(argv[i + 1]) ? 0 : 1;
      if (arg == "--make" && i + 1 < argc) {
        makeSignedElf(argv[i + 1]);
        return 0;
      }
      if (arg == "--runs" && i + 1 < argc) {
        runs = std::max(1, std::atoi(argv[++i]));
      } else {
        std::fprintf(stderr, "usage: %s [--runs N] | --make PATH | --check PATH\n", argv[0]);
        return 2;
      }
    }
    const sign::bench::ScratchDir dir("bench-tolvane-elf");
    const fs::path elf = dir.path() / "signed.elf";
    makeSignedElf(elf);
    // One untimed pass each: the file is then in the page cache, and the check must pass.
    if (!check(elf) || !sign::bench::runQuietly({"openssl", "dgst", "-sha256", elf.string()})) {
      std::fprintf(stderr, "the signed file does not verify, or openssl failed\n");
      return 1;
    }
    std::vector<double> ours, theirs, ratios;
    for (int i = 0; i < runs; ++i) {
      const double a = secondsOf([&] { check(elf); });
      const double b = secondsOf([&] { sign::bench::runQuietly({"openssl", "dgst", "-sha256", elf.string()}); });
      ours.push_back(a);
      theirs.push_back(b);
      ratios.push_back(a / b);
    }
    std::printf("isTolvaneSign on a signed %zu MiB ELF file, %d runs each, in turn (openssl includes its start-up)\n",
                fs::file_size(elf) >> 20, runs);
    std::printf("  isTolvaneSign          median %.3f s\n", median(ours));
    std::printf("  openssl dgst -sha256   median %.3f s\n", median(theirs));
    std::printf("  ratio isTolvaneSign / openssl: median %.3f (goal <= 1.2)\n", median(ratios));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
