#!/usr/bin/env bash
# Regenerates the fuzz seeds (regress-* are kept) from the simulator's real output, inside
# tests/sandbox.sh, where it serves the daemon's fixed socket path.
# Usage: fuzz/seeds.sh [plain-build-dir]   (default: build; needs tarnsim and tncfgdump)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
if [ -z "${SEEDS_IN_SANDBOX:-}" ]; then
  exec env SEEDS_IN_SANDBOX=1 "$here/tests/sandbox.sh" "$here/fuzz/seeds.sh" "$build"
fi
corpus=$here/fuzz/corpus
export PATH=$build/sim:$PATH
mkdir -p "$corpus"/{response,tncfgdump,events,model}
find "$corpus" -type f ! -name 'regress-*' -delete
out=$(mktemp)
tarnsim --model "$here/sim/models/sample.json" >"$out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 100); do grep -q ready "$out" && break; sleep 0.1; done

# Answers, one file per command (the last with an event line between its lines), and events of
# every type as an event connection receives them.
/usr/bin/python3 - "$corpus" <<'EOF'
import pathlib, socket, subprocess, sys
out = pathlib.Path(sys.argv[1])
def connect():
    s = socket.socket(socket.AF_UNIX)
    s.connect("/var/tarnfs/tnperf/tnperfSocket")
    return s
def answer(command):  # once the client's side is shut, the simulator answers and closes
    s = connect()
    s.sendall(command.encode() + b"\n")
    s.shutdown(socket.SHUT_WR)
    return s.makefile("rb").read()
for name, command in [
        ("clusterinfo", "get clusterinfo"), ("nodes", "get nodes"), ("nc", "tnperf nc"),
        ("gfis", "tnperf gfis"), ("fsstate", "get fs fs1 -b"), ("stgpools", "get stgpools fs1"),
        ("disks", "get fs fs1 system"), ("ds", "tnperf ds f cl tarn1.example.com fs fs1 p system"),
        ("nodelist", "tnperf ng + *"), ("error", "get fs nosuchfs -b")]:
    (out / "response" / name).write_bytes(answer(command))
ctl = ["tarnsim", "ctl"]
subprocess.run(ctl + ["fault", "event-in-response", "_event_ failure _node_ 10.0.0.9"], check=True)
(out / "response/event-in-response").write_bytes(answer("get stgpools fs2"))
events, received = connect().makefile("rb"), []
for line in [
        "mount _node_ 10.0.0.1 _fs_ 'fs one'", "unmount _fs_ fs2 _node_ 10.0.0.2",
        "adddisk _node_ 10.0.0.1 _fs_ fs1 _disk_ 'new disk'", "deldisk _node_ 10.0.0.3 _fs_ fs1",
        "chdisk _node_ 10.0.0.1 _fs_ fs1 _disk_ nsd1 _status_ 'being emptied' _availability_ up "
        "_fg_ 3 _meta_ yes _data_ no",
        "takeover _node_ 10.0.0.2 _prevnode_ 10.0.0.1 _fs_ fs1", "failure _node_ 10.0.0.3",
        "recovery _node_ 10.0.0.3", "createfs _node_ 10.0.0.2 _fs_ fs3",
        "deletefs _node_ 10.0.0.2 _fs_ fs3",
        "fsstatechange _fs_ fs1 _user_ yes _meta_ no _illreplicated_ _user_ no _meta_ yes "
        "_exposed_ _user_ no _meta_ no",
        "newconnection _node_ 10.9.9.9 _n_ 10.0.0.4", "exception _node_ 10.0.0.1",
        "sgStats _node_ 10.0.0.1",
        "hungthread _node_ 10.0.0.1 _wait_ 4294967301 _diagnosis_ 'waiting for a lock'",
        "poolutil _fs_ fs1 _pool_ data1 _util_ 97", "sdrChanged"]:
    subprocess.run(ctl + ["event", line], check=True, stdout=subprocess.DEVNULL)
    received.append(events.readline())
    (out / "events" / ("%02d-%s" % (len(received) - 1, line.split()[0]))).write_bytes(received[-1])
(out / "events/all").write_bytes(b"".join(received))
EOF

# Configuration query records, with the agent's three command lines.
cfg=$corpus/tncfgdump
tncfgdump 10 1001:1002:1003:1008:1006:1007:1011:1004:1005 >"$cfg/cluster"
tncfgdump 20 2003:2004:2005:2006:2007:2008:2010 all norefresh >"$cfg/nodes"
tncfgdump 30 3001:3004:3005:3006 >"$cfg/disks"
cat "$cfg/cluster" "$cfg/nodes" "$cfg/disks" >"$cfg/all"

# Model files without indentation, to fit the harness's 4 KiB: part of the sample (one node, one
# file system with one pool of two disks, the free disk), checked, and two generated ones.
model=$corpus/model
jq -c '.nodes |= .[:1] | .fileSystems |= .[:1] | .fileSystems[0].pools |= .[:1]
  | .fileSystems[0].pools[0].disks |= .[:2]' "$here/sim/models/sample.json" \
  >"$model/sample-part.json"
tarnsim check "$model/sample-part.json" >/dev/null
tarnsim generate 1,1,1,1 | jq -c . >"$model/generated-1.json"
tarnsim generate 2,1,1,1 --seed 3 | jq -c . >"$model/generated-2.json"
echo "seeds: $(find "$corpus" -type f | wc -l) files in $corpus"
