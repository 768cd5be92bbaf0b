"""Faults of the daemon and of the query tool, through the simulator and the real master: each
row sets one fault up on the sample cluster and says what the tables and the health scalars must
show; the fault is undone before the next row."""

import os
import shutil
import time

import pytest

from conftest import QUERY_TOOL, TNCFGDUMP, event_connected, start_agent, start_snmpd, wait_for
from tables_snmp import walk
from test_hardening import SANITIZER_REPORT
from test_health import health


def column(snmp, name):
    return [value for _, _, value in walk(snmp, "TARN-MIB::" + name)]


def log_lines(agent, word):
    return [line for line in agent.stderr().splitlines() if word in line]


def changed_disks_kept(t):
    """The daemon's configuration changes, but the scan's query fails: the tables keep the
    last good configuration, and one warning says so."""
    disks = column(t.snmp, "tarnDiskConfigName")
    before = len(log_lines(t.agent, "tncfgdump"))
    t.sim.ctl("remove", "disk", "fs1", "system", "nsd2")  # with its sdrChanged event
    wait_for(lambda: len(log_lines(t.agent, "tncfgdump")) > before, 20, "the scan's warning")
    assert column(t.snmp, "tarnDiskConfigName") == disks
    warnings = log_lines(t.agent, "tncfgdump")[before:]
    assert len(warnings) == 1 and "tncfgdump 30 " in warnings[0], warnings


def query_tool_restored(t):
    t.sim.ctl("fault", "clear")
    shutil.copy(TNCFGDUMP, QUERY_TOOL)
    t.sim.ctl("add", "disk", "fs1", "system", "nsd2")
    wait_for(lambda: "nsd2" in column(t.snmp, "tarnDiskConfigName"), 20, "nsd2 back")


def whole_pool_sizes(t):
    """A pool sum past 32 bits: L and H as they always were (low half, H 0), Counter64 whole."""
    fs1 = t.sim.model()["fileSystems"][0]
    total = [p["totalSpace"] for p in fs1["pools"] if p["name"] == "system"][0]
    at = column(t.snmp, "tarnStgPoolName").index("system")  # fs1's rows come first
    got = [column(t.snmp, "tarnStgPoolTotalSpace" + half)[at] for half in ("L", "H", "")]
    assert total > 2 ** 32 and got == [total & 0xFFFFFFFF, 0, total], (total, got)


def node_gone(t):
    """Once the node data is older than its 20-second window, a walk polls it again."""
    def gone():
        ips = column(t.snmp, "tarnNodeIP")
        return "10.0.0.2" not in ips and (ips, column(t.snmp, "tarnClusterNumNodes"))
    ips, count = wait_for(gone, 40, "the node to leave the tables", interval=1)
    assert ips == ["10.0.0.1", "10.0.0.3", "10.0.0.4"] and count == [3], (ips, count)


def traps_lost_counted(t):
    """Traps raised while the master is stopped reach no one: dropped, not sent."""
    t.sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ before")
    t.trapd.wait_count(1)
    before = health(t.snmp)
    t.snmpd.stop()
    wait_for(lambda: log_lines(t.agent, "AgentX master disconnected"), 10, "the master to go")
    t.sim.ctl("burst", 100, "mount _node_ 10.0.0.1 _fs_ lost{i}")
    wait_for(lambda: log_lines(t.agent, "no connection to the master agent"), 10, "the drops")
    start_snmpd(t.launcher, t.tmp_path)
    counts = wait_for(lambda: t.snmp.serves() and health(t.snmp), 30, "the agent back")
    assert counts["tarnAgentTrapsSent"] == before["tarnAgentTrapsSent"] == t.trapd.count() == 1
    assert counts["tarnAgentTrapsDropped"] == before["tarnAgentTrapsDropped"] + 100, counts
    assert len(log_lines(t.agent, "Warning: no connection to the master agent")) == 1


def pools_capped(t):
    """A daemon answer alone names 302 pools of fs1: the pool poll keeps 256, and warns once."""
    for i in range(300):
        t.sim.ctl("add", "pool", "fs1", "x%03d" % i)  # no disks: only the pool poll sees them

    def filled():
        count = [fs for _, _, fs in walk(t.snmp, "TARN-MIB::tarnStgPoolFSName")].count("fs1")
        return count >= 256 and count
    assert wait_for(filled, 45, "fs1's pools in the table", interval=1) == 256
    assert len(log_lines(t.agent, "fs1 has more than 256 storage pools")) == 1, t.agent.stderr()


def answered_from_data_at_hand(t):
    """Every answer 3 s late and the node data stale: a walk is answered from the data at hand
    within the master's 1 s AgentX timeout, the health scalars at once while the poll goes on,
    and the poll's data is merged when it ends, with no request waiting for it."""
    ips = column(t.snmp, "tarnNodeIP")
    t.sim.ctl("fault", "delay", 3000)
    wait_for(lambda: health(t.snmp)["tarnAgentNodeDataAge"] > 20, 30, "stale node data", 1)
    started = time.monotonic()
    walked = column(t.snmp, "tarnNodeIP")
    walk_took = time.monotonic() - started
    started = time.monotonic()
    age = health(t.snmp)["tarnAgentNodeDataAge"]
    get_took = time.monotonic() - started
    assert walked == ips and walk_took < 2.5 and get_took < 0.5 and age > 20, \
        (walked, walk_took, get_took, age)
    wait_for(lambda: health(t.snmp)["tarnAgentNodeDataAge"] < 10, 30, "the poll's data", 1)


def nothing(t):
    pass


# (fault, set-up, what must show, undo)
ROWS = [
    ("pool sums past 32 bits", nothing, whole_pool_sizes, nothing),
    ("query tool exits 1", lambda t: t.sim.ctl("fault", "cfgdump", "exit", 1),
     changed_disks_kept, query_tool_restored),
    ("query tool killed", lambda t: t.sim.ctl("fault", "cfgdump", "signal", 9),
     changed_disks_kept, query_tool_restored),
    ("query tool missing", lambda t: os.unlink(QUERY_TOOL), changed_disks_kept,
     query_tool_restored),
    ("traps while the master is stopped", nothing, traps_lost_counted, nothing),
    ("every answer 3 s late", nothing, answered_from_data_at_hand,
     lambda t: t.sim.ctl("fault", "clear")),
    ("a node leaves the cluster", lambda t: t.sim.ctl("remove", "node", "10.0.0.2"), node_gone,
     nothing),
    ("the daemon reports 302 pools", nothing, pools_capped, nothing),  # after 20 s: polled at once
]


@pytest.fixture
def quick_reconnect(tmp_path):  # the library's ping, read from SNMPCONFPATH
    (tmp_path / "tarnMgmt.conf").write_text("agentxPingInterval 1\n")


@pytest.fixture
def agent(launcher, tmp_path, snmpd, sim):
    """The agent told the test master's AgentX timeout: Debian's default, 1 s."""
    proc = start_agent(launcher, tmp_path, env_extra={"TNMIBD_AGENTX_TIMEOUT": "1"})
    event_connected(sim)
    return proc


class Faults:
    def __init__(self, **parts):
        self.__dict__.update(parts)


def test_each_daemon_fault_shows_as_its_row_says(quick_reconnect, launcher, tmp_path, snmpd,
                                                  trapd, agent, sim, snmp):
    t = Faults(launcher=launcher, tmp_path=tmp_path, snmpd=snmpd, trapd=trapd, agent=agent,
               sim=sim, snmp=snmp)
    for name, set_up, check, undo in ROWS:
        set_up(t)
        try:
            check(t)
        except AssertionError as e:
            raise AssertionError("%s: %s" % (name, e)) from e
        undo(t)
    assert not SANITIZER_REPORT.search(agent.stderr()), agent.stderr()[-5000:]
