"""The agent under stress through the real master, with no sanitizer report. TN_STOP_RUNS stops
under load in a row (3; long form 20); TN_STRESS_SECONDS every thread busy (20; long form 200,
past one run of the refresh thread)."""

import os
import pathlib
import re
import signal
import time

from conftest import BUILD, QUERY_TOOL, snmp_env, start_agent, wait_for
from tables_snmp import walk
from trapkit import Walker, event_connected

STOP_RUNS = int(os.environ.get("TN_STOP_RUNS", "3"))
STRESS_SECONDS = float(os.environ.get("TN_STRESS_SECONDS", "20"))
THREAD_SANITIZER = "TNMIBD_TSAN:BOOL=ON" in pathlib.Path(BUILD, "CMakeCache.txt").read_text()
SANITIZER_REPORT = re.compile("WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|"
                              "runtime error:")


def stopped_cleanly(agent, what):
    status, err = agent.stop(signal.SIGTERM, timeout=60), agent.stderr()
    assert status == 0 and not SANITIZER_REPORT.search(err), \
        "%s: exit status %s\n%s" % (what, status, err[-5000:])


def test_a_stop_during_an_event_storm_with_walks_exits_cleanly_every_time(
        launcher, tmp_path, snmpd, sim):
    walker = Walker(tmp_path)
    for run in range(STOP_RUNS):
        agent = start_agent(launcher, tmp_path)
        event_connected(sim)
        walker.start()
        sim.ctl("burst", 10000, "failure _node_ {i}")
        time.sleep(0.05 * (run % 5))  # stop at varying points of the storm in full flow
        stopped_cleanly(agent, "run %d" % run)
        walker.stop()
        wait_for(lambda: sim.stat("event_connections") == "0", 30,
                 "the stopped agent's event connection to close")


def main_thread_wakes(pid):  # its voluntary context switches so far
    status = pathlib.Path("/proc/%d/task/%d/status" % (pid, pid)).read_text()
    return int(re.search(r"^voluntary_ctxt_switches:\s*(\d+)", status, re.M).group(1))


def test_a_master_that_stops_reading_leaves_the_agent_idle_and_loses_nothing(
        snmpd, trapd, agent, sim):
    snmpd.proc.send_signal(signal.SIGSTOP)
    try:
        sim.ctl("burst", 500, "failure _node_ {i}")
        time.sleep(2.0)  # every event queued, the master's backlog built
        before = main_thread_wakes(agent.pid)
        time.sleep(2.0)  # the window in which the wake-ups are counted
        wakes = main_thread_wakes(agent.pid) - before
    finally:
        snmpd.proc.send_signal(signal.SIGCONT)
    assert wakes < 60, "%d wake-ups in 2 s while the master read nothing" % wakes
    # The library repeats a notification whose answer is late: some may come twice.
    wait_for(lambda: set(trapd.values("tarnNodeFailureTrap", 0)) == {str(i) for i in range(500)},
             120, "every trap of the burst")


def test_restarts_of_the_master_and_of_the_daemon_with_traps_flowing(
        launcher, tmp_path, snmpd, sim, trapd, snmp):
    # The library's reconnect sooner than by default (read from SNMPCONFPATH).
    (tmp_path / "tarnMgmt.conf").write_text("agentxPingInterval 5\n")
    start_agent(launcher, tmp_path)
    event_connected(sim)
    sim.ctl("burst", 200, "failure _node_ before-restart-{i}")
    snmpd.stop()
    launcher.start("snmpd-again", snmpd.argv, env=snmp_env(tmp_path))
    wait_for(snmp.serves, 20, "the agent served through the new master", interval=0.2)

    def trap_arrives(fs):
        sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ " + fs)
        wait_for(lambda: fs in str(trapd.traps()), 30, "a trap for " + fs)
    trap_arrives("after-master-restart")
    # The pacing follows the new session: a burst of traps does not hold up walks.
    walker = Walker(tmp_path)
    alone, _ = walker.baseline(3)
    walker.start()
    have = trapd.count()
    sim.ctl("burst", 2000, "failure _node_ {i}")
    trapd.wait_count(have + 2000, timeout=120)
    walker.stop()
    if not THREAD_SANITIZER:  # whose traps are ten times slower: timing means nothing
        walker.not_held_up(alone)

    # The daemon closes every connection and listens again: polls and traps resume.
    sim.ctl("restart")
    event_connected(sim, timeout=30)
    trap_arrives("after-daemon-restart")
    assert len(walk(snmp, "TARN-MIB::tarnNodeStatusTable")) > 3


def test_every_thread_busy_then_a_stop_with_a_hung_query_tool(trapd, agent, sim, tmp_path):
    """Traps, walks, "sdrChanged" scans of the query tool (and past 180 s the refresh
    thread) at once; then the stop must not wait for a query tool that hangs."""
    walker = Walker(tmp_path)
    walker.start()
    sent = 0
    deadline = time.monotonic() + STRESS_SECONDS
    while time.monotonic() < deadline:
        sim.ctl("burst", 1000, "failure _node_ {i}")
        sent += 1000
        sim.ctl("add", "disk", "fs1", "system", "stress%d" % sent)
        sim.ctl("remove", "disk", "fs1", "system", "stress%d" % sent)
        trapd.wait_count(sent, timeout=120)
    walker.stop()
    assert walker.failures == [], walker.failures[:3]

    pid_file = "/var/tarnfs/hung-query.pid"
    os.unlink(QUERY_TOOL)  # it may be running
    pathlib.Path(QUERY_TOOL).write_text("#!/bin/sh\necho $$ > %s\nexec sleep 600\n" % pid_file)
    os.chmod(QUERY_TOOL, 0o755)
    sim.ctl("add", "disk", "fs1", "system", "hung")
    tool = wait_for(lambda: os.path.exists(pid_file) and open(pid_file).read().strip(), 20,
                    "the hung query tool")
    started = time.monotonic()
    stopped_cleanly(agent, "the stop")
    assert time.monotonic() - started < 10

    def dead():  # gone, or a zombie not yet reaped (an orphan once the shell is)
        try:
            return ") Z " in open("/proc/%s/stat" % tool).read()
        except FileNotFoundError:
            return True
    wait_for(dead, 5, "the hung tool to be killed")
