"""Daemon events to SNMPv2 traps, end to end: the simulator emits event lines,
the agent turns them into traps, the real master forwards them to the real
snmptrapd."""

import os

import pytest

from conftest import DAEMON_SOCKET, start_agent, start_simulator, wait_for
from tables_snmp import walk
from trapkit import (Walker, event_connected, oid_of, relay_first_connection, trap_body,
                     udp_receive_errors)

# Event lines that raise no trap; each must leave the next event alone.
NO_TRAP = ["exception _node_ 10.0.0.1", "sgStats _node_ 10.0.0.1", "bogus _node_ 10.0.0.1",
           "fsstatechange _fs_ fs1 _user_ 1 _meta_ 2 _exposed_ _user_ 3 _meta_ 4"]
# One line per event type that raises a trap, its notification and its
# bindings after snmpTrapOID.0 in order, as "object=value" (names without
# "tarn"; strings but for the two gauges).
GAUGES = {"WaitTime", "StgPoolUtil"}
TRAP_CASES = [
    ("mount _node_ 10.0.0.1 _fs_ 'fs one'", "Mount",
     "NodeIpAddress=10.0.0.1|FileSystemName=fs one"),
    ("unmount _fs_ fs2 _node_ 10.0.0.2", "Unmount", "NodeIpAddress=10.0.0.2|FileSystemName=fs2"),
    ("adddisk _node_ 10.0.0.1 _fs_ fs1 _disk_ 'new disk'", "AddDisk",
     "NodeIpAddress=10.0.0.1|FileSystemName=fs1|DiskName=new disk"),
    ("deldisk _node_ 10.0.0.3 _fs_ fs1", "DeleteDisk",
     "NodeIpAddress=10.0.0.3|FileSystemName=fs1|DiskName="),
    ("chdisk _node_ 10.0.0.1 _fs_ fs1 _disk_ nsd1 _status_ 'being emptied' _availability_ up "
     "_fg_ '' _meta_ yes _data_ no", "ChangeDisk",
     "NodeIpAddress=10.0.0.1|FileSystemName=fs1|DiskName=nsd1|DiskStatus=being emptied|"
     "DiskAvailability=up|DiskFailureGroupName=|DiskMetadata=yes|DiskData=no"),
    ("takeover _node_ 10.0.0.2 _prevnode_ 10.0.0.1 _fs_ fs1", "SgmgrTakeover",
     "SgmgrIpAddress=10.0.0.2|PrevSgmgrIpAddress=10.0.0.1|FileSystemName=fs1"),
    ("failure _node_ 10.0.0.3", "NodeFailure", "NodeIpAddress=10.0.0.3"),
    ("recovery _node_ 10.0.0.3", "NodeRecovery", "NodeIpAddress=10.0.0.3"),
    ("createfs _node_ 10.0.0.2 _fs_ fs3", "FileSystemCreation",
     "SgmgrIpAddress=10.0.0.2|FileSystemName=fs3"),
    ("deletefs _node_ 10.0.0.2 _fs_ fs3", "FileSystemDeletion",
     "SgmgrIpAddress=10.0.0.2|FileSystemName=fs3"),
    ("fsstatechange _fs_ fs1 _user_ 1 _meta_ 2 _illreplicated_ _user_ 'three x' _meta_ 4 "
     "_exposed_ _user_ 5 _meta_ ''", "FileSystemStateChange",
     "FileSystemName=fs1|UserUnbalanced=1|MetaUnbalanced=2|UserIllReplicated=three x|"
     "MetaIllReplicated=4|UserExposed=5|MetaExposed="),
    ("newconnection _node_ 10.9.9.9 _n_ 10.0.0.4", "NewConnection", "NodeIpAddress=10.0.0.4"),
    # The wait time is narrowed to 32 bits: 2^32 + 5 arrives as 5.
    ("hungthread _node_ 10.0.0.1 _wait_ 4294967301 _diagnosis_ 'waiting for a lock'",
     "HungThread", "NodeIpAddress=10.0.0.1|WaitTime=5|Diagnosis=waiting for a lock"),
    ("poolutil _fs_ fs1 _pool_ data1 _util_ 87", "StgPoolUtilization",
     "StgPoolFSName=fs1|StgPoolName=data1|StgPoolUtil=87"),
]


def expected_trap(notification, bindings):
    pairs = [b.split("=") for b in bindings.split("|")]
    return (oid_of("tarn%sTrap" % notification),
            [(oid_of("tarn" + o), "Gauge32" if o in GAUGES else "STRING", v) for o, v in pairs])


def test_every_event_type_raises_its_trap_with_its_bindings_in_order(trapd, agent, sim):
    for ignored, (line, _, _) in zip(NO_TRAP * 4, TRAP_CASES):
        sim.ctl("event", ignored)
        sim.ctl("event", line)
    trapd.wait_count(len(TRAP_CASES))
    traps = [trap_body(trap) for _, trap in trapd.traps()]
    assert traps == [expected_trap(n, bindings) for _, n, bindings in TRAP_CASES]


def test_an_events_connection_that_fails_at_start_is_retried_until_it_is_made(
        launcher, tmp_path, snmpd, installed, trapd):
    sim_socket = str(tmp_path / "sim.sock")
    relay_first_connection(sim_socket)
    sim = start_simulator(launcher, tmp_path, extra=["--socket", sim_socket])
    agent = start_agent(launcher, tmp_path)
    wait_for(lambda: "Warning: no events connection" in agent.stderr(), 10,
             "the warning that events are not received")
    os.symlink(sim_socket, DAEMON_SOCKET)
    event_connected(sim, timeout=30)
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ late")
    trapd.wait_count(1)
    assert trapd.values("tarnMountTrap", 1) == ["late"]
    assert "traps are sent again" in agent.stderr()


def disk_rows(snmp):
    return {oid for oid, _, _ in walk(snmp, "TARN-MIB::tarnDiskStatusTable")}


def test_sdr_changed_rescans_disks_and_events_inside_a_response_are_not_lost(
        trapd, agent, sim, snmp):
    before = disk_rows(snmp)
    sim.ctl("log", "clear")
    sim.ctl("add", "disk", "fs1", "system", "nsdnew")  # the simulator sends "sdrChanged"
    wait_for(lambda: any("tncfgdump" in l and "norefresh" in l for l in sim.log()), 10,
             "the configuration scan run for the event")
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ sentinel")
    trapd.wait_count(1)
    assert trapd.values("tarnMountTrap", 1) == ["sentinel"], "sdrChanged raised a trap"
    # The next poll's first answer carries an event line between its lines.
    sim.ctl("fault", "event-in-response", "_event_ failure _node_ 10.0.0.9")
    # The disks are polled again once their data are 20 seconds old.
    after = wait_for(lambda: (lambda rows: rows if rows != before else None)(disk_rows(snmp)),
                     40, "the new disk's rows", interval=1)
    assert before < after, "rows lost: %s" % sorted(before - after)
    names = {"".join(chr(c) for c in oid[-6:]) for oid in after - before}
    assert names == {"nsdnew"}, after - before


BURST = 10000


def burst_in_order(sim, trapd):
    """A burst of failure events numbered 0..BURST-1: each arrives once, in order."""
    already = trapd.count()
    sim.ctl("burst", BURST, "failure _node_ {i}")
    trapd.wait_count(already + BURST, timeout=300)
    order = trapd.values("tarnNodeFailureTrap", 0)[already:]
    assert order == [str(i) for i in range(BURST)], "traps lost, repeated or out of order"


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([l for l in f if l.startswith("VmRSS:")][0].split()[1])


def test_a_burst_during_walks_loses_nothing_keeps_order_and_does_not_slow_the_walks(
        launcher, tmp_path, snmpd, sim, trapd):
    # A small quarantine, so that the sanitizer build's memory shows growth, not
    # the freed blocks it keeps for checking.
    options = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=4"
    agent = start_agent(launcher, tmp_path, env_extra={"ASAN_OPTIONS": options})
    event_connected(sim)
    walker = Walker(tmp_path)
    alone, size = walker.baseline()
    assert size > 50, "the walk returned too little to be a load"
    drops_before = udp_receive_errors()
    walker.start()
    burst_in_order(sim, trapd)
    walker.stop()
    assert udp_receive_errors() == drops_before, "datagrams dropped at the receiver"
    walker.not_held_up(alone)

    # Memory: once two bursts have settled the allocator, a leak grows the
    # agent by the same amount on each further burst (26 bytes a trap would add
    # 256 KiB), while the allocator's own settling shows in one burst at most.
    burst_in_order(sim, trapd)
    sizes = [rss_kib(agent.pid)]
    for _ in range(2):
        burst_in_order(sim, trapd)
        sizes.append(rss_kib(agent.pid))
    assert min(b - a for a, b in zip(sizes, sizes[1:])) < 256, sizes
    assert agent.running()
