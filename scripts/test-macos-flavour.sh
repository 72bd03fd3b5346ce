#!/usr/bin/env bash
# Builds the macOS flavour of the daemon client (on Linux: over its stand-in platform layer) and runs the
# client tests against it. Only the client tests and what they need are built.
# Usage: scripts/test-macos-flavour.sh [build-dir]   (default: build-macos)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-macos}
cmake -S . -B "$build_dir" -DBRANNIC_CLIENT_FLAVOUR=macos -DBRANNIC_WERROR=ON -DBRANNIC_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target client_tests
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" -R '^client\.'
