#!/usr/bin/env bash
# Builds what the thread sanitizer run needs, and only that: the agent and the
# simulator's two programs with ThreadSanitizer (the SNMP libraries, opened at
# run time, stay uninstrumented), and the base MIB modules beside them.
# Usage: tests/build_tsan.sh [build-dir]   (after scripts/setup.sh build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-tsan}
cmake -S "$here" -B "$build" -G Ninja -DTNMIBD_TSAN=ON -DTNMIBD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target tnmibd tarnsim tncfgdump
mkdir -p "$build/base-mibs"
cp "$here"/build/base-mibs/*.txt "$build/base-mibs/"
