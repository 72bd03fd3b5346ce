#!/usr/bin/env bash
# Builds the project with clang under AddressSanitizer and UndefinedBehaviorSanitizer, with the
# libFuzzer targets, and runs the C++ tests there.
# Usage: scripts/sanitize.sh [build-dir]   (default: build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-asan}
werror=OFF
[ -n "${CI:-}" ] && werror=ON
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug \
  -DBRANNIC_SANITIZE=ON -DBRANNIC_FUZZ=ON -DBRANNIC_BENCH=OFF -DBRANNIC_WERROR="$werror"
cmake --build "$build_dir" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Tests that load the addon into Node cannot run against a sanitizer build of it.
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" -LE needs_plain_build
