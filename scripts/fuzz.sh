#!/usr/bin/env bash
# Runs each libFuzzer target built by scripts/sanitize.sh for a bounded time.
# Usage: scripts/fuzz.sh [seconds-per-target] [build-dir]   (defaults: 30, build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build_dir=${2:-build-asan}
shopt -s nullglob
targets=("$build_dir"/fuzz/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets built in $build_dir"
  exit 0
fi
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus=$(mktemp -d)
  seeds="fuzz/corpus/${name#fuzz_}"
  built_seeds="$build_dir/fuzz/corpus/${name#fuzz_}"   # seeds the build makes (signed ELF files)
  echo "== $name (${seconds}s)"
  args=(-max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 "$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  [ -d "$built_seeds" ] && args+=("$built_seeds")
  log=$(mktemp)
  if ! "$t" "${args[@]}" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz: $name failed" >&2
    exit 1
  fi
  tail -n 2 "$log"
  rm -rf "$corpus" "$log"
done
