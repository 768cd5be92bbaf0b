"""The agent under stress, through the real master: stops during event storms
with walks running, a master that stops reading, restarts of the master and
of the daemon with traps flowing, a hung configuration query tool at a stop,
and every thread busy at once. Under the sanitizer builds no report may appear.

TN_STOP_RUNS sets how many stops under load are made in a row (3 by default;
the long form is 20), TN_STRESS_SECONDS how long every thread is kept busy
(20 by default; the long form is 200, past one run of the refresh thread)."""

import glob
import os
import signal
import time

from conftest import BUILD, QUERY_TOOL, snmp_env, start_agent, wait_for
from trapkit import Walker, event_connected

STOP_RUNS = int(os.environ.get("TN_STOP_RUNS", "3"))
STRESS_SECONDS = float(os.environ.get("TN_STRESS_SECONDS", "20"))
SANITIZER_REPORTS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                     "ERROR: LeakSanitizer")


def stopped_cleanly(agent, what):
    status = agent.stop(signal.SIGTERM, timeout=60)
    err = agent.stderr()
    assert status == 0, "%s: exit status %s\n%s" % (what, status, err[-3000:])
    assert not [l for l in err.splitlines() if any(r in l for r in SANITIZER_REPORTS)], \
        "%s:\n%s" % (what, err[-5000:])


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
        assert glob.glob(os.path.join(str(tmp_path), "core*")) == [], "run %d: core" % run
        wait_for(lambda: sim.stat("event_connections") == "0", 30,
                 "the stopped agent's event connection to close")


def main_thread_wakes(pid):
    """Voluntary context switches of the agent's main thread so far."""
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        return int([l for l in f if l.startswith("voluntary_ctxt_switches:")][0].split()[1])


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
    # The library sends a notification again when its answer is late, so a
    # stopped master may forward some twice; none may be missing.
    nodes = lambda: set(trapd.values("tarnNodeFailureTrap", 0))  # noqa: E731
    wait_for(lambda: len(nodes()) == 500, 120, "every trap of the burst")
    assert nodes() == {str(i) for i in range(500)}
    assert agent.running()


def test_restarts_of_the_master_and_of_the_daemon_with_traps_flowing(
        launcher, tmp_path, snmpd, sim, trapd, snmp):
    # The library's reconnect, sooner than by default: the library reads the
    # application's configuration file from SNMPCONFPATH.
    (tmp_path / "tarnMgmt.conf").write_text("agentxPingInterval 5\n")
    agent = start_agent(launcher, tmp_path)
    event_connected(sim)
    sim.ctl("burst", 500, "failure _node_ {i}")
    trapd.wait_count(500, timeout=60)

    sim.ctl("burst", 200, "failure _node_ before-restart-{i}")
    snmpd.stop()
    started = time.monotonic()
    launcher.start("snmpd-again", snmpd.argv, env=snmp_env(tmp_path))
    wait_for(snmp.serves, 30, "the agent served through the new master", interval=0.2)
    assert time.monotonic() - started < 20

    def trap_arrives(fs):
        sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ " + fs)
        wait_for(lambda: any(fs in line for _, line in trapd.arrivals), 30, "a trap for " + fs)
    trap_arrives("after-master-restart")
    # The pacing follows the library's new session to the master: walks are
    # not held up by a burst of traps on it.
    walker = Walker(tmp_path)
    alone, _ = walker.baseline(3)
    walker.start()
    have = trapd.count()
    sim.ctl("burst", 2000, "failure _node_ {i}")
    trapd.wait_count(have + 2000, timeout=120)
    walker.stop()
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        thread_sanitizer = "TNMIBD_TSAN:BOOL=ON" in cache.read()
    if not thread_sanitizer:  # which slows every trap tenfold: timing means nothing there
        walker.not_held_up(alone)

    # The daemon closes every connection and listens again: polls and traps resume.
    sim.ctl("restart")
    event_connected(sim, timeout=30)
    trap_arrives("after-daemon-restart")
    walk = snmp.walk("TARN-MIB::tarnNodeStatusTable")
    assert walk.returncode == 0 and walk.stdout.count("\n") > 3, walk.stderr
    assert agent.running()


def test_traps_walks_and_configuration_scans_together_stay_clean(snmpd, trapd, agent, sim,
                                                                 tmp_path):
    """Bursts become traps on the main thread while walks poll the daemon,
    disks come and go (each change's "sdrChanged" scan runs on the send
    thread), and in a run past 180 s the refresh thread rebuilds the nodes."""
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
    stopped_cleanly(agent, "after the stress")


def test_a_hung_query_tool_does_not_hold_the_stop(agent, sim):
    pid_file = "/var/tarnfs/hung-query.pid"
    os.unlink(QUERY_TOOL)
    with open(QUERY_TOOL, "w") as f:
        f.write("#!/bin/sh\necho $$ > %s\nexec sleep 600\n" % pid_file)
    os.chmod(QUERY_TOOL, 0o755)
    # The disk change's "sdrChanged" runs the tool on the send thread.
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
