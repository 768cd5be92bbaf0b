"""Daemon events to SNMPv2 traps, through the real master to the real snmptrapd."""

import os


from conftest import AGENTX_SOCKET, start_agent, start_snmpd
from trapkit import Walker, event_connected, oid_of, trap_body, udp_receive_errors

# Event lines that raise no trap (sdrChanged: a configuration scan), nor disturb the next.
NO_TRAP = ["exception _node_ 10.0.0.1", "sgStats _node_ 10.0.0.1", "bogus _node_ 10.0.0.1",
           "fsstatechange _fs_ fs1 _user_ 1 _meta_ 2 _exposed_ _user_ 3 _meta_ 4", "sdrChanged"]
# Event types with a trap: notification, bindings in order ("object=value", no "tarn").
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
    for ignored, (line, _, _) in zip(NO_TRAP * 3, TRAP_CASES):
        sim.ctl("event", ignored)
        sim.ctl("event", line)
    trapd.wait_count(len(TRAP_CASES))
    traps = [trap_body(trap) for _, trap in trapd.traps()]
    assert traps == [expected_trap(n, bindings) for _, n, bindings in TRAP_CASES]


def burst_in_order(sim, trapd, n=10000):
    """A burst of failure events numbered 0..n-1: each arrives once, in order."""
    already = trapd.count()
    sim.ctl("burst", n, "failure _node_ {i}")
    trapd.wait_count(already + n, timeout=300)
    order = trapd.values("tarnNodeFailureTrap", 0)[already:]
    assert order == [str(i) for i in range(n)], "traps lost, repeated or out of order"


def test_a_burst_during_walks_loses_nothing_keeps_order_and_does_not_slow_the_walks(
        launcher, tmp_path, sim, trapd):
    # Over the master's UNIX socket, as packaged (the hardening tests take TCP).
    start_snmpd(launcher, tmp_path, ("master agentx", "agentXSocket unix:" + AGENTX_SOCKET))
    (tmp_path / "tarnMgmt.conf").write_text("agentXSocket %s\n" % AGENTX_SOCKET)
    # No quarantine: the sanitizer build's memory shows growth, not freed blocks kept.
    options = (os.environ.get("ASAN_OPTIONS", "") +
               ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0")
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

    # A leak grows the agent at every burst (26 bytes a trap would add 256 KiB). The allocator
    # settles within a burst or two, and now and then gives back megabytes at once.
    sizes = []
    for _ in range(5):
        burst_in_order(sim, trapd)
        sizes.append(int(open("/proc/%d/statm" % agent.pid).read().split()[1]) * 4)  # KiB
    growths = sorted(b - a for a, b in zip(sizes, sizes[1:]))
    assert growths[1] < 256, sizes
