"""Benchmark of daemon events to traps, through the real snmpd master to the
real snmptrapd, inside the sandbox.

1. A burst of 10,000 events at once: time from the first event's send time
   to the last trap's arrival at the receiver, traps per second, losses and
   order.
2. A steady 100 events per second: event-to-trap latency (the simulator's
   send time stamp in the event against the arrival of the trap's line from
   snmptrapd), median and 99th percentile.
3. Walks of the agent's tables alone and while 100 traps per second flow:
   the two must take about the same time (no stall between them on the TCP
   AgentX connection).
4. The same burst into a receiver with the system's default socket buffer,
   to show whether datagrams are lost there (the kernel's UDP RcvbufErrors).

Usage: tests/sandbox.sh /usr/bin/python3 bench/bench_traps.py [--build DIR]
       [--burst N] [--steady-seconds S]
"""

import math
import pathlib
import statistics
import subprocess
import tempfile
import time

import system_bench  # the script's own folder is on the path

REPO = system_bench.REPO
PARSER = system_bench.parser(__doc__)
PARSER.add_argument("--burst", type=int, default=10000)
PARSER.add_argument("--steady-seconds", type=int, default=30)
ARGS = system_bench.parse(PARSER)
import conftest  # noqa: E402  (the system tests' process helpers)
from trapkit import (TimedTrapd, Walker, event_connected, trap_body,  # noqa: E402
                     udp_receive_errors)

TEMPLATE = "mount _node_ {i} _fs_ {t}"


def received(trapd, skip):
    """(arrival, index, send time) of the traps after the first skip."""
    rows = []
    for arrival, trap in trapd.traps()[skip:]:
        _, bindings = trap_body(trap)
        rows.append((arrival, int(bindings[0][2]), int(bindings[1][2]) / 1e6))
    return rows


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def burst(sim, trapd, n):
    skip = trapd.count()
    drops = udp_receive_errors()
    sim.ctl("burst", n, TEMPLATE)
    try:
        trapd.wait_count(skip + n, timeout=120)
    except BaseException:  # a receiver that lost some never reaches n
        time.sleep(5)
    rows = received(trapd, skip)
    lost = n - len(rows)
    in_order = [i for _, i, _ in rows] == list(range(len(rows)))
    seconds = rows[-1][0] - min(t for _, _, t in rows) if rows else float("nan")
    return {"received": len(rows), "lost": lost, "in_order": in_order, "seconds": seconds,
            "per_second": len(rows) / seconds if rows else 0.0,
            "rcvbuf_errors": udp_receive_errors() - drops}


def steady(sim, trapd, seconds, walker=None):
    skip = trapd.count()
    n = 100 * seconds
    if walker:
        walker.start()
    # Longer than the helper's own time limit for one control command.
    subprocess.run([conftest.TARNSIM, "ctl", "--timeout", str((seconds + 60) * 1000), "stream",
                    "100", str(n), TEMPLATE], check=True, capture_output=True,
                   timeout=seconds + 60)
    trapd.wait_count(skip + n, timeout=60)
    if walker:
        walker.stop()
    latencies = [(arrival - sent) * 1000 for arrival, _, sent in received(trapd, skip)]
    return {"n": len(latencies), "median_ms": statistics.median(latencies),
            "p99_ms": percentile(latencies, 0.99), "max_ms": max(latencies)}


def start_stack(launcher, work):
    system_bench.fixture_body(conftest.installed)(launcher)
    system_bench.fixture_body(conftest.snmpd)(launcher, work)
    trapd = TimedTrapd(launcher, work)
    sim = conftest.start_simulator(launcher, work)
    conftest.start_agent(launcher, work)
    event_connected(sim)
    return sim, trapd


def report_walks(work, sim, trapd, seconds):
    walker = Walker(work)
    alone, size = walker.baseline(10)
    during = steady(sim, trapd, seconds, walker)
    print("walks of %d varbinds: alone median %.3f s; during 100 traps/s median %.3f s, "
          "max %.3f s over %d walks, %d failed; trap latency meanwhile median %.2f ms, "
          "p99 %.2f ms" % (size, alone, statistics.median(walker.times), max(walker.times),
                           len(walker.times), len(walker.failures), during["median_ms"],
                           during["p99_ms"]))


def main():
    system_bench.enter_sandbox()
    work = pathlib.Path(tempfile.mkdtemp(prefix="bench-traps-"))
    launcher = conftest.Launcher(work)
    try:
        sim, trapd = start_stack(launcher, work)
        burst(sim, trapd, 100)  # warm-up: first look-ups, first allocations
        b = burst(sim, trapd, ARGS.burst)
        print("burst of %d events: %d received, %d lost, in order: %s; last trap %.3f s after "
              "the first event: %.0f traps/s; receiver drops %d" %
              (ARGS.burst, b["received"], b["lost"], b["in_order"], b["seconds"],
               b["per_second"], b["rcvbuf_errors"]))
        s = steady(sim, trapd, ARGS.steady_seconds)
        print("steady 100 events/s for %d s: %d traps, latency median %.2f ms, p99 %.2f ms, "
              "max %.2f ms" % (ARGS.steady_seconds, s["n"], s["median_ms"], s["p99_ms"],
                               s["max_ms"]))
        report_walks(work, sim, trapd, 10)
        # The same burst into a receiver with the default buffer size.
        trapd.proc.stop()
        small = TimedTrapd(launcher, work, rcvbuf=None, name="traps-default")
        d = burst(sim, small, ARGS.burst)
        print("default receive buffer: %d of %d received, %d lost; receiver drops %d" %
              (d["received"], ARGS.burst, d["lost"], d["rcvbuf_errors"]))
    finally:
        launcher.stop_all()


if __name__ == "__main__":
    main()
