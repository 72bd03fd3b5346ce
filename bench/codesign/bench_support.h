// Small helpers shared by the codeSign benchmarks: timing, medians, running a command without a shell, and
// (from the tests' support) TempDir for a scratch directory.
#ifndef BRANNIC_BENCH_CODESIGN_BENCH_SUPPORT_H_
#define BRANNIC_BENCH_CODESIGN_BENCH_SUPPORT_H_

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace bnq::sign::bench {

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double secondsOf(F&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs argv[0] (looked up in PATH) in `cwd` with its output discarded; true when it exits with 0.
inline bool runQuietly(const std::vector<std::string>& argv, const std::filesystem::path& cwd = ".") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(127);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The common command line of the check benchmarks: [--runs N] | --make PATH | --check PATH.
struct CheckBenchArgs {
  int runs = 9;
  enum class Mode { kCompare, kMake, kCheck } mode = Mode::kCompare;
  std::string path;
};
// Parses it; false (after a usage line on standard error) for anything else.
inline bool parseCheckBenchArgs(int argc, char** argv, CheckBenchArgs& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--make" || arg == "--check") && i + 1 < argc) {
      args.mode = arg == "--make" ? CheckBenchArgs::Mode::kMake : CheckBenchArgs::Mode::kCheck;
      args.path = argv[++i];
    } else if (arg == "--runs" && i + 1 < argc) {
      args.runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] | --make PATH | --check PATH\n", argv[0]);
      return false;
    }
  }
  return true;
}

// Times `ours` and `theirs` in turn, `runs` times each, and gives the medians of both and of their ratio.
struct Medians {
  double ours, theirs, ratio;
};
template <typename A, typename B>
Medians compareInTurn(int runs, A&& ours, B&& theirs) {
  std::vector<double> a, b, ratios;
  for (int i = 0; i < runs; ++i) {
    a.push_back(secondsOf(ours));
    b.push_back(secondsOf(theirs));
    ratios.push_back(a.back() / b.back());
  }
  return {median(a), median(b), median(ratios)};
}

// The entry of the check benchmarks: `--make PATH` runs make(PATH), `--check PATH` gives 0 when check(PATH)
// passes, and otherwise compare(runs) times the check against its baseline and gives the exit status. A
// usage error gives 2; an exception is printed and gives 1.
template <typename Make, typename Check, typename Compare>
int runCheckBench(int argc, char** argv, Make&& make, Check&& check, Compare&& compare) {
  CheckBenchArgs args;
  if (!parseCheckBenchArgs(argc, argv, args)) return 2;
  try {
    switch (args.mode) {
      case CheckBenchArgs::Mode::kCheck:
        return check(args.path) ? 0 : 1;
      case CheckBenchArgs::Mode::kMake:
        make(args.path);
        return 0;
      case CheckBenchArgs::Mode::kCompare:
        return compare(args.runs);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return 1;
}

// `size` bytes of xorshift output (a multiple of 8), written 1 MiB at a time.
inline void writePseudoRandom(std::ostream& out, size_t size) {
  std::vector<uint64_t> block(1 << 17);
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  for (size_t written = 0; written < size; written += block.size() * sizeof(uint64_t)) {
    for (uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
  }
}

}  // namespace bnq::sign::bench

#endif  // BRANNIC_BENCH_CODESIGN_BENCH_SUPPORT_H_
