// Times crypto::computeFileHash (SHA-256) of a 256 MiB file against OpenSSL's own `openssl dgst -sha256` of
// the same file, in turn, and prints the medians and their ratio.
//
// Usage: bench_file_hash [--runs N]     makes the file in a temporary directory, runs both N times (default 9)
//        bench_file_hash --file PATH    prints computeFileHash of PATH once (for timing whole processes)
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
using Clock = std::chrono::steady_clock;

constexpr size_t kFileSize = size_t{256} << 20;

void makeFile(const std::filesystem::path& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  bnq::sign::bench::writePseudoRandom(out, kFileSize);
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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double secondsOf(F&& run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - start).count();
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

  std::string dir_template = (std::filesystem::temp_directory_path() / "bench-file-hash-XXXXXX").string();
  if (!mkdtemp(dir_template.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = dir_template;
  const std::filesystem::path file = dir / "data.bin";
  int status = 0;
  try {
    makeFile(file);
    // One untimed pass each: the file is then in the page cache, and both results must agree.
    const std::string ours = crypto::computeFileHash(file, bnq::sign::HashAlgorithm::SHA256);
    const std::string theirs = opensslDigest(file);
    if (ours.empty() || ours != theirs) {
      std::fprintf(stderr, "digests differ: computeFileHash %s, openssl %s\n", ours.c_str(), theirs.c_str());
      status = 1;
    } else {
      std::vector<double> ours_s, theirs_s, ratios;
      for (int i = 0; i < runs; ++i) {
        const double a = secondsOf([&] { crypto::computeFileHash(file, bnq::sign::HashAlgorithm::SHA256); });
        const double b = secondsOf([&] { opensslDigest(file); });
        ours_s.push_back(a);
        theirs_s.push_back(b);
        ratios.push_back(a / b);
      }
      const double mib = static_cast<double>(kFileSize) / (1 << 20);
      std::printf("SHA-256 of a %.0f MiB file, %d runs each, in turn (the openssl figure includes its start-up)\n",
                  mib, runs);
      std::printf("  computeFileHash        median %.3f s  (%.0f MiB/s)\n", median(ours_s), mib / median(ours_s));
      std::printf("  openssl dgst -sha256   median %.3f s  (%.0f MiB/s)\n", median(theirs_s),
                  mib / median(theirs_s));
      std::printf("  ratio computeFileHash / openssl: median %.3f\n", median(ratios));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
