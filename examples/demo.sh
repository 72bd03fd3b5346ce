#!/usr/bin/env bash
# Starts the signed stand-in Tolvane daemon at the real paths, calls each function of brannic.node from Node
# and prints what came back, then stops the daemon. Run as root after scripts/setup.sh.
# Usage: examples/demo.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
daemon="$build_dir/tests/daemon/Tolvane/tolvane_daemon"
socket=/tmp/tolvane_rpc_service.sock
pid_file=/var/.data/Tolvane/run/Tolvane.pid

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (the daemon's socket and pid file live at system paths)" >&2
  exit 1
fi
if [ ! -x "$daemon" ]; then
  echo "demo: $daemon not found; run scripts/setup.sh first" >&2
  exit 1
fi

"$daemon" --socket "$socket" --pid-file "$pid_file" \
  --data '6={"sessionId":"demo-session-0001","signalResult":"clean"}' --data 3=demo-identity-token &
daemon_pid=$!
trap 'kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -S "$socket" ] && break
  sleep 0.05
done
echo "stand-in daemon running as pid $daemon_pid ($daemon)"
BRANNIC_BUILD_DIR="$build_dir" node examples/demo.js
