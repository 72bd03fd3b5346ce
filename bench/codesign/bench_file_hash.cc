// Times crypto::computeFileHash (SHA-256) of a 256 MiB file against OpenSSL's own `openssl dgst -sha256` of
// the same file, in turn, and prints the medians and their ratio.
//
// Usage: bench_file_hash [--runs N]     makes the file in a temporary directory, runs both N times (default 9)
//        bench_file_hash --file PATH    prints computeFileHash of PATH once (for timing whole processes)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codeSign/src/crypto.h"

namespace {

namespace crypto = bnq::sign::crypto;
namespace bench = bnq::sign::bench;

constexpr size_t kFileSize = size_t{256} << 20;

void makeFile(const std::filesystem::path& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  bench::writePseudoRandom(out, kFileSize);
  if (!out) throw std::runtime_error("cannot write the benchmark file");
}

// The digest that `openssl dgst -sha256 -r` prints for `path`, empty when the command fails.
std::string opensslDigest(const std::filesystem::path& path) {
  const std::string command = "openssl dgst -sha256 -r '" + path.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  if (!read || status != 0) return "";
  return std::string(line, strcspn(line, " \n"));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--file" && i + 1 < argc) {
      const std::string digest = crypto::computeFileHash(argv[i + 1], bnq::sign::HashAlgorithm::SHA256);
      std::printf("%s\n", digest.c_str());
      return digest.empty() ? 1 : 0;
    }
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] | --file PATH\n", argv[0]);
      return 2;
    }
  }

  try {
    const brannic_test::TempDir dir("bench-file-hash");
    const std::filesystem::path file = dir / "data.bin";
    makeFile(file);
    // One untimed pass each: the file is then in the page cache, and both results must agree.
    const std::string ours = crypto::computeFileHash(file, bnq::sign::HashAlgorithm::SHA256);
    const std::string theirs = opensslDigest(file);
    if (ours.empty() || ours != theirs) {
      std::fprintf(stderr, "digests differ: computeFileHash %s, openssl %s\n", ours.c_str(), theirs.c_str());
      return 1;
    }
    const bench::Medians m = bench::compareInTurn(
        runs, [&] { crypto::computeFileHash(file, bnq::sign::HashAlgorithm::SHA256); }, [&] { opensslDigest(file); });
    const double mib = static_cast<double>(kFileSize) / (1 << 20);
    std::printf("SHA-256 of a %.0f MiB file, %d runs each, in turn (the openssl figure includes its start-up)\n",
                mib, runs);
    std::printf("  computeFileHash        median %.3f s  (%.0f MiB/s)\n", m.ours, mib / m.ours);
    std::printf("  openssl dgst -sha256   median %.3f s  (%.0f MiB/s)\n", m.theirs, mib / m.theirs);
    std::printf("  ratio computeFileHash / openssl: median %.3f\n", m.ratio);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
