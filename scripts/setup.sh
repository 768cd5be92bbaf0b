#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building, testing and the
# demo, then builds the agent, the simulator, the tests and the benchmarks.
# Usage: scripts/setup.sh [build-dir] [extra cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true

packages=(build-essential cmake libgtest-dev libbenchmark-dev libsnmp-dev snmpd snmp snmptrapd
          libwrap0-dev libssl-dev smitools nlohmann-json3-dev python3-pytest python3-yaml
          util-linux iproute2 procps prometheus-snmp-exporter prometheus
          ninja-build debhelper dpkg-dev lintian mandoc man-db systemd
          clang libclang-rt-14-dev jq)
# Node.js may come from elsewhere than Debian; take Debian's only when there is none.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # The packaged snmpd/snmptrapd services are not wanted: tests and demo start their own.
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
  apt-get install -y -qq "${missing[@]}" >/dev/null
  rm -f /usr/sbin/policy-rc.d
fi

# The independent JavaScript manager; it also carries the standard base MIB modules.
if [ ! -d "$here/tests/js/node_modules/net-snmp" ]; then
  (cd "$here/tests/js" && npm install --no-audit --no-fund --loglevel=error)
fi
mkdir -p "$build/base-mibs"
for m in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF SNMPv2-MIB; do
  cp "$here/tests/js/node_modules/net-snmp/lib/mibs/$m.mib" "$build/base-mibs/$m.txt"
done

cmake -S "$here" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
