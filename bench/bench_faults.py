"""Benchmark of the agent under daemon faults, through the real snmpd master with the AgentX
timeout and retries the package ships (packaging/snmpd-tnmibd.conf), inside the sandbox. A fresh
agent serves the sample cluster for each case while a manager asks for one row of a table after
another (each a single request, with its own 30 s timeout): first with no fault (the baseline of
the same run), then with each fault in turn:

1. the simulator streams N events (3,000,000) while a configuration query hangs;
2. it sends an answer that never ends;
3. it stops accepting connections (and drops the ones it had);
4. it answers every command 6 s late;

it prints the agent's peak resident memory, the longest request and how many failed, and how
long SIGTERM took to end the agent (or how it ended by itself).

Targets: peak memory under 64 MiB; no request longer than the master's AgentX timeout;
SIGTERM ends the agent within 2 s.

Usage: tests/sandbox.sh /usr/bin/python3 bench/bench_faults.py [--build DIR] [--events N]
"""

import os
import pathlib
import signal
import subprocess
import tempfile
import threading
import time

import system_bench  # the script's own folder is on the path

REPO = system_bench.REPO
PARSER = system_bench.parser(__doc__)
PARSER.add_argument("--events", type=int, default=3000000)
PARSER.add_argument("--seconds", type=int, default=30, help="how long each fault holds")
ARGS = system_bench.parse(PARSER)
import conftest  # noqa: E402  (the system tests' process helpers)

# One request each: the first row of a table, and a health scalar.
REQUESTS = ["TARN-MIB::tarnNodeStatusTable", "TARN-MIB::tarnFileSystemStatusTable",
            "TARN-MIB::tarnDiskStatusTable", "TARN-MIB::tarnAgentClusterDataAge"]


def packaged_agentx_settings():
    path = os.path.join(REPO, "packaging", "snmpd-tnmibd.conf")
    return [l for l in pathlib.Path(path).read_text().splitlines()
            if l.split()[:1] in (["agentXTimeout"], ["agentXRetries"])]


class Requests(threading.Thread):
    """A manager asking, one request at a time, until stopped; it also notes the agent's peak
    resident memory after each request, so that an agent that ends by itself has one too."""

    def __init__(self, work, pid):
        super().__init__(daemon=True)
        self.snmp, self.longest, self.count, self.failed = conftest.Snmp(work), 0.0, 0, 0
        self.pid, self.peak = pid, 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            for oid in REQUESTS:
                started = time.monotonic()
                got = self.snmp.run("snmpgetnext", "-t", "30", "-r", "0", conftest.AGENT_HOST, oid)
                self.longest = max(self.longest, time.monotonic() - started)
                self.count += 1
                self.failed += got.returncode != 0 or "No Such" in got.stdout
                self.peak = max(self.peak, peak_kib(self.pid))

    def stop(self):
        self.stopping.set()
        self.join(60)


def hang_the_query_tool(sim):
    os.unlink(conftest.QUERY_TOOL)
    pathlib.Path(conftest.QUERY_TOOL).write_text("#!/bin/sh\nexec sleep 600\n")
    os.chmod(conftest.QUERY_TOOL, 0o755)
    sim.ctl("event", "sdrChanged")  # the send thread now waits in the scan
    subprocess.run([conftest.TARNSIM, "ctl", "--timeout", "600000", "burst", str(ARGS.events),
                    "failure _node_ {i}"], check=True, capture_output=True, timeout=600)


def stale_then(*fault):
    """The fault, then a wait until every level of the data is due for a poll."""
    def apply(sim):
        sim.ctl("fault", *fault)
        time.sleep(21)
    return apply


def stop_accepting(sim):
    sim.ctl("fault", "stall", "on")
    sim.ctl("fault", "drop")
    time.sleep(21)


FAULTS = [("no fault (the baseline)", lambda sim: time.sleep(21)),
          ("%d events while a query hangs" % ARGS.events, hang_the_query_tool),
          ("an answer that never ends", stale_then("endless")),
          ("a daemon that stops accepting", stop_accepting),
          ("every answer 6 s late", stale_then("delay", "6000"))]


def peak_kib(pid):
    try:
        status = pathlib.Path("/proc/%d/status" % pid).read_text()
    except OSError:  # ended
        return 0
    return next((int(l.split()[1]) for l in status.splitlines() if l.startswith("VmHWM:")), 0)


def measure(name, apply, work):
    launcher = conftest.Launcher(work)
    try:
        system_bench.fixture_body(conftest.installed)(launcher)
        conftest.start_snmpd(launcher, work, ["master agentx", "agentXSocket tcp:localhost:705"]
                             + packaged_agentx_settings())
        sim = conftest.start_simulator(launcher, work)
        agent = conftest.start_agent(launcher, work)
        conftest.event_connected(sim)
        requests = Requests(work, agent.pid)
        requests.start()
        apply(sim)
        time.sleep(ARGS.seconds)
        requests.stop()
        ended = agent.proc.poll()
        started = time.monotonic()
        status = agent.stop(signal.SIGTERM, timeout=30) if ended is None else ended
        stop = "SIGTERM ended it in %.2f s, status %d" % (time.monotonic() - started, status) \
            if ended is None else "it had ended by itself, status %d" % ended
        print("%s: peak %d KiB; longest request %.2f s (%d requests, %d failed); %s" %
              (name, requests.peak, requests.longest, requests.count, requests.failed, stop),
              flush=True)
    finally:
        launcher.stop_all()
        subprocess.run("find /var/tarnfs /usr/lpp/tarnfs -mindepth 1 -delete; mkdir -p "
                       "/var/tarnfs/tnperf /usr/lpp/tarnfs/bin /usr/lpp/tarnfs/data", shell=True)


def main():
    system_bench.enter_sandbox()
    print("master: %s" % ", ".join(packaged_agentx_settings()))
    for name, apply in FAULTS:
        measure(name, apply, pathlib.Path(tempfile.mkdtemp(prefix="bench-faults-")))


if __name__ == "__main__":
    main()
