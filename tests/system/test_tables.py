"""The ten tables through the real master: every row and column against values
computed from the simulator's model, bulk walks and single GETs, the
20-second refresh window and the walk rules, the start-up failure without a
daemon, and a second, independent manager."""

import json
import os
import re
import subprocess
import time

import pytest

import tables_expected as te
import tables_model
from conftest import (AGENT_HOST, COMMUNITY, REPO, SAMPLE_MODEL, TARNSIM, port_open, snmp_env,
                      start_agent, start_simulator, wait_for)
from tables_snmp import (TARN_ROOT, all_column_oids, differences, error_status,
                         expected_varbinds, object_oids, oid_text, parse_varbinds, table_oids,
                         walk)

JS_WALKER = os.path.join(REPO, "tests", "js", "walk_tables.js")


@pytest.fixture
def served(launcher, tmp_path, snmpd, installed):
    """The agent serving the tests' model; returns the simulator."""
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    start_agent(launcher, tmp_path)
    return sim


@pytest.fixture
def master(launcher, tmp_path):
    """The master agent as in the other tests, logging the error status of each
    AgentX response it gets ("got response errstat=N")."""
    conf = tmp_path / "snmpd.conf"
    conf.write_text("master agentx\nagentXSocket tcp:localhost:705\n"
                    "agentaddress udp:127.0.0.1:161\nrocommunity public 127.0.0.1\n")
    log = tmp_path / "snmpd.log"
    proc = launcher.start("snmpd", ["snmpd", "-f", "-C", "-c", str(conf), "-Lf", str(log),
                                    "-Dagentx/master", "-p", str(tmp_path / "snmpd.pid")],
                          env=snmp_env(tmp_path))
    wait_for(lambda: port_open(705) or not proc.running(), 10, "snmpd's AgentX port")
    assert proc.running(), "snmpd exited: " + log.read_text()
    return log


def agentx_error_statuses(log):
    """The error statuses of the AgentX responses the master got, in order."""
    return [int(m) for m in re.findall(r"got response errstat=(\d+)", log.read_text())]


def refused(snmp, log, oid):
    """GETs oid and returns the error status the agent answered with (the
    master reports it to the manager as genError)."""
    before = len(agentx_error_statuses(log))
    got = snmp.get("-On", oid_text(oid))
    assert error_status(got.stderr) == "genError", got.stdout + got.stderr
    assert oid_text(oid) in got.stderr
    statuses = [s for s in agentx_error_statuses(log)[before:] if s != 0]
    assert len(statuses) == 1, statuses
    return statuses[0]


def expected(sim):
    return te.expected_tables(sim.model())


def check_walk(snmp, table, rows, columns, tables_at, walked=None):
    got = walk(snmp, oid_text(tables_at[table]))
    if walked is not None:
        walked.extend(got)
    diff = differences(got, expected_varbinds(rows, columns))
    return "%s:\n%s" % (table, diff) if diff else ""


def wide_values(walked, tables, columns):
    """Each 64-bit column's value on each row as walked, after checking that
    it equals H * 2^32 + L of its pair on that row; by column name."""
    got = {oid: value for oid, _, value in walked}
    seen = {}
    for rows in tables.values():
        for names, values in rows:
            suffix = te.index_key(names)
            for column in (c for c, v in values.items() if isinstance(v, te.Wide)):
                whole, low, high = (got[columns[column + s] + suffix] for s in ("", "L", "H"))
                assert whole == high * 2 ** 32 + low, (column, names, whole, high, low)
                seen.setdefault(column, []).append(whole)
    return seen


def test_walks_of_the_ten_tables_match_the_model(served, snmp):
    want = expected(served)
    assert [len(want[t]) for t in te.TABLES] == [1, 1, 4, 4, 2, 2, 4, 6, 6, 6]
    columns = all_column_oids(snmp, want)
    tables_at = table_oids(snmp)
    walked = []
    problems = [check_walk(snmp, t, want[t], columns, tables_at, walked) for t in te.TABLES]
    assert not any(problems), "\n".join(p for p in problems if p)
    # Every L/H pair of the ten tables has its 64-bit column, equal to
    # H * 2^32 + L on every row; the model takes several above 2^32.
    wide = wide_values(walked, want, columns)
    assert len(wide) == 21
    assert len([c for c, values in wide.items() if max(values) >= 2 ** 32]) >= 5


def test_bulkwalk_of_the_subtree_equals_the_single_walks(served, snmp):
    tables_at = table_oids(snmp)
    singles = []
    for table in te.TABLES:
        singles += walk(snmp, oid_text(tables_at[table]))
    version = object_oids(snmp, ["tarnSubagentVersion"])["tarnSubagentVersion"]
    singles += walk(snmp, oid_text(version))
    health = object_oids(snmp, ["tarnAgentHealth"])["tarnAgentHealth"]
    bulk = [v for v in walk(snmp, TARN_ROOT, bulk=True) if v[0][:len(health)] != health]
    assert bulk == sorted(singles)
    assert len(bulk) > 300


def test_single_cells(served, snmp):
    want = expected(served)
    columns = all_column_oids(snmp, want)
    cells = []
    for table, row, column in [("tarnClusterStatusTable", 0, "tarnClusterNumNodes"),
                               ("tarnNodeConfigTable", 0, "tarnNodePagePoolH"),
                               ("tarnNodeConfigTable", 1, "tarnNodeMaxStatCache"),
                               ("tarnFileSystemStatusTable", 0, "tarnFileSystemXstatus"),
                               ("tarnStgPoolTable", 2, "tarnStgPoolNumDisks"),
                               ("tarnDiskPerfTable", 1, "tarnDiskReadTimeL"),
                               ("tarnDiskPerfTable", 1, "tarnDiskReadTimeH")]:
        names, values = want[table][row]
        cells.append((columns[column] + te.index_key(names), values[column]))
    got = snmp.get("-On", *[oid_text(o) for o, _ in cells])
    assert got.returncode == 0, got.stderr
    values = [line.split(" = ", 1)[1] for line in got.stdout.splitlines()]
    assert values == ["Gauge32: 4", "Gauge32: 4", "Gauge32: 4000", "STRING: ill", "Gauge32: 1",
                      "Gauge32: 705032704", "Gauge32: 1"]
    assert [v for _, v in cells] == [4, 4, 4000, "ill", 1, 705032704, 1]


def test_a_get_for_a_row_that_is_not_there_gets_the_tables_error_status(
        launcher, tmp_path, master, installed, snmp):
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    start_agent(launcher, tmp_path)
    columns = all_column_oids(snmp, expected(sim))
    # Nodes answer noSuchName (2); file systems, pools and disks badValue (3).
    for column, names, status in [("tarnNodeStatus", ("nosuchnode",), 2),
                                  ("tarnNodePagePoolH", ("nosuchnode",), 2),
                                  ("tarnFileSystemStatus", ("nosuchfs",), 3),
                                  ("tarnStgPoolNumDisks", ("fsaa", "nosuchpool"), 3),
                                  ("tarnDiskStatus", ("fsaa", "system", "nosuchdisk"), 3),
                                  ("tarnDiskReadOps", ("fsb", "data", "d6"), 3)]:
        assert refused(snmp, master, columns[column] + te.index_key(names)) == status, column


def test_a_pool_without_disks_ends_the_disk_walk(launcher, tmp_path, snmpd, installed, snmp):
    model = tables_model.write_model(tmp_path / "model.json", tables_model.model_with_empty_pool())
    sim = start_simulator(launcher, tmp_path, model)
    start_agent(launcher, tmp_path)
    want = expected(sim)
    # The empty pool follows fsaa's pools with disks: the disks of fsb are not reached.
    assert [names for names, _ in want["tarnDiskStatusTable"]][-1] == ("fsaa", "data1", "d4")
    assert ("fsaa", "empty") in [names for names, _ in want["tarnStgPoolTable"]]
    columns = all_column_oids(snmp, want)
    tables_at = table_oids(snmp)
    problems = [check_walk(snmp, t, want[t], columns, tables_at)
                for t in ("tarnStgPoolTable", "tarnDiskStatusTable", "tarnDiskConfigTable",
                          "tarnDiskPerfTable")]
    assert not any(problems), "\n".join(p for p in problems if p)


def test_without_the_daemon_the_agent_stops_at_start_up(launcher, tmp_path, snmpd, installed):
    agent = start_agent(launcher, tmp_path, wait=False)
    assert agent.wait_exit(timeout=30) == 1
    lines = [l.split(": tnmibd: ", 1)[1] for l in agent.stderr().splitlines()
             if ": tnmibd: " in l]
    for message in ["Error: Failed to connect", "Error: Failed to make connection",
                    "Error initializing Polling Handler, exiting..."]:
        assert message in lines, agent.stderr()
    assert lines.index("Error: Failed to connect") < lines.index(
        "Error initializing Polling Handler, exiting...")


def test_an_independent_manager_reads_what_snmpwalk_reads(served, snmp, tmp_path):
    tables_at = table_oids(snmp)
    roots = [oid_text(tables_at[t]) for t in te.TABLES]
    got = subprocess.run(["node", JS_WALKER, AGENT_HOST, COMMUNITY] + roots,
                         capture_output=True, text=True, timeout=120,
                         cwd=os.path.dirname(JS_WALKER))
    assert got.returncode == 0, got.stderr
    js = json.loads(got.stdout)
    assert len(js) == len(roots)
    for root, rows in zip(roots, js):
        js_varbinds = [(tuple(int(x) for x in o.lstrip(".").split(".")), t,
                        int(v) if t == "Counter64" else v) for o, t, v in rows]
        assert js_varbinds == walk(snmp, root), root
        assert js_varbinds, root


# ---- The 20-second window and the walk rules that follow from it ----

class Window:
    """The managers, the simulator and the master's log of one window test."""

    def __init__(self, snmp, sim, master_log):
        self.snmp = snmp
        self.sim = sim
        self.master_log = master_log

    def get(self, oid):
        got = self.snmp.get("-On", "-Ov", oid_text(oid))
        assert got.returncode == 0, got.stderr
        return got.stdout.strip()

    def getnext(self, oid):
        got = self.snmp.run("snmpgetnext", "-On", AGENT_HOST, oid_text(oid))
        assert got.returncode == 0, got.stderr

    def commands(self):
        return self.sim.log()

    def await_scan(self, before):
        """Waits for the agent's configuration scan that an sdrChanged event causes."""
        wait_for(lambda: self.scan_count() > before, 15, "the agent's disk configuration scan")

    def scan_count(self):
        return sum(1 for c in self.commands() if c.startswith("tncfgdump 30 "))


@pytest.mark.parametrize("lookup", ["sorted", "scan"])
def test_twenty_second_window_and_the_refresh_rules_of_the_walks(lookup, launcher, tmp_path,
                                                                 master, installed, snmp):
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    started = time.monotonic()
    start_agent(launcher, tmp_path, env_extra={"TNMIBD_TABLE_LOOKUP": lookup})
    ready = time.monotonic()
    w = Window(snmp, sim, master)
    want = expected(sim)
    columns = all_column_oids(snmp, want)
    tables_at = table_oids(snmp)
    failures = columns["tarnNodeFailureCount"] + te.index_key(("alpha.test.example",))
    d4_status = columns["tarnDiskStatus"] + te.index_key(("fsaa", "data1", "d4"))

    # Within the window a change in the daemon is not seen: neither a changed
    # value nor a disk that the configuration dropped.
    sim.ctl("set", "node", "10.9.0.1", "failureCount", "9")
    scans = w.scan_count()
    sim.ctl("remove", "disk", "fsaa", "data1", "d4")
    w.await_scan(scans)
    assert w.get(failures) == "Gauge32: 0"
    assert w.get(d4_status) == "STRING: being"
    assert time.monotonic() - started < 19, "start-up took too long for the window test"

    # After it, the next request polls again.
    flipped = wait_for(lambda: w.get(failures) == "Gauge32: 9" and time.monotonic(), 40,
                       "the node poll after the window", interval=0.25)
    assert flipped - started > 20
    assert flipped - ready < 23

    # A status table polls file systems without their statistics, the
    # performance table both (one GETNEXT each: a walk past the end of the
    # status table would go on into the performance table).
    sim.ctl("log", "clear")
    w.getnext(tables_at["tarnFileSystemStatusTable"])
    log = w.commands()
    assert "get fs fsaa -b" in log and "tnperf gfis" not in log, log
    w.getnext(tables_at["tarnFileSystemPerfTable"])
    assert "tnperf gfis" in w.commands()

    # The same for disks; the walk goes on into the configuration table only.
    sim.ctl("log", "clear")
    walk(snmp, oid_text(tables_at["tarnDiskStatusTable"]))
    log = w.commands()
    assert "get fs fsaa system" in log and not any(c.startswith("tnperf ds") for c in log), log
    # The disk poll has dropped d4 from the copy: its row is gone.
    assert refused(snmp, master, d4_status) == 3

    if lookup == "scan":
        check_dropped_row_gets_bad_value(w, sim, columns)
    else:
        check_a_request_refreshes_every_level_its_rows_come_from(w, sim, columns)
    check_file_system_without_pools_ends_the_pool_walk(w, sim, snmp, tables_at)


def check_dropped_row_gets_bad_value(w, sim, columns):
    """A GETNEXT whose row positions shift under a refresh later in the same
    pass: the row it chose is gone when the handler looks (badValue, 3)."""
    read_time = columns["tarnDiskReadTimeL"]
    # A GET stops at its row: the statistics of fsb's later pool stay old.
    sim.ctl("log", "clear")
    assert w.get(read_time + te.index_key(("fsb", "data", "d5"))) == "Gauge32: 500000"
    log = w.commands()
    assert "tnperf ds f cl tarn9.test.example fs fsb p data" in log, log
    assert "tnperf ds f cl tarn9.test.example fs fsb p system" not in log, log

    scans = w.scan_count()
    sim.ctl("remove", "fs", "fsaa")
    w.await_scan(scans)
    # fsb's first row sorts first; the refresh of fsb's pool "system" later in
    # the same pass drops fsaa, so fsb moves to position 0 and the position
    # the chosen row had is empty when the handler looks.
    before = len(agentx_error_statuses(w.master_log))
    got = w.snmp.run("snmpgetnext", "-On", AGENT_HOST, oid_text(read_time))
    assert error_status(got.stderr) == "genError", got.stdout + got.stderr
    assert [s for s in agentx_error_statuses(w.master_log)[before:] if s] == [3]
    assert "tnperf ds f cl tarn9.test.example fs fsb p system" in w.commands()


def check_a_request_refreshes_every_level_its_rows_come_from(w, sim, columns):
    """The sorted lookup chooses a row among all of them, so a request first
    refreshes what a walk would, then chooses from rows as they are now."""
    read_time = columns["tarnDiskReadTimeL"]
    sim.ctl("log", "clear")
    assert w.get(read_time + te.index_key(("fsb", "data", "d5"))) == "Gauge32: 500000"
    log = w.commands()
    for pool in ("fsaa p system", "fsaa p data1", "fsb p data", "fsb p system"):
        assert "tnperf ds f cl tarn9.test.example fs " + pool in log, log

    scans = w.scan_count()
    sim.ctl("remove", "fs", "fsaa")
    w.await_scan(scans)
    before = len(agentx_error_statuses(w.master_log))
    got = w.snmp.run("snmpgetnext", "-On", AGENT_HOST, oid_text(read_time))
    assert got.returncode == 0 and oid_text(read_time) + ".3.102.115.98." in got.stdout, got
    assert [s for s in agentx_error_statuses(w.master_log)[before:] if s] == []


def check_file_system_without_pools_ends_the_pool_walk(w, sim, snmp, tables_at):
    """File systems new to the copy arrive without pools; one whose pools
    cannot be polled ends the pool walk, hiding those after it."""
    for name in ("fsc1", "fsc2"):
        scans = w.scan_count()
        pools = {"pools": [{"name": "p" + name, "disks": [{"name": "d" + name}]}]}
        sim.ctl("add", "fs", name, json.dumps(pools))
        w.await_scan(scans)
    walk(snmp, oid_text(tables_at["tarnClusterStatusTable"]))  # stale: copies the list
    scans = w.scan_count()
    sim.ctl("remove", "fs", "fsc1")
    w.await_scan(scans)

    fs_names = [v for _, t, v in walk(snmp, oid_text(tables_at["tarnFileSystemStatusTable"]))
                if t == "STRING"][:3]
    assert fs_names == ["fsb", "fsc1", "fsc2"]
    pool_rows = {v for _, t, v in walk(snmp, oid_text(tables_at["tarnStgPoolTable"]))
                 if t == "STRING"}
    assert pool_rows == {"fsb", "data", "system"}


# ---- The sorted lookup answers exactly as the scan of every row ----

def generated(tmp_path, shape, edit):
    """A model from tarnsim generate, changed by edit (model -> None)."""
    got = subprocess.run([TARNSIM, "generate", shape, "--seed", "3"], capture_output=True,
                         text=True, check=True)
    model = json.loads(got.stdout)
    edit(model)
    path = tmp_path / ("gen-%s.json" % shape.replace(",", "-"))
    path.write_text(json.dumps(model))
    return path


def rename_fs(model, index, name):
    fs = model["fileSystems"][index]
    for node in model["nodes"]:
        for stats in node.get("fsStats", []):
            if stats["fs"] == fs["name"]:
                stats["fs"] = name
    fs["name"] = name


def short_and_long_names(model):
    """Names of 1, 8 and 48 characters, pool names repeated across file systems,
    and a file system without pools, which ends the pool and disk walks."""
    rename_fs(model, 0, "f")
    rename_fs(model, 1, "g" * 48)
    model["fileSystems"][1]["pools"][0]["name"] = "pool0008"
    model["fileSystems"][0]["pools"][1]["disks"][0]["name"] = "d"
    model["fileSystems"][1]["pools"][0]["disks"][1]["name"] = "e" * 48
    model["fileSystems"].insert(2, {"name": "nopools", "pools": []})


def empty_pool(model):
    model["fileSystems"][1]["pools"][1]["disks"] = []
    rename_fs(model, 1, "fs000008")


# A file system, pool and disk of 60 characters: their pool row and disk rows
# need more sub-identifiers than an OID has, and are left out.
LONG = ("F" * 60, "P" * 60, "D" * 60)


def names_too_long(model):
    rename_fs(model, 1, LONG[0])
    model["fileSystems"][1]["pools"][0]["name"] = LONG[1]
    model["fileSystems"][1]["pools"][0]["disks"][0]["name"] = LONG[2]
    model["fileSystems"][2]["pools"][1]["disks"][0]["name"] = "x" * 48
    rename_fs(model, 2, "y" * 48)


LOOKUP_MODELS = [
    ("test", lambda tmp: tables_model.write_model(tmp / "model.json")),
    ("sample", lambda tmp: SAMPLE_MODEL),
    ("short-long-nopools", lambda tmp: generated(tmp, "3,4,2,3", short_and_long_names)),
    ("empty-pool", lambda tmp: generated(tmp, "2,2,3,2", empty_pool)),
    ("too-long", lambda tmp: generated(tmp, "2,3,2,2", names_too_long)),
]


def absent_rows(oids):
    """OIDs of rows that are not there, next to the walked ones: the last index
    byte raised, a name cut short, a name made longer."""
    rows = []
    for oid in oids[:: max(1, len(oids) // 40)]:
        rows += [oid[:-1] + (oid[-1] + 1,), oid[:-1], oid + (65,)]
    return rows


# tarnAgentHealth: the agent's own ages and counts, which differ between two agents.
HEALTH_ROOT = TARN_ROOT + ".1.1.13."


def tables_only(result):
    """A manager's result without the health scalars' lines."""
    lines = result.stdout.splitlines(keepends=True)
    return (result.returncode, "".join(l for l in lines if not l.startswith(HEALTH_ROOT)),
            result.stderr)


def answers_of(launcher, snmp, tmp_path, lookup, oids):
    """Both walks of the TARN subtree, GETs of the walked rows (20 a request)
    and of absent rows (one a request), by one agent using lookup, as the
    managers print them; and the walked OIDs."""
    agent = start_agent(launcher, tmp_path, env_extra={"TNMIBD_TABLE_LOOKUP": lookup})
    out = {"walk": [tables_only(snmp.walk(TARN_ROOT, opts=("-On",)))],
           "bulkwalk": [tables_only(snmp.bulkwalk(TARN_ROOT, opts=("-On",)))]}
    oids = oids or [o for o, _, _ in parse_varbinds(out["walk"][0][1])]
    present = [oid_text(o) for o in oids]
    gets = [snmp.get("-On", *present[i:i + 20]) for i in range(0, len(present), 20)]
    gets += [snmp.get("-On", oid_text(o)) for o in absent_rows(oids)]
    out["get"] = [(r.returncode, r.stdout, r.stderr) for r in gets]
    agent.stop()
    out["log"] = agent.stderr()
    return out, oids


@pytest.mark.parametrize("name,model", LOOKUP_MODELS, ids=[m[0] for m in LOOKUP_MODELS])
def test_sorted_lookup_answers_as_the_scan(name, model, launcher, tmp_path, snmpd, installed,
                                           snmp):
    sim = start_simulator(launcher, tmp_path, model(tmp_path))
    by_index, oids = answers_of(launcher, snmp, tmp_path, "sorted", None)
    by_scan, _ = answers_of(launcher, snmp, tmp_path, "scan", oids)
    for kind in ("walk", "bulkwalk", "get"):
        assert by_index[kind] == by_scan[kind], kind
    assert by_index["walk"][0][0] == 0 and len(oids) > 50
    # The hint handler found the iterator's handler to go ahead of.
    assert "without its index hint" not in by_index["log"]
    assert [o for o, _, _ in parse_varbinds(by_index["bulkwalk"][0][1])] == oids
    if name == "too-long":
        for out in (by_index, by_scan):
            check_rows_too_long_are_left_out(sim.model(), out)


def check_rows_too_long_are_left_out(model, out):
    """The pool row and the disk rows of LONG are not served, every other disk
    is, and each left-out row is named in a warning once per rebuild of the rows."""
    values = {v for _, t, v in parse_varbinds(out["walk"][0][1]) if t == "STRING"}
    assert LONG[0] in values and LONG[1] not in values and LONG[2] not in values
    disks = {d["name"] for fs in model["fileSystems"] for pool in fs["pools"]
             for d in pool["disks"] if (fs["name"], pool["name"]) != LONG[:2]}
    assert disks <= values and len(disks) > 8
    pool_warnings = out["log"].count("Warning: storage pool %s %s left out" % LONG[:2])
    disk_warnings = out["log"].count("Warning: disk %s %s %s left out" % LONG)
    assert 1 <= pool_warnings <= 3 and 1 <= disk_warnings <= 3, out["log"]
