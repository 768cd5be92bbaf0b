#!/usr/bin/env bash
# Regenerates the checked-in seed corpora of the fuzz harnesses from the
# simulator's real output: daemon answers to the agent's commands, the
# configuration query records, the event lines as an event connection
# receives them, and model files. Runs itself inside tests/sandbox.sh (the
# simulator serves the daemon's fixed socket path).
# Usage: fuzz/seeds.sh [plain-build-dir]   (default: build; needs tarnsim and tncfgdump)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
if [ -z "${SEEDS_IN_SANDBOX:-}" ]; then
  exec env SEEDS_IN_SANDBOX=1 "$here/tests/sandbox.sh" "$here/fuzz/seeds.sh" "$build"
fi
corpus=$here/fuzz/corpus
export PATH=$build/sim:$PATH
# Regression seeds (inputs that once found a fault) are kept.
mkdir -p "$corpus"/{response,tncfgdump,events,model}
find "$corpus" -type f ! -name 'regress-*' -delete
work=$(mktemp -d)

"$build/sim/tarnsim" --model "$here/sim/models/sample.json" > "$work/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done

# Daemon answers, one file per command, as they arrive on the command socket.
/usr/bin/python3 - "$corpus/response" <<'EOF'
import os, socket, subprocess, sys
out = sys.argv[1]
commands = {
    "clusterinfo": "get clusterinfo", "nodes": "get nodes", "nc": "tnperf nc",
    "gfis": "tnperf gfis", "fsstate": "get fs fs1 -b", "stgpools": "get stgpools fs1",
    "disks": "get fs fs1 system", "ds": "tnperf ds f cl tarn1.example.com fs fs1 p system",
    "nodelist": "tnperf ng + *", "error": "get fs nosuchfs -b",
}
s = socket.socket(socket.AF_UNIX)
s.connect("/var/tarnfs/tnperf/tnperfSocket")
f = s.makefile("rb")
def answer(command):
    s.sendall(command.encode() + b"\n")
    text = b""
    while not text.endswith(b"_response_ end\n"):
        text += f.readline()
    return text
for name, command in commands.items():
    with open(os.path.join(out, name), "wb") as seed:
        seed.write(answer(command))
# An event line between the lines of an answer.
subprocess.run(["tarnsim", "ctl", "fault", "event-in-response",
                "_event_ failure _node_ 10.0.0.9"], check=True, stdout=subprocess.DEVNULL)
with open(os.path.join(out, "event-in-response"), "wb") as seed:
    seed.write(answer("get stgpools fs2"))
EOF

# Configuration query records, with the agent's three command lines.
cfg=$corpus/tncfgdump
"$build/sim/tncfgdump" 10 1001:1002:1003:1008:1006:1007:1011:1004:1005 > "$cfg/cluster"
"$build/sim/tncfgdump" 20 2003:2004:2005:2006:2007:2008:2010 all norefresh > "$cfg/nodes"
"$build/sim/tncfgdump" 30 3001:3004:3005:3006 > "$cfg/disks"
cat "$cfg/cluster" "$cfg/nodes" "$cfg/disks" > "$cfg/all"

# Event lines of every type, as the simulator delivers them to an event connection.
/usr/bin/python3 - "$corpus/events" <<'EOF'
import os, socket, subprocess, sys
out = sys.argv[1]
lines = [
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
    "poolutil _fs_ fs1 _pool_ data1 _util_ 97", "sdrChanged",
]
s = socket.socket(socket.AF_UNIX)
s.connect("/var/tarnfs/tnperf/tnperfSocket")
f = s.makefile("rb")
received = []
for line in lines:
    subprocess.run(["tarnsim", "ctl", "event", line], check=True, stdout=subprocess.DEVNULL)
    received.append(f.readline())
for i, line in enumerate(received):
    word = line.split()[1].decode()
    with open(os.path.join(out, "%02d-%s" % (i, word)), "wb") as seed:
        seed.write(line)
with open(os.path.join(out, "all"), "wb") as seed:
    seed.write(b"".join(received))
EOF

# Model files: part of the sample (one node, one file system with one pool of
# two disks, the free disk) and two small synthetic clusters, checked by the
# simulator and without indentation, so that they fit the harness's 4 KiB.
/usr/bin/python3 - "$here/sim/models/sample.json" > "$work/sample-part.json" <<'EOF'
import json, sys
model = json.load(open(sys.argv[1]))
model["nodes"] = model["nodes"][:1]
fs = model["fileSystems"] = model["fileSystems"][:1]
fs[0]["pools"] = fs[0]["pools"][:1]
fs[0]["pools"][0]["disks"] = fs[0]["pools"][0]["disks"][:2]
print(json.dumps(model, separators=(",", ":")))
EOF
"$build/sim/tarnsim" check "$work/sample-part.json" >/dev/null
cp "$work/sample-part.json" "$corpus/model/sample-part.json"
minify() { /usr/bin/python3 -c 'import json, sys; print(json.dumps(json.load(sys.stdin), separators=(",", ":")))'; }
"$build/sim/tarnsim" generate 1,1,1,1 | minify > "$corpus/model/generated-1.json"
"$build/sim/tarnsim" generate 2,1,1,1 --seed 3 | minify > "$corpus/model/generated-2.json"
echo "seeds: $(find "$corpus" -type f | wc -l) files in $corpus"
