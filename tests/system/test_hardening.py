"""The agent under stress, through the real master: stops during event storms
with walks running, a master that stops reading, restarts of the master and
of the daemon with traps flowing, a hung configuration query tool at a stop,
and every thread busy at once. Run against the thread sanitizer build, these
are the race checks; no sanitizer report may appear.

TN_STOP_RUNS sets how many stops under load are made in a row (3 by default;
the long form is 20), TN_STRESS_SECONDS how long every thread is kept busy
(20 by default; the long form is 200, past one run of the refresh thread)."""

import glob
import os
import signal
import time

from conftest import BUILD, QUERY_TOOL, snmp_env, start_agent, wait_for
from trapkit import TimedTrapd, Walker, event_connected, trap_body

VERSION_OID = "TARN-MIB::tarnSubagentVersion.0"
STOP_RUNS = int(os.environ.get("TN_STOP_RUNS", "3"))
BURST = 10000
SANITIZER_REPORTS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                     "ERROR: LeakSanitizer")


def sanitizer_reports(text):
    return [l for l in text.splitlines() if any(r in l for r in SANITIZER_REPORTS)]


def main_thread_wakes(pid):
    """Voluntary context switches of the agent's main thread so far."""
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    return 0


def received_nodes(trapd):
    return set(trap_body(trap)[1][0][2] for _, trap in trapd.traps())


def thread_sanitizer_build():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return "TNMIBD_TSAN:BOOL=ON" in cache.read()


def serves(snmp):
    r = snmp.get("-Ov", VERSION_OID)
    return r.returncode == 0 and "Gauge32: 1" in r.stdout


def test_a_stop_during_an_event_storm_with_walks_exits_cleanly_every_time(
        launcher, tmp_path, snmpd, sim):
    walker = Walker(tmp_path)
    for run in range(STOP_RUNS):
        agent = start_agent(launcher, tmp_path)
        event_connected(sim)
        walker.start()
        sim.ctl("burst", BURST, "failure _node_ {i}")
        # Stop while the storm is in full flow: events arriving, traps going out.
        time.sleep(0.05 * (run % 5))
        rc = agent.stop(signal.SIGTERM, timeout=60)
        walker.stop()
        walker.stop_flag.clear()
        err = agent.stderr()
        assert rc == 0, "run %d: exit status %s\n%s" % (run, rc, err[-3000:])
        assert sanitizer_reports(err) == [], "run %d:\n%s" % (run, err[-5000:])
        assert glob.glob(os.path.join(str(tmp_path), "core*")) == [], "run %d: core" % run
        wait_for(lambda: "event_connections 0" in sim.ctl("stats"), 30,
                 "the stopped agent's event connection to close")


def test_a_master_that_stops_reading_leaves_the_agent_idle_and_loses_nothing(
        launcher, tmp_path, snmpd, sim):
    trapd = TimedTrapd(launcher, tmp_path)
    agent = start_agent(launcher, tmp_path)
    event_connected(sim)
    snmpd.proc.send_signal(signal.SIGSTOP)
    try:
        sim.ctl("burst", 500, "failure _node_ {i}")
        time.sleep(2.0)  # every event queued, the master's backlog built
        before = main_thread_wakes(agent.pid)
        time.sleep(2.0)
        wakes = main_thread_wakes(agent.pid) - before
    finally:
        snmpd.proc.send_signal(signal.SIGCONT)
    # The loop waits for the master instead of polling it every half millisecond.
    print("%d wake-ups of the main thread in 2 s while the master read nothing" % wakes)
    assert wakes < 60, "%d wake-ups in 2 s while the master read nothing" % wakes
    # The library sends a notification again when its answer is late, so a
    # stopped master may forward some twice; none may be missing.
    wait_for(lambda: len(received_nodes(trapd)) == 500, 120, "every trap of the burst")
    assert received_nodes(trapd) == set(str(i) for i in range(500))
    assert agent.running()


def restart_master(launcher, snmpd, tmp_path):
    snmpd.stop()
    return launcher.start("snmpd-again", snmpd.argv, env=snmp_env(tmp_path))


def test_restarts_of_the_master_and_of_the_daemon_with_traps_flowing(
        launcher, tmp_path, snmpd, sim, snmp):
    # The library's reconnect, sooner than by default: the library reads the
    # application's configuration file from SNMPCONFPATH.
    (tmp_path / "tarnMgmt.conf").write_text("agentxPingInterval 5\n")
    trapd = TimedTrapd(launcher, tmp_path)
    agent = start_agent(launcher, tmp_path)
    event_connected(sim)
    sim.ctl("burst", 500, "failure _node_ {i}")
    trapd.wait_count(500, timeout=60)

    sim.ctl("burst", 200, "failure _node_ before-restart-{i}")
    started = time.monotonic()
    restart_master(launcher, snmpd, tmp_path)
    wait_for(lambda: serves(snmp), 30, "the agent served through the new master", interval=0.2)
    took = time.monotonic() - started
    print("agent served again %.1f s after the master's restart" % took)
    assert took < 20
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ after-master-restart")
    wait_for(lambda: any("after-master-restart" in l for _, l in trapd.arrivals), 30,
             "the trap of an event sent after the master's restart")
    # The pacing follows the library's new session to the master: walks are
    # not held up by a burst of traps on it.
    walker = Walker(tmp_path)
    alone, _ = walker.baseline(3)
    walker.start()
    have = trapd.count()
    sim.ctl("burst", 2000, "failure _node_ {i}")
    trapd.wait_count(have + 2000, timeout=120)
    walker.stop()
    assert walker.failures == [] and walker.times, walker.failures[:3]
    during = sorted(walker.times)[len(walker.times) // 2]
    print("walks alone %.3f s, during the burst median %.3f s" % (alone, during))
    # The thread sanitizer slows every trap tenfold: timing means nothing there.
    if not thread_sanitizer_build():
        assert during < max(3 * alone, alone + 0.5), (alone, walker.times)

    # The daemon closes every connection and listens again: polls and traps resume.
    sim.ctl("log", "clear")
    sim.ctl("restart")
    event_connected(sim, timeout=30)
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ after-daemon-restart")
    wait_for(lambda: any("after-daemon-restart" in l for _, l in trapd.arrivals), 30,
             "the trap of an event sent after the daemon's restart")
    # The node level is polled again (its data are older than 20 seconds by now
    # or the poll goes out at once): the walk's commands reach the new daemon.
    walk = snmp.walk("TARN-MIB::tarnNodeStatusTable")
    assert walk.returncode == 0 and walk.stdout.count("\n") > 3, walk.stderr
    assert agent.running()
    assert agent.running()


STRESS_SECONDS = float(os.environ.get("TN_STRESS_SECONDS", "20"))


def test_traps_walks_and_configuration_scans_together_stay_clean(launcher, tmp_path, snmpd, sim):
    """Every thread busy at once: bursts of events become traps on the main
    thread while walks poll the daemon, disks come and go (each change sends
    "sdrChanged", whose configuration scan runs on the send thread), and, in a
    run longer than 180 seconds, the refresh thread rebuilds the node list.
    Under the thread sanitizer build this is the race check."""
    trapd = TimedTrapd(launcher, tmp_path)
    agent = start_agent(launcher, tmp_path)
    event_connected(sim)
    walker = Walker(tmp_path)
    walker.start()
    sent = 0
    deadline = time.monotonic() + STRESS_SECONDS
    while time.monotonic() < deadline:
        sim.ctl("burst", 1000, "failure _node_ {i}")
        sent += 1000
        sim.ctl("add", "disk", "fs1", "system", "stress%d" % sent)
        sim.ctl("remove", "disk", "fs1", "system", "stress%d" % sent)
        # Every trap arrives; the next burst follows once they have.
        trapd.wait_count(sent, timeout=120)
    walker.stop()
    assert walker.failures == [], walker.failures[:3]
    assert agent.stop(signal.SIGTERM, timeout=60) == 0, agent.stderr()[-3000:]
    assert sanitizer_reports(agent.stderr()) == [], agent.stderr()[-8000:]


def test_a_hung_query_tool_does_not_hold_the_stop(launcher, tmp_path, snmpd, sim):
    agent = start_agent(launcher, tmp_path)
    event_connected(sim)
    pid_file = "/var/tarnfs/hung-query.pid"
    os.unlink(QUERY_TOOL)
    with open(QUERY_TOOL, "w") as f:
        f.write("#!/bin/sh\necho $$ > %s\nexec sleep 600\n" % pid_file)
    os.chmod(QUERY_TOOL, 0o755)
    # A disk change makes the daemon send "sdrChanged", whose configuration
    # scan runs the tool on the events handler's send thread.
    sim.ctl("add", "disk", "fs1", "system", "hung")
    wait_for(lambda: os.path.exists(pid_file) and open(pid_file).read().strip(), 20,
             "the hung query tool")
    tool = open(pid_file).read().strip()
    started = time.monotonic()
    assert agent.stop(signal.SIGTERM, timeout=30) == 0, agent.stderr()[-3000:]
    assert time.monotonic() - started < 10
    # Killed: gone, or dead and not yet reaped (an orphan once the shell is).
    stat = "/proc/%s/stat" % tool

    def dead():
        try:
            return ") Z " in open(stat).read()
        except FileNotFoundError:
            return True
    wait_for(dead, 5, "the hung tool to be killed")
