"""Benchmark of the table walks against an iterator subagent's floor.

Runs inside the sandbox (tests/sandbox.sh): the real snmpd master, the
simulator, the agent, and bench_baseline_subagent serving tables of the same
shape from static arrays. For two cluster sizes it times full GETBULK walks
(max-repetitions 10) of the agent's subtree and of the baseline's, request by
request (bench_tables_walker.py), with the CPU each process spent, and the master's native walk for
reference; then the agent's resident memory, before and after 100 further
walks of the test model. The agent runs once with each row lookup: sorted (the
default) and scan (TNMIBD_TABLE_LOOKUP=scan), the baseline beside each; the
master keeps its default AgentX timeout (1 s) throughout. With --profile it
samples the agent with perf during a large walk of the sorted lookup.

Usage: tests/sandbox.sh /usr/bin/python3 bench/bench_tables.py [--build DIR]
       [--large N,F,P,D] [--no-large] [--profile] [--large-scan-rounds N]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "system"))
import tables_model  # noqa: E402  (the test model of the table tests)
import bench_tables_walker  # noqa: E402

AGENT_ROOT = ".1.3.6.1.4.1.32473.1"
BASELINE_ROOT = ".1.3.6.1.4.1.32473.99"
NATIVE_ROOT = ".1.3.6.1.2.1"


def cpu_seconds(pid):
    """CPU time of a process's main thread (the one that serves SNMP), in seconds."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


def memory_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


class Bench:
    def __init__(self, build, work):
        self.build = build
        self.work = work
        self.env = dict(os.environ, SNMPCONFPATH=work,
                        MIBDIRS=os.path.join(build, "base-mibs") + ":" + os.path.join(REPO, "mibs"),
                        MIBS="SNMPv2-MIB:TARN-MIB")
        self.procs = {}

    def start(self, name, argv):
        out = open(os.path.join(self.work, name + ".log"), "w")
        self.procs[name] = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                            env=self.env, cwd=self.work)
        return self.procs[name]

    def stop(self, name):
        proc = self.procs.pop(name, None)
        if proc and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def wait(self, what, check, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if check():
                return
            time.sleep(0.2)
        raise SystemExit("bench: timed out waiting for " + what)

    def snmp(self, tool, *args):
        return subprocess.run([tool, "-v2c", "-c", "public"] + list(args), capture_output=True,
                              text=True, env=self.env)

    def answers(self, oid):
        got = self.snmp("snmpgetnext", "-On", "127.0.0.1", oid)
        return got.returncode == 0 and got.stdout.startswith(oid + ".")

    def walk(self, root):
        return bench_tables_walker.walk("127.0.0.1", "public", root, 10)

    def timed_walk(self, root, pids):
        """One walk with the CPU seconds each named process spent in it."""
        before = {n: cpu_seconds(p) for n, p in pids.items()}
        client = time.process_time()
        stats = self.walk(root)
        stats["cpu"] = {n: cpu_seconds(p) - before[n] for n, p in pids.items()}
        stats["cpu"]["client"] = time.process_time() - client
        return stats

    def bulkwalk_seconds(self, root):
        start = time.monotonic()
        got = self.snmp("snmpbulkwalk", "-On", "-Cr10", "127.0.0.1", root)
        return time.monotonic() - start, len(got.stdout.splitlines())


def start_master(b, timeout=None, retries=None, socket="tcp:localhost:705"):
    """The master as the tests run it; timeout and retries replace its AgentX timeout (1 s)
    and retries (5). With another AgentX socket the agent is told it in its tarnMgmt.conf."""
    b.stop("snmpd")
    conf = os.path.join(b.work, "snmpd.conf")
    with open(conf, "w") as f:
        f.write("master agentx\nagentXSocket %s\n"
                "agentaddress udp:127.0.0.1:161\nrocommunity public 127.0.0.1\n" % socket)
        if timeout:
            f.write("agentXTimeout %d\n" % timeout)
        if retries is not None:
            f.write("agentXRetries %d\n" % retries)
    b.start("snmpd", ["snmpd", "-f", "-C", "-c", conf, "-Lf", os.path.join(b.work, "snmpd.out"),
                      "-p", os.path.join(b.work, "snmpd.pid")])
    b.wait("snmpd", lambda: b.answers(".1.3.6.1.2.1.1"), 20)


def start_cluster(b, model, lookup="sorted", baseline=True):
    for name in ("tnmibd", "baseline", "tarnsim"):
        b.stop(name)
    for leftover in ("/var/tarnfs/tnperf/tnperfSocket", "/var/tarnfs/tnperf/tarnsim.ctl"):
        if os.path.exists(leftover):
            os.unlink(leftover)
    b.start("tarnsim", [os.path.join(b.build, "sim", "tarnsim"), "--model", model])
    b.wait("the simulator", lambda: os.path.exists("/var/tarnfs/tnperf/tnperfSocket"), 20)
    started = time.monotonic()
    b.env["TNMIBD_TABLE_LOOKUP"] = lookup
    b.start("tnmibd", [os.path.join(b.build, "tnmibd")])
    b.wait("the agent", lambda: b.answers(AGENT_ROOT + ".1"), 300)
    startup = time.monotonic() - started
    if not baseline:
        return startup
    b.start("baseline", [os.path.join(b.build, "bench", "bench_baseline_subagent"), model])
    b.wait("the baseline", lambda: b.answers(BASELINE_ROOT), 60)
    return startup


def summary(walks, process):
    """Fastest and median wall time, slowest request, CPU per varbind of one side."""
    seconds = sorted(w["seconds"] for w in walks)
    varbinds = sum(w["varbinds"] for w in walks)
    return {"varbinds": walks[0]["varbinds"], "requests": walks[0]["requests"],
            "min": seconds[0], "median": seconds[len(seconds) // 2],
            "slowest": max(w["maxMs"] for w in walks),
            "over1s": sum(w["over1s"] for w in walks), "errors": sum(w["errors"] for w in walks),
            "cpu": 1e6 * sum(w["cpu"].get(process, 0.0) for w in walks) / max(1, varbinds),
            "master": 1e6 * sum(w["cpu"].get("snmpd", 0.0) for w in walks) / max(1, varbinds),
            "client": 1e6 * sum(w["cpu"].get("client", 0.0) for w in walks) / max(1, varbinds)}


def report_walks(label, agent, base, native):
    print("\n== %s (%d walks each, alternating)" % (label, agent["walks"]))
    print("%-9s %8s %8s %9s %9s %10s %10s %11s %11s %11s" % (
        "walk", "varbinds", "requests", "min s", "median s", "slowest ms", "us/varbind",
        "sub CPU us", "master us", "client us"))
    sides = (("agent", agent), ("baseline", base), ("native", native))
    for name, s in sides if base["varbinds"] else sides[::2]:
        print("%-9s %8d %8d %9.3f %9.3f %10.1f %10.1f %11.1f %11.1f %11.1f" % (
            name, s["varbinds"], s["requests"], s["min"], s["median"], s["slowest"],
            1e6 * s["min"] / max(1, s["varbinds"]), s["cpu"], s["master"], s["client"]))
    if not base["varbinds"]:
        print("slowest request: agent %.0f ms (target < 1000 ms: %s); requests over 1 s: %d; "
              "error answers: %d (baseline not walked at this size)" % (
                  agent["slowest"], "met" if agent["slowest"] < 1000 else "MISSED",
                  agent["over1s"], agent["errors"]))
        return
    wall = agent["min"] / max(1e-9, base["min"])
    cpu = agent["cpu"] / max(1e-9, base["cpu"])
    slowest = max(agent["slowest"], base["slowest"])
    # The agent's CPU includes its busy polling, which the baseline does not do.
    print("agent/baseline: wall %.3f, subagent CPU per varbind %.3f (for reference)" % (wall, cpu))
    print("slowest request: agent %.0f ms, baseline %.0f ms (target < 1000 ms: %s); requests "
          "over 1 s: agent %d, baseline %d; error answers: agent %d, baseline %d" % (
              agent["slowest"], base["slowest"], "met" if slowest < 1000 else "MISSED",
              agent["over1s"], base["over1s"], agent["errors"], base["errors"]))


def measure(b, label, model, rounds, lookup, baseline_rounds=None, bulk=True, busy_poll=None):
    """busy_poll: the agent's TNMIBD_BUSY_POLL_MICROS, None for its default."""
    b.env.pop("TNMIBD_BUSY_POLL_MICROS", None)
    if busy_poll is not None:
        b.env["TNMIBD_BUSY_POLL_MICROS"] = str(busy_poll)
    startup = start_cluster(b, model, lookup)
    pids = {n: b.procs[n].pid for n in ("snmpd", "tnmibd", "baseline")}
    label += ", %s lookup" % lookup
    if busy_poll is not None:
        label += ", busy poll %d us" % busy_poll
    print("\n%s: agent ready in %.1f s, peak resident memory %d KiB" % (
        label, startup, memory_kib(pids["tnmibd"], "VmHWM")))
    walks = {"agent": [], "baseline": []}
    baseline_rounds = rounds if baseline_rounds is None else baseline_rounds
    for i in range(max(rounds, baseline_rounds)):
        for name, root, n in (("agent", AGENT_ROOT, rounds),
                              ("baseline", BASELINE_ROOT, baseline_rounds)):
            if i < n:
                walks[name].append(b.timed_walk(root, pids))
    if not walks["baseline"]:  # not walked at this size: a zero row
        walks["baseline"].append({"seconds": 0.0, "varbinds": 0, "requests": 0, "maxMs": 0.0,
                                  "over1s": 0, "errors": 0, "cpu": {}})
    agent = dict(summary(walks["agent"], "tnmibd"), walks=rounds)
    base = summary(walks["baseline"], "baseline")
    native = summary([b.timed_walk(NATIVE_ROOT, pids)], "snmpd")
    report_walks(label, agent, base, native)
    for name, root in (("agent", AGENT_ROOT), ("baseline", BASELINE_ROOT))[:bulk + (
            baseline_rounds > 0)]:
        seconds, lines = b.bulkwalk_seconds(root)
        print("snmpbulkwalk -Cr10 %-8s: %d varbinds in %.3f s (client start-up included)" % (
            name, lines, seconds))
    return pids, agent, base


def per_varbind_us(side):
    return 1e6 * side["min"] / max(1, side["varbinds"])


def sustained_us(b, root, seconds):
    """Wall time per varbind over back-to-back walks lasting at least seconds."""
    started, varbinds = time.monotonic(), 0
    while time.monotonic() - started < seconds:
        varbinds += b.walk(root)["varbinds"]
    return 1e6 * (time.monotonic() - started) / max(1, varbinds)


def report_targets(small_base, small_sustained, large, blocking, peak_kib):
    """The sorted lookup at the large size against the baseline on the test model.

    A large walk lasts tens of seconds, and this shared machine serves a long
    run of round trips at about half the pace of a short burst, whatever the
    subagent: the baseline's fastest single walk of the test model (a few
    milliseconds) costs half what its back-to-back walks cost per varbind. So
    the target compares the large walk with the baseline walking the test
    model back to back; the fastest single walk is printed beside it.
    """
    print("\n== targets, sorted lookup at the large size")
    for basis, base_us in (("back-to-back walks", small_sustained),
                           ("fastest single walk", per_varbind_us(small_base))):
        ratio = per_varbind_us(large) / base_us
        print("wall per varbind %.1f us against the baseline's %.1f us on the test model (%s): "
              "%.2f%s" % (per_varbind_us(large), base_us, basis, ratio,
                          " (target <= 1.25: %s)" % ("met" if ratio <= 1.25 else "MISSED")
                          if basis.startswith("back") else " (for reference)"))
    print("full walk %.2f s (target < 20 s: %s); error answers %d, requests over 1 s %d "
          "(targets 0: %s)" % (large["min"], "met" if large["min"] < 20 else "MISSED",
                               large["errors"], large["over1s"],
                               "met" if large["errors"] == large["over1s"] == 0 else "MISSED"))
    if blocking is not None:
        print("the same walk with busy polling off: %.2f s, %.1f us per varbind (agent CPU %.1f, "
              "master %.1f us per varbind; with it on: %.1f and %.1f)" % (
                  blocking["min"], per_varbind_us(blocking), blocking["cpu"], blocking["master"],
                  large["cpu"], large["master"]))
    print("agent peak resident memory %d KiB (target < 24 MiB: %s)" % (
        peak_kib, "met" if peak_kib < 24 * 1024 else "MISSED"))


def memory_check(b, pids, walks):
    pid = pids["tnmibd"]
    peak, before = memory_kib(pid, "VmHWM"), memory_kib(pid, "VmRSS")
    for _ in range(walks):
        b.snmp("snmpbulkwalk", "-On", "-Cr10", "127.0.0.1", AGENT_ROOT)
    after, peak_after = memory_kib(pid, "VmRSS"), memory_kib(pid, "VmHWM")
    print("\n== agent memory: peak %d KiB, resident %d KiB; after %d more walks resident %d KiB "
          "(growth %+d KiB, target none), peak %d KiB" % (peak, before, walks, after,
                                                         after - before, peak_after))


def profile(b, root, seconds):
    pid = b.procs["tnmibd"].pid
    data = os.path.join(b.work, "perf.data")
    rec = subprocess.Popen(["perf", "record", "-F", "999", "-g", "-o", data, "-p", str(pid)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    walker = subprocess.Popen([sys.executable, "-c",
                               "import bench_tables_walker as w; w.walk('127.0.0.1', 'public', "
                               "'%s', 10)" % root], cwd=HERE, stdout=subprocess.DEVNULL)
    try:
        walker.wait(seconds)
    except subprocess.TimeoutExpired:
        walker.kill()
    rec.terminate()
    rec.wait()
    for sort, limit, own in (("dso", "1", False), ("dso,symbol", "1.5", False),
                             ("dso,symbol", "0", True)):
        rep = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio", "-g",
                              "none", "--sort", sort, "--percent-limit", limit],
                             capture_output=True, text=True)
        lines = [l.strip() for l in rep.stdout.splitlines()
                 if l.strip() and not l.startswith("#") and "%" in l]
        if own:
            lines = [l for l in lines if " tnmibd " in l][:10]
        print("\n== where the agent's time goes (perf, self time, by %s, %s):" % (
            sort, "the agent's own code" if own else ">= %s%%" % limit))
        for line in lines:
            print("  " + line[:110])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(REPO, "build"))
    parser.add_argument("--large", default="1024,16,4,64")
    parser.add_argument("--no-large", action="store_true")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--rounds", type=int, default=20, help="walks of the test model per side")
    parser.add_argument("--large-rounds", type=int, default=2)
    parser.add_argument("--sustained-seconds", type=int, default=20,
                        help="back-to-back walks of the test model's baseline")
    parser.add_argument("--large-scan-rounds", type=int, default=1,
                        help="large walks with the scan lookup (0: none)")
    parser.add_argument("--large-blocking-rounds", type=int, default=1,
                        help="large walks with the agent's busy polling off (0: none)")
    parser.add_argument("--large-baseline-rounds", type=int, default=0,
                        help="large walks of the baseline (each takes minutes)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="bench-tables.")
    shutil.copy(os.path.join(REPO, "mibs", "TARN-MIB.txt"), "/usr/lpp/tarnfs/data/TARN-MIB.txt")
    shutil.copy(os.path.join(build, "sim", "tncfgdump"), "/usr/lpp/tarnfs/bin/tncfgdump")
    b = Bench(build, work)
    try:
        start_master(b)
        small = tables_model.write_model(os.path.join(work, "small.json"))
        small_base = None
        for lookup in ("sorted", "scan"):
            pids, _, base = measure(b, "test model (4 nodes, 2 file systems, 4 pools, 6 disks)",
                                    small, args.rounds, lookup)
            if small_base is None or per_varbind_us(base) < per_varbind_us(small_base):
                small_base = base  # the baseline's best session: the machine is noisy
            if lookup == "sorted":
                memory_check(b, pids, 100)
                for name, root in (("agent", AGENT_ROOT), ("baseline", BASELINE_ROOT)):
                    small_sustained = sustained_us(b, root, args.sustained_seconds)
                    print("%s, back-to-back walks of the test model for %d s: %.1f us/varbind"
                          % (name, args.sustained_seconds, small_sustained))
        if not args.no_large:
            # Requests over a second are counted (and sent again by the walker).
            large = os.path.join(work, "large.json")
            with open(large, "w") as f:
                subprocess.run([os.path.join(build, "sim", "tarnsim"), "generate", args.large,
                                "--seed", "7"], stdout=f, check=True)
            label = ("synthetic cluster %s (nodes, file systems, pools each, disks each)"
                     % args.large)
            pids, agent, _ = measure(b, label, large, args.large_rounds, "sorted",
                                     args.large_baseline_rounds)
            peak = memory_kib(pids["tnmibd"], "VmHWM")
            if args.profile:
                profile(b, AGENT_ROOT, 60)
            blocking = None
            if args.large_blocking_rounds > 0:
                _, blocking, _ = measure(b, label, large, args.large_blocking_rounds, "sorted",
                                         args.large_baseline_rounds, bulk=False, busy_poll=0)
            if args.large_scan_rounds > 0:
                measure(b, label, large, args.large_scan_rounds, "scan",
                        args.large_baseline_rounds, bulk=False)  # minutes more
            report_targets(small_base, small_sustained, agent, blocking, peak)
    finally:
        for name in list(b.procs):
            b.stop(name)


if __name__ == "__main__":
    main()
