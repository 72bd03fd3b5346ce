#!/usr/bin/env bash
# One-time set-up on Debian 12, as root: system packages, Node.js, npm packages, configure and build.
# Usage: scripts/setup.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}

packages=(
  build-essential cmake pkg-config git ca-certificates
  libssl-dev openssl libjsoncpp-dev libelf-dev binutils
  googletest libgtest-dev libgmock-dev
  clang-14 libclang-rt-14-dev
)
need_node=0
command -v node >/dev/null 2>&1 || need_node=1
command -v npm >/dev/null 2>&1 || need_node=1
[ "$need_node" = 1 ] && packages+=(nodejs npm)

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${packages[@]}"

napi=$(node -p 'Number(process.versions.napi || 0)')
if [ "$napi" -lt 6 ]; then
  echo "setup: Node.js $(node --version) offers Node-API $napi; 6 or later is needed" >&2
  exit 1
fi

npm ci --no-audit --no-fund

werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANNIC_WERROR="$werror"
cmake --build "$build_dir" -j "$(nproc)"
