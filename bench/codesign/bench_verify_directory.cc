// Times Verifier::verifyDirectory on a signed tree of 5000 small files against one `openssl dgst -sha256`
// process that hashes every file twice (the baseline the goal was set against; the check reads each listed
// file once and lists the tree), in turn, and prints the medians and their ratio (goal: at most 1.3).
//
// Usage: bench_verify_directory [--runs N]   builds and signs the tree in a temporary directory, runs both
//                                            N times (default 9)
//        bench_verify_directory --make DIR   only builds and signs the tree in DIR (which must not exist)
//        bench_verify_directory --check DIR  runs verifyDirectory on DIR once; exit 0 when valid
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codeSign/src/verifier.h"
#include "signing.h"

namespace {

namespace fs = std::filesystem;
namespace sign = bnq::sign;

constexpr int kDirectories = 50;
constexpr int kFilesPerDirectory = 100;

// 50 directories of 100 files, 200 to 4000 bytes each.
std::vector<std::string> makeTree(const fs::path& root) {
  std::vector<std::string> files;
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  for (int d = 0; d < kDirectories; ++d) {
    const std::string dir = "d" + std::to_string(d);
    fs::create_directories(root / dir);
    for (int f = 0; f < kFilesPerDirectory; ++f) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      const std::string name = dir + "/f" + std::to_string(f) + ".bin";
      std::ofstream out(root / name, std::ios::binary);
      const std::string content(200 + state % 3800, static_cast<char>('a' + state % 26));
      out << content;
      if (!out) throw std::runtime_error("cannot write " + name);
      files.push_back(name);
    }
  }
  sign::signing::SignOptions options;
  options.certificate = sign::signing::certificateFor("bench", "bench", 3600, 3600);
  sign::signing::signDirectory(root, sign::signing::loadPrivateKey(BNQ_DEV_PRIVATE_KEY), options, sign::SignConfig{});
  return files;
}

bool check(const fs::path& dir) {
  sign::VerifyOptions options;
  options.public_key =
      sign::crypto::PublicKey::fromPrivateKey(sign::signing::loadPrivateKey(BNQ_DEV_PRIVATE_KEY));
  return sign::Verifier(std::move(options)).verifyDirectory(dir).is_valid;
}

}  // namespace

int main(int argc, char** argv) {
  return sign::bench::runCheckBench(argc, argv, makeTree, check, [](int runs) {
    const brannic_test::TempDir scratch("bench-verify-directory");
    const fs::path root = scratch.path() / "tree";
    const std::vector<std::string> files = makeTree(root);
    std::vector<std::string> openssl = {"openssl", "dgst", "-sha256"};
    for (const std::string& f : files) {
      openssl.push_back(f);
      openssl.push_back(f);
    }
    if (!check(root) || !sign::bench::runQuietly(openssl, root)) {
      std::fprintf(stderr, "the signed tree does not verify, or openssl failed\n");
      return 1;
    }
    const sign::bench::Medians m = sign::bench::compareInTurn(
        runs, [&] { check(root); }, [&] { sign::bench::runQuietly(openssl, root); });
    std::printf("verifyDirectory on a signed tree of %zu files, %d runs each, in turn\n", files.size(), runs);
    std::printf("  verifyDirectory                     median %.3f s\n", m.ours);
    std::printf("  openssl dgst -sha256, each file 2x  median %.3f s\n", m.theirs);
    std::printf("  ratio verifyDirectory / openssl: median %.3f (goal <= 1.3)\n", m.ratio);
    return 0;
  });
}
