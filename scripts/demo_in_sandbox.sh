#!/usr/bin/env bash
# The demo proper; runs inside tests/sandbox.sh. Usage: demo_in_sandbox.sh [MODEL.json]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TN_BUILD_DIR:-$here/build}
model=${1:-$here/sim/models/sample.json}
work=$(mktemp -d /tmp/tnmibd-demo.XXXXXX)
export SNMPCONFPATH=$work MIBDIRS=$build/base-mibs:$here/mibs MIBS=SNMPv2-MIB:TARN-MIB
snmp=(-v2c -c public 127.0.0.1)

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

wait_for() {  # seconds, description, command...
  local seconds=$1 what=$2
  shift 2
  for _ in $(seq $((seconds * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "demo: timed out waiting for $what" >&2
  return 1
}

section() { printf '\n===== %s\n' "$*"; }

cp "$here/mibs/TARN-MIB.txt" /usr/lpp/tarnfs/data/TARN-MIB.txt
cp "$build/sim/tncfgdump" /usr/lpp/tarnfs/bin/tncfgdump

printf 'master agentx\nagentXSocket tcp:localhost:705\nagentaddress udp:127.0.0.1:161\nrocommunity public 127.0.0.1\ntrap2sink 127.0.0.1:162 public\n' >"$work/snmpd.conf"
snmpd -f -C -c "$work/snmpd.conf" -Lf "$work/snmpd.log" -p "$work/snmpd.pid" &
pids+=($!)
printf 'disableAuthorization yes\n' >"$work/snmptrapd.conf"
snmptrapd -f -C -c "$work/snmptrapd.conf" -Lf "$work/traps.log" udp:127.0.0.1:162 &
pids+=($!)
"$build/sim/tarnsim" --model "$model" >"$work/tarnsim.log" 2>&1 &
pids+=($!)
wait_for 10 "the simulator" test -S /var/tarnfs/tnperf/tnperfSocket
wait_for 10 "the master agent" bash -c 'exec 3<>/dev/tcp/127.0.0.1/705'

section "Starting tnmibd; its log so far:"
"$build/tnmibd" 2>"$work/tnmibd.log" &
pids+=($!)
wait_for 30 "the agent" snmpget "${snmp[@]}" TARN-MIB::tarnSubagentVersion.0
cat "$work/tnmibd.log"

section "The version scalar"
snmpget "${snmp[@]}" TARN-MIB::tarnSubagentVersion.0

for table in tarnClusterStatusTable tarnClusterConfigTable tarnNodeStatusTable \
  tarnNodeConfigTable tarnFileSystemStatusTable tarnFileSystemPerfTable tarnStgPoolTable \
  tarnDiskStatusTable tarnDiskConfigTable tarnDiskPerfTable; do
  section "$table"
  snmptable "${snmp[@]}" -Cb -Cw 160 "TARN-MIB::$table" || true
done

section "A daemon event becomes a trap"
echo "tarnsim ctl event \"_event_ mount _node_ 10.1.0.12 _fs_ 'home fs'\""
"$build/sim/tarnsim" ctl event "_event_ mount _node_ 10.1.0.12 _fs_ 'home fs'"
if wait_for 10 "the trap" grep -q tarnMountTrap "$work/traps.log"; then
  echo "snmptrapd received:"
  grep -B1 tarnMountTrap "$work/traps.log"
fi
