"""The agent health scalars through the real master."""

import tables_model
from conftest import start_agent, start_simulator, wait_for
from tables_snmp import walk

SCALARS = ["tarnAgentCommandConnection", "tarnAgentEventConnection", "tarnAgentClusterDataAge",
           "tarnAgentNodeDataAge", "tarnAgentFileSystemDataAge", "tarnAgentStgPoolDataAge",
           "tarnAgentDiskDataAge", "tarnAgentPollFailures", "tarnAgentEventsReceived",
           "tarnAgentTrapsSent", "tarnAgentTrapsDropped"]
AGES = SCALARS[2:7]
TRUE, FALSE = 1, 2
EVENT_WORDS = ["mount", "unmount", "adddisk", "deldisk", "chdisk", "takeover", "failure",
               "recovery", "createfs", "deletefs", "fsstatechange", "newconnection", "exception",
               "sgStats", "hungthread", "poolutil", "sdrChanged"]
NEVER = 4294967295


def health(snmp):
    """Every health scalar by name, as a number (TruthValue 1 true, 2 false)."""
    got = snmp.get("-Oe", *["TARN-MIB::%s.0" % s for s in SCALARS])
    values = [line.split(" = ")[1].split(": ") for line in got.stdout.splitlines()]
    assert got.returncode == 0 and len(values) == len(SCALARS), got.stdout + got.stderr
    types = ["INTEGER"] * 2 + ["Gauge32"] * 5 + ["Counter64"] * 4
    assert [t for t, _ in values] == types, values
    return dict(zip(SCALARS, (int(v.split()[0]) for _, v in values)))


def event_table(snmp):
    """The event table's rows by type word: (received, traps sent, seconds since the last)."""
    varbinds = walk(snmp, "TARN-MIB::tarnAgentEventTable")
    columns = {}
    for oid, typ, value in varbinds:
        columns.setdefault(oid[-2], []).append((oid[-1], typ, value))
    assert sorted(columns) == [2, 3, 4, 5], varbinds
    assert [i for i, _, _ in columns[2]] == list(range(1, 18))
    assert {t for c in (3, 4) for _, t, _ in columns[c]} == {"Counter64"}
    assert {t for _, t, _ in columns[5]} == {"Gauge32"}
    return {name: tuple(columns[c][i][2] for c in (3, 4, 5))
            for i, (_, _, name) in enumerate(columns[2])}


def when(fetch, holds, what, timeout=10):
    """fetch()'s first value for which holds is true."""
    return wait_for(lambda: (lambda v: v if holds(v) else None)(fetch()), timeout, what, 0.2)


def test_health_scalars_follow_connections_ages_polls_events_and_traps(
        launcher, tmp_path, snmpd, trapd, installed, snmp):
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    start_agent(launcher, tmp_path)
    first = health(snmp)
    assert first["tarnAgentCommandConnection"] == first["tarnAgentEventConnection"] == TRUE
    assert all(first[a] <= 5 for a in AGES), first
    assert [first[s] for s in SCALARS[7:]] == [0, 0, 0, 0]
    # Daemon ends closed: the idle command connection is down until a poll, the event one
    # while refused.
    for faults, flag, value in [([("drop",)], "Command", FALSE),
                                ([("refuse", "on"), ("drop",)], "Event", FALSE),
                                ([("clear",)], "Event", TRUE)]:
        for fault in faults:
            sim.ctl("fault", *fault)
        when(lambda: health(snmp), lambda h: h["tarnAgent%sConnection" % flag] == value,
             "the %s connection flag to be %d" % (flag, value))

    for fs in ("h1", "h2", "h3"):
        sim.ctl("event", "mount _node_ 10.9.0.1 _fs_ " + fs)
    trapd.wait_count(3)
    sim.ctl("event", "exception _node_ 10.9.0.1 _text_ x")
    counts = when(lambda: health(snmp), lambda h: h["tarnAgentEventsReceived"] == 4,
                  "the exception line")
    assert [counts[s] for s in SCALARS[9:]] == [3, 0]
    # Per type: the words in type order, the lines and traps counted where they came.
    events = when(lambda: event_table(snmp), lambda t: t["exception"][0] == 1, "the exception row")
    assert list(events) == EVENT_WORDS
    assert events["mount"][:2] == (3, 3) and events["mount"][2] <= 5, events
    assert events["exception"][:2] == (1, 0) and events["exception"][2] <= 5, events
    assert {events[w] for w in EVENT_WORDS if w not in ("mount", "exception")} == {
        (0, 0, NEVER)}

    # Nothing walks the tables: every age grows past the 20-second window.
    stale = when(lambda: health(snmp), lambda h: min(h[a] for a in AGES) > 20,
                 "the data to age past 20 seconds", 40)
    # A failed node: file system, pool and disk polls after a node poll are refused.
    sim.ctl("set", "node", "10.9.0.1", "status", "*failed")
    for table in ("tarnClusterStatusTable", "tarnStgPoolTable", "tarnDiskPerfTable",
                  "tarnNodeStatusTable", "tarnFileSystemPerfTable"):
        assert walk(snmp, "TARN-MIB::" + table), table
    after = health(snmp)
    assert all(after[a] <= 2 for a in AGES if a != "tarnAgentFileSystemDataAge"), after
    assert after["tarnAgentFileSystemDataAge"] >= stale["tarnAgentFileSystemDataAge"]
    assert after["tarnAgentPollFailures"] >= 1
    assert after["tarnAgentCommandConnection"] == TRUE  # the walks' polls re-opened it
