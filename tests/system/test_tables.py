"""The ten tables through the real master against the simulator's model, both
lookups alike; the 20-second window and the walk rules; start-up without a daemon."""

import json
import re
import subprocess
import time

import pytest

import tables_expected as te
import tables_model
from conftest import (AGENT_HOST, SAMPLE_MODEL, TARNSIM, start_agent, start_simulator,
                      start_snmpd, wait_for)
from tables_snmp import (TARN_ROOT, all_column_oids, differences, expected_varbinds, oid_text,
                         oid_tuple, parse_varbinds, table_oids, walk)


@pytest.fixture
def master(launcher, tmp_path, installed):
    """The master agent, logging the error status of each AgentX response it
    gets ("got response errstat=N"); returns the log's path."""
    start_snmpd(launcher, tmp_path, ("master agentx", "agentXSocket tcp:localhost:705",
                                     "[snmp] doDebugging 1", "[snmp] debugTokens agentx/master"))
    return tmp_path / "snmpd.log"


def agent_errors(log, request):
    """Sends request (a function returning a manager's result); returns the
    result and the non-zero error statuses the agent answered the master."""
    before = len(re.findall(r"got response errstat=", log.read_text()))
    result = request()
    statuses = re.findall(r"got response errstat=(\d+)", log.read_text())[before:]
    return result, [int(s) for s in statuses if s != "0"]


NO_DAEMON = ["Error: Failed to connect", "Error: Failed to make connection",
             "Error initializing Polling Handler, exiting..."]


def test_without_the_daemon_the_agent_stops_at_start_up(launcher, tmp_path, master):
    agent = start_agent(launcher, tmp_path, wait=False)
    assert agent.wait_exit(timeout=30) == 1
    lines = [l.split(": tnmibd: ", 1)[1] for l in agent.stderr().splitlines()
             if ": tnmibd: " in l]
    assert [l for l in lines if l in NO_DAEMON] == NO_DAEMON, agent.stderr()


def generated(tmp_path, shape, names, edit=lambda model: None):
    """A model from tarnsim generate with new names (file system index, or
    with a pool index, or with a pool and a disk index: name), then edit."""
    got = subprocess.run([TARNSIM, "generate", shape, "--seed", "3"], capture_output=True,
                         text=True, check=True)
    model = json.loads(got.stdout)
    for path, name in names:
        named = model["fileSystems"][path[0]]
        for i, kind in zip(path[1:], ("pools", "disks")):
            named = named[kind][i]
        for stats in (s for n in model["nodes"] for s in n.get("fsStats", [])):
            if len(path) == 1 and stats["fs"] == named["name"]:
                stats["fs"] = name
        named["name"] = name
    edit(model)
    path = tmp_path / "generated.json"
    path.write_text(json.dumps(model))
    return path


# A file system, pool and disk of 60 characters: their pool row and disk rows
# need more sub-identifiers than an OID has, and are left out.
LONG = ("F" * 60, "P" * 60, "D" * 60)

MODELS = {
    "test": lambda tmp: tables_model.write_model(tmp / "model.json"),
    "sample": lambda tmp: SAMPLE_MODEL,
    # Names of 1, 8 and 48 characters, pool names repeated across file
    # systems, and a file system without pools (so without disk records).
    "short-long-nopools": lambda tmp: generated(
        tmp, "3,4,2,3", [((0,), "f"), ((1,), "g" * 48), ((1, 0), "pool0008"), ((0, 1, 0), "d"),
                         ((1, 0, 1), "e" * 48)],
        lambda model: model["fileSystems"].insert(2, {"name": "nopools", "pools": []})),
    # A pool without disks in the first file system: only the pool poll
    # reports it, after the pools with disks, and it ends the disk walk.
    "empty-pool": lambda tmp: generated(
        tmp, "2,2,3,2", [((1,), "fs000008")],
        lambda model: model["fileSystems"][0]["pools"][1].update(disks=[])),
    "too-long": lambda tmp: generated(
        tmp, "2,3,2,2", [((1,), LONG[0]), ((1, 0), LONG[1]), ((1, 0, 0), LONG[2]),
                         ((2, 1, 0), "x" * 48), ((2,), "y" * 48)]),
}

# GETs of absent rows in the test model: nodes answer noSuchName (2), file
# systems, pools and disks badValue (3).
ABSENT = [("tarnNodeStatus", ("nosuchnode",), 2), ("tarnNodePagePoolH", ("nosuchnode",), 2),
          ("tarnFileSystemStatus", ("nosuchfs",), 3), ("tarnStgPoolNumDisks", ("fsaa", "x"), 3),
          ("tarnDiskStatus", ("fsaa", "system", "x"), 3),
          ("tarnDiskReadOps", ("fsb", "data", "d6"), 3)]

# tarnAgentHealth: the agent's own ages and counts, which differ between two agents.
HEALTH_ROOT = TARN_ROOT + ".1.1.13."


def tables_only(result):
    """A manager's result without the health scalars' lines."""
    lines = result.stdout.splitlines(keepends=True)
    return (result.returncode, "".join(l for l in lines if not l.startswith(HEALTH_ROOT)),
            result.stderr)


def absent_rows(oids):
    """Rows next to walked ones that are not there: the last index byte
    raised, a name cut short, a name made longer."""
    return [row for oid in oids[::max(1, len(oids) // 40)]
            for row in (oid[:-1] + (oid[-1] + 1,), oid[:-1], oid + (65,))]


def answers(launcher, snmp, master, tmp_path, lookup, oids, absent):
    """What one agent using lookup answers, as the managers print it: both
    walks of the TARN subtree, GETs of the walked rows (20 a request) and of
    absent rows (one a request, with the agent's error statuses); its log."""
    agent = start_agent(launcher, tmp_path, env_extra={"TNMIBD_TABLE_LOOKUP": lookup})
    out = {"walk": tables_only(snmp.walk(TARN_ROOT, opts=("-On",))),
           "bulkwalk": tables_only(snmp.bulkwalk(TARN_ROOT, opts=("-On",)))}
    oids = oids or [o for o, _, _ in parse_varbinds(out["walk"][1])]
    present = [oid_text(o) for o in oids]
    out["get"] = [tables_only(snmp.get("-On", *present[i:i + 20]))
                  for i in range(0, len(present), 20)]
    out["absent"] = [agent_errors(master, lambda: tables_only(snmp.get("-On", oid_text(o))))
                     for o in absent_rows(oids) + absent]
    agent.stop()
    out["log"] = agent.stderr()
    return out, oids


@pytest.mark.parametrize("name", MODELS)
def test_both_lookups_answer_as_the_model_implies(name, launcher, tmp_path, master, snmp):
    sim = start_simulator(launcher, tmp_path, MODELS[name](tmp_path))
    want = te.expected_tables(sim.model())
    columns = all_column_oids(snmp, want)
    absent = [columns[c] + te.index_key(names) for c, names, _ in ABSENT if name == "test"]
    by_index, oids = answers(launcher, snmp, master, tmp_path, "sorted", None, absent)
    by_scan, _ = answers(launcher, snmp, master, tmp_path, "scan", oids, absent)
    for kind in ("walk", "bulkwalk", "get", "absent"):
        assert by_index[kind] == by_scan[kind], kind
    # The hint handler found the iterator's handler to go ahead of.
    assert "without its index hint" not in by_index["log"]
    walked = by_index["walk"]
    assert walked[0] == 0 and walked == by_index["bulkwalk"]
    assert "".join(r[1] for r in by_index["get"]) == walked[1]

    # The version scalar, then every row and column as the model implies.
    version, *rows = parse_varbinds(walked[1])
    assert version[0] == oid_tuple(TARN_ROOT) + (1, 1, 1, 0) and len(rows) > 50
    want_rows = sorted(vb for t in te.TABLES for vb in expected_varbinds(want[t], columns))
    assert not differences(rows, want_rows), differences(rows, want_rows)

    if name == "test":
        assert [len(want[t]) for t in te.TABLES] == [1, 1, 4, 4, 2, 2, 4, 6, 6, 6]
        assert [s for _, s in by_index["absent"][-len(ABSENT):]] == [[s] for _, _, s in ABSENT]
        assert len({v for _, t, v in rows if t == "Counter64" and v >= 2 ** 32}) >= 5
    if name == "too-long":
        for log in (by_index["log"], by_scan["log"]):
            assert 1 <= log.count("Warning: storage pool %s %s left out" % LONG[:2]) <= 3
            assert 1 <= log.count("Warning: disk %s %s %s left out" % LONG) <= 3


def change(sim, *args):
    """Changes the disk configuration and waits for the agent's scan of it."""
    before = "\n".join(sim.log()).count("tncfgdump 30 ")
    sim.ctl(*args)
    wait_for(lambda: "\n".join(sim.log()).count("tncfgdump 30 ") > before, 15,
             "the agent's disk configuration scan")


def value(snmp, oid, tool="snmpget"):
    got = snmp.run(tool, "-On", "-Ov", AGENT_HOST, oid_text(oid))
    assert got.returncode == 0, got.stderr
    return got.stdout.strip()


def polled(sim, request):
    """The commands the agent sent the daemon while answering request()."""
    sim.ctl("log", "clear")
    request()
    return sim.log()


@pytest.mark.parametrize("lookup", ["sorted", "scan"])
def test_twenty_second_window_and_the_refresh_rules_of_the_walks(lookup, launcher, tmp_path,
                                                                 master, snmp):
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    started = time.monotonic()
    start_agent(launcher, tmp_path, env_extra={"TNMIBD_TABLE_LOOKUP": lookup})
    ready = time.monotonic()
    columns = all_column_oids(snmp, te.expected_tables(sim.model()))
    tables_at = table_oids(snmp)
    failures = columns["tarnNodeFailureCount"] + te.index_key(("alpha.test.example",))
    d4_status = columns["tarnDiskStatus"] + te.index_key(("fsaa", "data1", "d4"))

    # Within the window a change in the daemon is not seen: neither a changed
    # value nor a disk that the configuration dropped.
    sim.ctl("set", "node", "10.9.0.1", "failureCount", "9")
    change(sim, "remove", "disk", "fsaa", "data1", "d4")
    assert value(snmp, failures) == "Gauge32: 0"
    assert value(snmp, d4_status) == "STRING: being"
    assert time.monotonic() - started < 19, "start-up took too long for the window test"

    # After it, the next request polls again.
    flipped = wait_for(lambda: value(snmp, failures) == "Gauge32: 9" and time.monotonic(), 40,
                       "the node poll after the window", interval=0.25)
    assert 20 < flipped - started and flipped - ready < 23

    # A status table polls file systems without their statistics, the performance
    # table both (one GETNEXT each: a walk would go on into the next table).
    log = polled(sim, lambda: value(snmp, tables_at["tarnFileSystemStatusTable"], "snmpgetnext"))
    assert "get fs fsaa -b" in log and "tnperf gfis" not in log, log
    log = polled(sim, lambda: value(snmp, tables_at["tarnFileSystemPerfTable"], "snmpgetnext"))
    assert "tnperf gfis" in log, log
    # The same for disks; the walk goes on into the configuration table only.
    log = polled(sim, lambda: walk(snmp, oid_text(tables_at["tarnDiskStatusTable"])))
    assert "get fs fsaa system" in log and not any(c.startswith("tnperf ds") for c in log), log
    # The disk poll has dropped d4 from the copy: its row is gone (badValue, which the
    # master answers as genError).
    got, statuses = agent_errors(master, lambda: snmp.get("-On", oid_text(d4_status)))
    assert "Reason: (genError)" in got.stderr and statuses == [3], got

    # A GET of fsb's first disk: the scan stops at its row, the sorted lookup
    # first refreshes every level its rows come from.
    read_time = columns["tarnDiskReadTimeL"]
    d5 = read_time + te.index_key(("fsb", "data", "d5"))
    log = polled(sim, lambda: value(snmp, d5))
    pools = ["fsaa p system", "fsaa p data1", "fsb p data", "fsb p system"]
    polls = [p for p in pools if "tnperf ds f cl tarn9.test.example fs " + p in log]
    assert polls == (pools if lookup == "sorted" else pools[:3]), log

    # Dropping fsaa shifts fsb, which sorts first, to position 0: the scan chose a
    # position emptied by a refresh later in the same pass (badValue); the sorted
    # lookup chooses among the rows as they are after every refresh.
    change(sim, "remove", "fs", "fsaa")
    got, statuses = agent_errors(master, lambda: snmp.run(
        "snmpgetnext", "-On", AGENT_HOST, oid_text(read_time)))
    if lookup == "scan":
        assert "Reason: (genError)" in got.stderr and statuses == [3], got
    else:
        assert oid_text(d5) + " = " in got.stdout and statuses == [], got

    # File systems new to the copy arrive without pools; one whose pools
    # cannot be polled ends the pool walk, hiding those after it.
    for name in ("fsc1", "fsc2"):
        change(sim, "add", "fs", name,
               json.dumps({"pools": [{"name": "p" + name, "disks": [{"name": "d" + name}]}]}))
    walk(snmp, oid_text(tables_at["tarnClusterStatusTable"]))  # stale: copies the list
    change(sim, "remove", "fs", "fsc1")
    fs_names = [v for _, t, v in walk(snmp, oid_text(tables_at["tarnFileSystemStatusTable"]))
                if t == "STRING"][:3]
    assert fs_names == ["fsb", "fsc1", "fsc2"]
    pool_rows = {v for _, t, v in walk(snmp, oid_text(tables_at["tarnStgPoolTable"]))
                 if t == "STRING"}
    assert pool_rows == {"fsb", "data", "system"}
