#!/usr/bin/env bash
# Builds the macOS flavour of the daemon client and of the RPC layer's sockets (on Linux: over their
# stand-ins) and runs the client tests and the RPC layer's tests against it. Only those tests and what they
# need are built.
# Usage: scripts/test-macos-flavour.sh [build-dir]   (default: build-macos)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-macos}
cmake -S . -B "$build_dir" -DBRANNIC_CLIENT_FLAVOUR=macos -DBRANNIC_WERROR=ON -DBRANNIC_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target client_tests rcf_tests rcf_darwin_tests
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" -R '^(client|rcf)\.'
