"""Process faults, one table: each row sets up a fault of the daemon or of the
process, then says what must follow. Whatever the fault, a stop (SIGTERM) ends
the agent within 2 s with the row's exit status, the request in flight is
answered, the row's log line appears as often as it says, and no sanitizer
report appears. TN_STOP_RUNS repeats the rows (1; the long form is 20)."""

import os
import re
import signal
import time

import pytest

from conftest import VERSION_OID, start_agent, start_simulator
from trapkit import Walker, event_connected

STOP_RUNS = int(os.environ.get("TN_STOP_RUNS", "1"))
SANITIZER_REPORT = re.compile("WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|"
                              "runtime error:")
GONE = "Error: Events handler TARN daemon connection failed, exiting...|" \
       "Error: TARN daemon connection failed, exiting..."
BACK_OFF = "connection keeps failing, reconnecting with back-off"


def refused_in(sim, seconds):
    """The simulator's refusals of the agent's reconnects over seconds."""
    before = int(sim.stat("refused"))
    time.sleep(seconds)
    return int(sim.stat("refused")) - before


# name, faults (tarnsim ctl commands), what to check while the fault holds
# (sim -> error text or None), whether the agent ends by itself, its exit
# status, a log line and how often it shows (None: at least once).
ROWS = [
    # The daemon goes for good while walks run: a worker finds it gone, main
    # stops in order and exits 1.
    ("daemon gone during walks", [("shutdown",)], None, True, 1, GONE, 1),
    # A daemon that stops accepting: the reconnect gives up in bounded time.
    ("stops accepting", [("fault", "stall", "on"), ("fault", "drop")], None, True,
     1, GONE, None),
    # A daemon that closes every connection it accepts: a few reconnects a
    # second at most, one warning.
    ("closes each connection", [("fault", "refuse", "on"), ("fault", "drop")],
     lambda sim: None if refused_in(sim, 3) < 30 else "reconnects not paced", False, 0,
     "events " + BACK_OFF, 1),
]


@pytest.mark.parametrize("row", ROWS, ids=[r[0] for r in ROWS])
def test_process_fault(row, launcher, tmp_path, snmpd, sim, snmp):
    name, faults, check, ends, status, line, times = row
    for run in range(STOP_RUNS):
        agent = start_agent(launcher, tmp_path)
        event_connected(sim)
        walker = Walker(tmp_path)
        walker.start()
        time.sleep(0.3)
        for fault in faults:
            sim.ctl(*fault)
        failure = check(sim) if check is not None else None
        assert failure is None, "%s: %s" % (name, failure)
        if ends:
            got = agent.wait_exit(timeout=15)
        else:
            assert snmp.get(VERSION_OID).returncode == 0, "%s: the scalar went unanswered" % name
            started = time.monotonic()
            got = agent.stop(signal.SIGTERM, timeout=10)
            assert time.monotonic() - started < 2, "%s: the stop took too long" % name
        walker.stop()
        err = agent.stderr()
        assert got == status and not SANITIZER_REPORT.search(err), \
            "%s, run %d: exit status %s\n%s" % (name, run, got, err[-5000:])
        found = len(re.findall(line, err))
        assert found >= 1 if times is None else found == times, (name, run, err[-3000:])
        if faults[0] == ("shutdown",):
            sim = start_simulator(launcher, tmp_path)
        else:
            sim.ctl("fault", "clear")
