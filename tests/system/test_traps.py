"""Daemon events to SNMPv2 traps, end to end: the simulator emits event lines,
the agent turns them into traps, the real master forwards them to the real
snmptrapd, and the tests read what arrived."""

import os
import statistics
import time

import pytest

from conftest import DAEMON_SOCKET, start_agent, start_simulator, wait_for
from trapkit import (EventRelay, OidNames, TimedTrapd, Walker, event_connected, trap_body,
                     udp_receive_errors)

S = "STRING"
G = "Gauge32"

# One line per event type that raises a trap, and the trap expected from it:
# the notification and its bindings after snmpTrapOID.0, in order.
TRAP_CASES = [
    ("mount _node_ 10.0.0.1 _fs_ 'fs one'", "tarnMountTrap",
     [("tarnNodeIpAddress", S, "10.0.0.1"), ("tarnFileSystemName", S, "fs one")]),
    ("unmount _fs_ fs2 _node_ 10.0.0.2", "tarnUnmountTrap",
     [("tarnNodeIpAddress", S, "10.0.0.2"), ("tarnFileSystemName", S, "fs2")]),
    ("adddisk _node_ 10.0.0.1 _fs_ fs1 _disk_ 'new disk'", "tarnAddDiskTrap",
     [("tarnNodeIpAddress", S, "10.0.0.1"), ("tarnFileSystemName", S, "fs1"),
      ("tarnDiskName", S, "new disk")]),
    ("deldisk _node_ 10.0.0.3 _fs_ fs1", "tarnDeleteDiskTrap",
     [("tarnNodeIpAddress", S, "10.0.0.3"), ("tarnFileSystemName", S, "fs1"),
      ("tarnDiskName", S, "")]),
    ("chdisk _node_ 10.0.0.1 _fs_ fs1 _disk_ nsd1 _status_ 'being emptied' _availability_ up "
     "_fg_ '' _meta_ yes _data_ no", "tarnChangeDiskTrap",
     [("tarnNodeIpAddress", S, "10.0.0.1"), ("tarnFileSystemName", S, "fs1"),
      ("tarnDiskName", S, "nsd1"), ("tarnDiskStatus", S, "being emptied"),
      ("tarnDiskAvailability", S, "up"), ("tarnDiskFailureGroupName", S, ""),
      ("tarnDiskMetadata", S, "yes"), ("tarnDiskData", S, "no")]),
    ("takeover _node_ 10.0.0.2 _prevnode_ 10.0.0.1 _fs_ fs1", "tarnSgmgrTakeoverTrap",
     [("tarnSgmgrIpAddress", S, "10.0.0.2"), ("tarnPrevSgmgrIpAddress", S, "10.0.0.1"),
      ("tarnFileSystemName", S, "fs1")]),
    ("failure _node_ 10.0.0.3", "tarnNodeFailureTrap", [("tarnNodeIpAddress", S, "10.0.0.3")]),
    ("recovery _node_ 10.0.0.3", "tarnNodeRecoveryTrap", [("tarnNodeIpAddress", S, "10.0.0.3")]),
    ("createfs _node_ 10.0.0.2 _fs_ fs3", "tarnFileSystemCreationTrap",
     [("tarnSgmgrIpAddress", S, "10.0.0.2"), ("tarnFileSystemName", S, "fs3")]),
    ("deletefs _node_ 10.0.0.2 _fs_ fs3", "tarnFileSystemDeletionTrap",
     [("tarnSgmgrIpAddress", S, "10.0.0.2"), ("tarnFileSystemName", S, "fs3")]),
    ("fsstatechange _fs_ fs1 _user_ 1 _meta_ 2 _illreplicated_ _user_ 'three x' _meta_ 4 "
     "_exposed_ _user_ 5 _meta_ ''", "tarnFileSystemStateChangeTrap",
     [("tarnFileSystemName", S, "fs1"), ("tarnUserUnbalanced", S, "1"),
      ("tarnMetaUnbalanced", S, "2"), ("tarnUserIllReplicated", S, "three x"),
      ("tarnMetaIllReplicated", S, "4"), ("tarnUserExposed", S, "5"),
      ("tarnMetaExposed", S, "")]),
    ("newconnection _node_ 10.9.9.9 _n_ 10.0.0.4", "tarnNewConnectionTrap",
     [("tarnNodeIpAddress", S, "10.0.0.4")]),
    # The wait time is narrowed to 32 bits: 2^32 + 5 arrives as 5.
    ("hungthread _node_ 10.0.0.1 _wait_ 4294967301 _diagnosis_ 'waiting for a lock'",
     "tarnHungThreadTrap",
     [("tarnNodeIpAddress", S, "10.0.0.1"), ("tarnWaitTime", G, "5"),
      ("tarnDiagnosis", S, "waiting for a lock")]),
    ("poolutil _fs_ fs1 _pool_ data1 _util_ 87", "tarnStgPoolUtilizationTrap",
     [("tarnStgPoolFSName", S, "fs1"), ("tarnStgPoolName", S, "data1"),
      ("tarnStgPoolUtil", G, "87")]),
]


@pytest.fixture
def names(tmp_path):
    return OidNames(tmp_path)


@pytest.fixture
def timed_trapd(launcher, tmp_path):
    return TimedTrapd(launcher, tmp_path)


@pytest.fixture
def events_agent(launcher, tmp_path, snmpd, sim):
    """The agent with its event connection open at the simulator."""
    agent = start_agent(launcher, tmp_path)
    event_connected(sim)
    return agent


def check_trap(trap, names, notification, bindings, context):
    oid, got = trap_body(trap)
    assert oid == names(notification), "%s: wrong notification %s" % (context, oid)
    want = [(names(obj), typ, value) for obj, typ, value in bindings]
    assert got == want, "%s: bindings differ" % context


def mount_values(timed_trapd, names):
    """The file system names of the mount traps received so far."""
    values = []
    for _, trap in timed_trapd.traps():
        oid, bindings = trap_body(trap)
        assert oid == names("tarnMountTrap"), "unexpected trap %s" % oid
        values.append(bindings[1][2])
    return values


def test_every_event_type_raises_its_trap_with_its_bindings_in_order(
        timed_trapd, events_agent, sim, names):
    for line, _, _ in TRAP_CASES:
        sim.ctl("event", line)
    timed_trapd.wait_count(len(TRAP_CASES), timeout=30)
    traps = timed_trapd.traps()
    assert len(traps) == len(TRAP_CASES)
    for (line, notification, bindings), (_, trap) in zip(TRAP_CASES, traps):
        check_trap(trap, names, notification, bindings, line)


def test_events_without_a_trap_are_dropped_and_do_not_disturb_the_next(
        launcher, tmp_path, snmpd, installed, timed_trapd, names):
    # A relay in front of the simulator lets the test put on the event
    # connection a line the simulator would not send: one without "_event_".
    sim_socket = str(tmp_path / "sim.sock")
    relay = EventRelay(sim_socket)
    try:
        sim = start_simulator(launcher, tmp_path, extra=["--socket", sim_socket])
        wait_for(lambda: os.path.exists(sim_socket), 10, "the simulator's own socket")
        agent = start_agent(launcher, tmp_path)
        event_connected(sim)
        wait_for(lambda: relay.inject("_node_ 10.0.0.1 mount _fs_ fs1") > 0, 10,
                 "the relayed event connection")
        for line in ["exception _node_ 10.0.0.1", "sgStats _node_ 10.0.0.1",
                     "bogus _node_ 10.0.0.1 _fs_ fs1",
                     "fsstatechange _fs_ fs1 _user_ 1 _meta_ 2 _exposed_ _user_ 3 _meta_ 4",
                     "mount _node_ 10.0.0.1 _fs_ after"]:
            sim.ctl("event", line)
        timed_trapd.wait_count(1, timeout=20)
        sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ last")
        timed_trapd.wait_count(2, timeout=20)
        assert mount_values(timed_trapd, names) == ["after", "last"]
        assert "_error_ answer parsing error ...." in agent.stderr()
        assert agent.running()
    finally:
        relay.close()


def test_an_events_connection_that_fails_at_start_is_retried_until_it_is_made(
        launcher, tmp_path, snmpd, installed, timed_trapd, names):
    # The daemon socket accepts the polling connection, then is gone when the
    # events handler connects.
    sim_socket = str(tmp_path / "sim.sock")
    relay = EventRelay(sim_socket, max_accepts=1)
    try:
        sim = start_simulator(launcher, tmp_path, extra=["--socket", sim_socket])
        wait_for(lambda: os.path.exists(sim_socket), 10, "the simulator's own socket")
        agent = start_agent(launcher, tmp_path)
        wait_for(lambda: "Warning: no events connection" in agent.stderr(), 10,
                 "the warning that events are not received")
        assert "_error_ creating tnperf wrapper utils" in agent.stderr()
        relay.max_accepts = None
        relay.reopen()
        event_connected(sim, timeout=30)
        sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ late")
        timed_trapd.wait_count(1, timeout=20)
        assert mount_values(timed_trapd, names) == ["late"]
        assert "traps are sent again" in agent.stderr()
    finally:
        relay.close()


def disk_rows(snmp):
    walk = snmp.walk("TARN-MIB::tarnDiskStatusTable")
    assert walk.returncode == 0, walk.stderr
    return set(line.split(" = ")[0] for line in walk.stdout.splitlines() if " = " in line)


def test_sdr_changed_rescans_disks_and_events_inside_a_response_are_not_lost(
        timed_trapd, events_agent, sim, snmp, names):
    started = time.monotonic()
    before = disk_rows(snmp)
    assert any('"nsd1"' in row for row in before), sorted(before)
    sim.ctl("log", "clear")
    # Adding a disk makes the simulator send "sdrChanged".
    sim.ctl("add", "disk", "fs1", "system", "nsdnew")
    wait_for(lambda: any("tncfgdump" in l and "norefresh" in l for l in sim.log()), 10,
             "the configuration scan run for the event")
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ sentinel")
    timed_trapd.wait_count(1, timeout=20)
    assert mount_values(timed_trapd, names) == ["sentinel"], "sdrChanged raised a trap"

    # The next poll's first answer carries an event line between its lines.
    sim.ctl("fault", "event-in-response", "_event_ failure _node_ 10.0.0.9")
    # Disk lists are polled again once they are more than 20 seconds old.
    time.sleep(max(0.0, 21.5 - (time.monotonic() - started)))
    after = disk_rows(snmp)
    added = after - before
    assert before <= after, "rows lost: %s" % sorted(before - after)
    assert added and all('"nsdnew"' in row for row in added), sorted(added)


def test_a_dropped_event_connection_is_remade_and_a_vanished_daemon_ends_the_agent(
        timed_trapd, events_agent, sim, names):
    sim.ctl("fault", "drop")
    event_connected(sim)
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ reconnected")
    timed_trapd.wait_count(1, timeout=20)
    assert mount_values(timed_trapd, names) == ["reconnected"]

    sim.ctl("shutdown")
    assert events_agent.wait_exit(timeout=20) == 1
    assert "Error: Events handler TARN daemon connection failed, exiting..." in \
        events_agent.stderr()


BURST = 10000


def burst_in_order(sim, timed_trapd, names, already):
    """Sends a burst of failure events numbered 0..BURST-1 and checks that
    each arrives once, in order; returns the seconds it took."""
    start = time.monotonic()
    sim.ctl("burst", BURST, "failure _node_ {i}")
    timed_trapd.wait_count(already + BURST, timeout=300)
    elapsed = time.monotonic() - start
    traps = timed_trapd.traps()[already:]
    assert len(traps) == BURST
    order = []
    for _, trap in traps:
        oid, bindings = trap_body(trap)
        assert oid == names("tarnNodeFailureTrap")
        order.append(int(bindings[0][2]))
    assert order == list(range(BURST)), "traps lost, repeated or out of order"
    return elapsed


def test_a_burst_during_walks_loses_nothing_keeps_order_and_does_not_slow_the_walks(
        launcher, tmp_path, snmpd, sim, timed_trapd, names):
    # A small quarantine, so that the sanitizer build's memory shows growth, not
    # the freed blocks it keeps for checking.
    options = os.environ.get("ASAN_OPTIONS", "")
    agent = start_agent(launcher, tmp_path,
                        env_extra={"ASAN_OPTIONS": options + ":quarantine_size_mb=4"})
    event_connected(sim)
    walker = Walker(tmp_path)
    base_time, base_size = walker.baseline()
    assert base_size > 50, "the walk returned too little to be a load"
    drops_before = udp_receive_errors()

    walker.start()
    first = burst_in_order(sim, timed_trapd, names, 0)
    walker.stop()
    assert udp_receive_errors() == drops_before, "datagrams dropped at the receiver"
    assert walker.failures == [], walker.failures
    assert walker.times, "no walk completed during the burst"
    during = statistics.median(walker.times)
    print("burst %.2f s; walks: alone %.3f s, during the burst median %.3f s max %.3f s (%d)" %
          (first, base_time, during, max(walker.times), len(walker.times)))
    # A stalled connection makes every walk take seconds; a busy machine only some.
    assert during < max(3 * base_time, base_time + 0.5), walker.times

    # Memory: once two bursts have settled the allocator, a leak grows the
    # agent by the same amount on every further burst, while the allocator's
    # own settling (larger under the sanitizers) shows in one burst at most.
    # A leak of 26 bytes a trap would add 256 KiB to each of the next two.
    burst_in_order(sim, timed_trapd, names, BURST)
    sizes = [agent.rss_kib()]
    for n in (2, 3):
        burst_in_order(sim, timed_trapd, names, n * BURST)
        sizes.append(agent.rss_kib())
    growth = [b - a for a, b in zip(sizes, sizes[1:])]
    print("memory after two bursts %d KiB, growth over the next two %s KiB" % (sizes[0], growth))
    assert min(growth) < 256, growth
    assert agent.running()
