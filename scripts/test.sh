#!/usr/bin/env bash
# Runs every test: the C++ tests through ctest, then the JavaScript tests through Node's test runner.
# Usage: scripts/test.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
status=0
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" || status=1
BRANNIC_BUILD_DIR="$build_dir" node scripts/run-js-tests.js || status=1
exit $status
