#!/usr/bin/env bash
# Runs the command-cycle benchmark inside the sandbox (it needs the daemon's
# fixed socket path). Usage: bench/bench_conn.sh [build-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
exec "$here/tests/sandbox.sh" "$build/bench/bench_conn"
