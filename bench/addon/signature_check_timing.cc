// Times isTolvaneSign with the built-in key on one file, as the peer check runs it.
// Usage: bench_addon_signature_check FILE [RUNS]   -> prints the median in nanoseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "codeSign/src/tolvane_check.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const long runs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 200;
  if (runs <= 0) return 2;
  std::vector<long long> ns(static_cast<size_t>(runs));
  for (auto& t : ns) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = bnq::sign::isTolvaneSign(argv[1], std::optional<bnq::sign::crypto::PublicKey>());
    t = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    if (!result.is_valid) {
      std::fprintf(stderr, "%s: %s\n", argv[1], result.error_message.c_str());
      return 1;
    }
  }
  std::nth_element(ns.begin(), ns.begin() + runs / 2, ns.end());
  std::printf("%lld\n", ns[static_cast<size_t>(runs / 2)]);
  return 0;
}
