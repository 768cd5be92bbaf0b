"""Process faults, one table: each row sets up a fault of the daemon or of the
process, then says what must follow. Whatever the fault, a stop (SIGTERM) ends
the agent within 2 s with the row's exit status, a request made meanwhile is
answered, the row's log line appears as often as it says, and no sanitizer
report appears. TN_STOP_RUNS repeats the rows (1; the long form is 20)."""

import glob
import os
import re
import signal
import time

import pytest

from conftest import (BUILD, QUERY_TOOL, VERSION_OID, Snmp, start_agent, start_simulator,
                      start_snmpd, wait_for)
from trapkit import Walker, event_connected

STOP_RUNS = int(os.environ.get("TN_STOP_RUNS", "1"))
SANITIZER_REPORT = re.compile("WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|"
                              "runtime error:")
GONE = "Error: Events handler TARN daemon connection failed, exiting...|" \
       "Error: TARN daemon connection failed, exiting..."
ANSWER_DROPPED = r"TARN daemon answer failed \((over 64 MiB|not ended within 5 s)\)"


def refused_in(sim, seconds):
    """The simulator's refusals of the agent's reconnects over seconds."""
    before = int(sim.stat("refused"))
    time.sleep(seconds)
    return int(sim.stat("refused")) - before


def list_query_tool_descriptors(t):
    """The query tool lists its open descriptors, then runs as before."""
    if not os.path.exists(QUERY_TOOL + ".real"):
        os.rename(QUERY_TOOL, QUERY_TOOL + ".real")
    with open(QUERY_TOOL, "w") as tool:
        tool.write('#!/bin/sh\nls -l /proc/$$/fd > /var/tarnfs/fds.$$\n'
                   'exec %s.real "$@"\n' % QUERY_TOOL)
    os.chmod(QUERY_TOOL, 0o755)


def listings():
    return glob.glob("/var/tarnfs/fds.*")


def restart_master_then_scan(t):
    """The master restarts, and once the agent has registered again (its AgentX socket made
    after start-up), a configuration scan runs the query tool."""
    t.snmpd.stop()
    t.snmpd = start_snmpd(t.launcher, t.tmp_path)
    wait_for(t.snmp.serves, 20, "the agent to register again", 0.5)
    before = len(listings())
    t.sim.ctl("event", "sdrChanged")
    wait_for(lambda: len(listings()) > before, 20, "a query after the restart")


def query_tool_sockets(sim):
    """An error text when a run of the query tool found a socket open."""
    listings_found = listings()
    found = [open(f).read() for f in listings_found if "socket:" in open(f).read()]
    return "no query ran" if not listings_found else (found[0] if found else None)


def row(name, faults, status, line, times, armed=(), check=None, ends=False, env=None):
    """faults: tarnsim ctl commands once the agent serves; armed: before it
    starts (its first command meets them); a callable in either is called;
    check(sim): an error text or None while the fault holds; ends: the agent
    ends by itself, else it gets SIGTERM; times: how often line shows (None:
    at least once; no line: no check); env: the agent's extra environment."""
    return pytest.param(dict(faults=faults, armed=armed, check=check, ends=ends, status=status,
                             line=line, times=times, env=env or {}), id=name)


# The wall clock as the agent sees it: an offset in seconds, set while it runs.
CLOCK_FILE = "/var/tarnfs/wall-clock-offset"
STEPPED_CLOCK = {"LD_PRELOAD": os.path.join(BUILD, "tests", "unit", "fixtures", "libwallclock.so"),
                 "WALL_CLOCK_OFFSET_FILE": CLOCK_FILE,
                 "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}


def set_wall_clock(offset):
    with open(CLOCK_FILE, "w") as f:
        f.write("%+d\n" % offset)


def polls_go_on(sim):
    """After the wall clock stepped back, the walks still find the data stale after 20 s."""
    before = int(sim.stat("commands"))
    time.sleep(23)
    if int(sim.stat("commands")) == before:
        return "no poll in 23 s after the clock stepped back"
    age = Snmp("/nonexistent").get("-Oqv", "TARN-MIB::tarnAgentNodeDataAge.0").stdout.split()
    return None if age and age[0].isdigit() and int(age[0]) <= 23 else "node data age %r" % age


ROWS = [
    # The daemon goes for good while walks run: a worker finds it gone, main
    # stops in order and exits 1.
    row("daemon gone during walks", [("shutdown",)], 1, GONE, 1, ends=True),
    # A daemon that stops accepting: the reconnect gives up in bounded time.
    row("stops accepting", [("fault", "stall", "on"), ("fault", "drop")], 1, GONE, None,
        ends=True),
    # A daemon that closes every connection it accepts: a few reconnects a
    # second at most, one warning.
    row("closes each connection", [("fault", "refuse", "on"), ("fault", "drop")], 0,
        "events connection keeps failing, reconnecting with back-off", 1,
        check=lambda sim: None if refused_in(sim, 3) < 30 else "reconnects not paced"),
    # The configuration query holds none of the agent's sockets: neither the
    # master's nor the daemon's, at start-up or after the master restarted.
    row("query tool inherits no socket", [restart_master_then_scan], 0, None, None,
        armed=[list_query_tool_descriptors], check=query_tool_sockets),
    # An answer that never ends (the agent's first): its limits drop it.
    row("answer never ends", [], 0, ANSWER_DROPPED, 1, armed=[("fault", "endless")]),
    # The wall clock steps back an hour: polls and data ages go by the monotonic clock.
    row("wall clock steps back", [lambda t: set_wall_clock(-3600)], 0, None, None,
        armed=[lambda t: set_wall_clock(0)], check=polls_go_on, env=STEPPED_CLOCK),
]


class Context:
    def __init__(self, **parts):
        self.__dict__.update(parts)


@pytest.mark.parametrize("case", ROWS)
def test_process_fault(case, launcher, tmp_path, snmpd, sim, snmp):
    (tmp_path / "tarnMgmt.conf").write_text("agentxPingInterval 1\n")  # back soon after a restart
    t = Context(launcher=launcher, tmp_path=tmp_path, snmpd=snmpd, sim=sim, snmp=snmp)
    for run in range(STOP_RUNS):
        for fault in case["armed"]:
            fault(t) if callable(fault) else sim.ctl(*fault)
        agent = start_agent(launcher, tmp_path, env_extra=case["env"])
        event_connected(sim)
        walker = Walker(tmp_path)
        walker.start()
        time.sleep(0.3)
        for fault in case["faults"]:
            fault(t) if callable(fault) else sim.ctl(*fault)
        failure = case["check"](sim) if case["check"] is not None else None
        assert failure is None, failure
        if case["ends"]:
            status = agent.wait_exit(timeout=15)
        else:
            assert snmp.get(VERSION_OID).returncode == 0, "the scalar went unanswered"
            started = time.monotonic()
            status = agent.stop(signal.SIGTERM, timeout=10)
            assert time.monotonic() - started < 2, "the stop took too long"
        walker.stop()
        err = agent.stderr()
        assert status == case["status"] and not SANITIZER_REPORT.search(err), \
            "run %d: exit status %s\n%s" % (run, status, err[-5000:])
        if case["line"] is not None:
            found = len(re.findall(case["line"], err))
            assert found >= 1 if case["times"] is None else found == case["times"], err[-3000:]
        if case["faults"][:1] == [("shutdown",)]:
            sim = t.sim = start_simulator(launcher, tmp_path)
        else:
            sim.ctl("fault", "clear")
