"""Checks mibs/TARN-MIB.txt against the names the agent looks up at run time.

The agent compiles no OID in: it resolves every table, column, trap and binding
object by name in this module and reads each column number at the position
right after <table>.1. The tables below list those names as the agent looks
them up, so a renamed, misplaced or mistyped object fails here before it fails
in the agent. Runs with pytest-3 on the host; it needs Net-SNMP's snmptranslate,
libsmi's smilint and the directory of standard base modules that
scripts/setup.sh places in BUILD/base-mibs (TN_BASE_MIBS names it; otherwise
TN_BUILD_DIR/base-mibs, build/base-mibs or another build*/base-mibs is used).
On the host, run it without the sandbox fixtures:
    pytest-3 --noconftest tests/system/test_mib.py
"""

import functools
import glob
import os
import re
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB_DIR = os.path.join(REPO, "mibs")
MIB_FILE = os.path.join(MIB_DIR, "TARN-MIB.txt")

# Kinds of value the agent sends: text (OCTET STRING), a 32-bit number (0x42),
# or a 64-bit number as an L column followed by its H column.
TEXT, NUM, PAIR = "text", "number", "pair"

# Each table with its number of index levels and the column objects the agent
# looks up for it, in the order it looks them up.
TABLES = [
    ("tarnClusterStatusTable", 1, [
        ("tarnClusterName", TEXT), ("tarnClusterId", TEXT),
        ("tarnClusterMinReleaseLevel", TEXT), ("tarnClusterNumNodes", NUM),
        ("tarnClusterNumFileSystems", NUM)]),
    ("tarnClusterConfigTable", 1, [
        ("tarnClusterUidDomain", TEXT), ("tarnClusterRemoteShellCommand", TEXT),
        ("tarnClusterRemoteFileCopyCommand", TEXT), ("tarnClusterPrimaryServer", TEXT),
        ("tarnClusterSecondaryServer", TEXT), ("tarnClusterMaxBlockSize", NUM),
        ("tarnClusterDistributedTokenServer", NUM), ("tarnClusterFailureDetectionTime", NUM),
        ("tarnClusterTCPPort", NUM), ("tarnClusterMinMissedPingTimeout", NUM),
        ("tarnClusterMaxMissedPingTimeout", NUM)]),
    ("tarnNodeStatusTable", 1, [
        ("tarnNodeName", TEXT), ("tarnNodeIP", TEXT), ("tarnNodePlatform", TEXT),
        ("tarnNodeAdmin", TEXT), ("tarnNodeStatus", TEXT), ("tarnNodeFailureCount", NUM),
        ("tarnNodeThreadWait", NUM), ("tarnNodeHealthy", TEXT), ("tarnNodeDiagnosis", TEXT),
        ("tarnNodeVersion", TEXT)]),
    ("tarnNodeConfigTable", 1, [
        ("tarnNodeConfigName", TEXT), ("tarnNodeType", TEXT), ("tarnNodePagePoolL", PAIR),
        ("tarnNodePrefetchThreads", NUM), ("tarnNodeMaxMbps", NUM),
        ("tarnNodeMaxFilesToCache", NUM), ("tarnNodeMaxStatCache", NUM),
        ("tarnNodeWorker1Threads", NUM), ("tarnNodeDmapiEventTimeout", NUM),
        ("tarnNodeDmapiMountTimeout", NUM), ("tarnNodeDmapiSessFailureTimeout", NUM),
        ("tarnNodeNsdServerWaitTimeWindowOnMount", NUM),
        ("tarnNodeNsdServerWaitTimeForMount", NUM), ("tarnNodeUnmountOnDiskFail", TEXT)]),
    ("tarnFileSystemStatusTable", 1, [
        ("tarnFileSystemName", TEXT), ("tarnFileSystemStatus", TEXT),
        ("tarnFileSystemXstatus", TEXT), ("tarnFileSystemTotalSpaceL", PAIR),
        ("tarnFileSystemNumTotalInodesL", PAIR), ("tarnFileSystemFreeSpaceL", PAIR),
        ("tarnFileSystemNumFreeInodesL", PAIR)]),
    ("tarnFileSystemPerfTable", 1, [
        ("tarnFileSystemPerfName", TEXT), ("tarnFileSystemBytesReadL", PAIR),
        ("tarnFileSystemBytesCacheL", PAIR), ("tarnFileSystemBytesWrittenL", PAIR),
        ("tarnFileSystemReads", NUM), ("tarnFileSystemCaches", NUM),
        ("tarnFileSystemWrites", NUM), ("tarnFileSystemOpenCalls", NUM),
        ("tarnFileSystemCloseCalls", NUM), ("tarnFileSystemReadCalls", NUM),
        ("tarnFileSystemWriteCalls", NUM), ("tarnFileSystemReaddirCalls", NUM),
        ("tarnFileSystemInodesWritten", NUM), ("tarnFileSystemInodesRead", NUM),
        ("tarnFileSystemInodesDeleted", NUM), ("tarnFileSystemInodesCreated", NUM),
        ("tarnFileSystemStatCacheHit", NUM), ("tarnFileSystemStatCacheMiss", NUM)]),
    ("tarnStgPoolTable", 2, [
        ("tarnStgPoolFSName", TEXT), ("tarnStgPoolName", TEXT),
        ("tarnStgPoolTotalSpaceL", PAIR), ("tarnStgPoolFreeSpaceL", PAIR),
        ("tarnStgPoolNumDisks", NUM)]),
    ("tarnDiskStatusTable", 3, [
        ("tarnDiskName", TEXT), ("tarnDiskFSName", TEXT), ("tarnDiskStgPoolName", TEXT),
        ("tarnDiskStatus", TEXT), ("tarnDiskAvailability", TEXT),
        ("tarnDiskTotalSpaceL", PAIR), ("tarnDiskFullBlockFreeSpaceL", PAIR),
        ("tarnDiskSubBlockFreeSpaceL", PAIR)]),
    ("tarnDiskConfigTable", 3, [
        ("tarnDiskConfigName", TEXT), ("tarnDiskConfigFSName", TEXT),
        ("tarnDiskConfigStgPoolName", TEXT), ("tarnDiskMetadata", TEXT),
        ("tarnDiskData", TEXT)]),
    ("tarnDiskPerfTable", 3, [
        ("tarnDiskPerfName", TEXT), ("tarnDiskPerfFSName", TEXT),
        ("tarnDiskPerfStgPoolName", TEXT), ("tarnDiskReadTimeL", PAIR),
        ("tarnDiskWriteTimeL", PAIR), ("tarnDiskLongestReadTimeL", PAIR),
        ("tarnDiskLongestWriteTimeL", PAIR), ("tarnDiskShortestReadTimeL", PAIR),
        ("tarnDiskShortestWriteTimeL", PAIR), ("tarnDiskReadBytesL", PAIR),
        ("tarnDiskWriteBytesL", PAIR), ("tarnDiskReadOps", NUM), ("tarnDiskWriteOps", NUM)]),
]

# Looked up with one table's columns but answered by the other table's handler.
ANSWERED_BY = {"tarnNodeAdmin": "tarnNodeConfigTable"}

# The index columns, outermost first: file system, then pool, then disk.
INDEXES = {
    "tarnStgPoolTable": ["tarnStgPoolFSName", "tarnStgPoolName"],
    "tarnDiskStatusTable": ["tarnDiskFSName", "tarnDiskStgPoolName", "tarnDiskName"],
    "tarnDiskConfigTable": ["tarnDiskConfigFSName", "tarnDiskConfigStgPoolName",
                            "tarnDiskConfigName"],
    "tarnDiskPerfTable": ["tarnDiskPerfFSName", "tarnDiskPerfStgPoolName", "tarnDiskPerfName"],
}

# Objects that only notifications carry.
NOTIFY_ONLY = {
    "tarnNodeIpAddress": TEXT, "tarnSgmgrIpAddress": TEXT, "tarnPrevSgmgrIpAddress": TEXT,
    "tarnDiskFailureGroupName": TEXT, "tarnUserUnbalanced": TEXT, "tarnMetaUnbalanced": TEXT,
    "tarnUserIllReplicated": TEXT, "tarnMetaIllReplicated": TEXT, "tarnUserExposed": TEXT,
    "tarnMetaExposed": TEXT, "tarnWaitTime": NUM, "tarnDiagnosis": TEXT, "tarnStgPoolUtil": NUM,
}

# Each trap with the objects of its bindings after snmpTrapOID.0, in order.
TRAPS = [
    ("tarnMountTrap", ["tarnNodeIpAddress", "tarnFileSystemName"]),
    ("tarnUnmountTrap", ["tarnNodeIpAddress", "tarnFileSystemName"]),
    ("tarnAddDiskTrap", ["tarnNodeIpAddress", "tarnFileSystemName", "tarnDiskName"]),
    ("tarnDeleteDiskTrap", ["tarnNodeIpAddress", "tarnFileSystemName", "tarnDiskName"]),
    ("tarnChangeDiskTrap", ["tarnNodeIpAddress", "tarnFileSystemName", "tarnDiskName",
                            "tarnDiskStatus", "tarnDiskAvailability", "tarnDiskFailureGroupName",
                            "tarnDiskMetadata", "tarnDiskData"]),
    ("tarnSgmgrTakeoverTrap", ["tarnSgmgrIpAddress", "tarnPrevSgmgrIpAddress",
                               "tarnFileSystemName"]),
    ("tarnNodeFailureTrap", ["tarnNodeIpAddress"]),
    ("tarnNodeRecoveryTrap", ["tarnNodeIpAddress"]),
    ("tarnFileSystemCreationTrap", ["tarnSgmgrIpAddress", "tarnFileSystemName"]),
    ("tarnFileSystemDeletionTrap", ["tarnSgmgrIpAddress", "tarnFileSystemName"]),
    ("tarnFileSystemStateChangeTrap", ["tarnFileSystemName", "tarnUserUnbalanced",
                                       "tarnMetaUnbalanced", "tarnUserIllReplicated",
                                       "tarnMetaIllReplicated", "tarnUserExposed",
                                       "tarnMetaExposed"]),
    ("tarnNewConnectionTrap", ["tarnNodeIpAddress"]),
    ("tarnEventCollectionBufferOverflowTrap", ["tarnNodeIpAddress"]),
    ("tarnHungThreadTrap", ["tarnNodeIpAddress", "tarnWaitTime", "tarnDiagnosis"]),
    ("tarnStgPoolUtilizationTrap", ["tarnStgPoolFSName", "tarnStgPoolName", "tarnStgPoolUtil"]),
]

# smilint warnings the module keeps on purpose: the name columns that index the
# tables are readable because the agent answers them, and the module hangs
# under the documentation enterprise number, which no imported module defines;
# each index name's SIZE is the most that name alone can have, so together they
# may exceed an OID (the agent leaves out rows whose names do not fit).
ACCEPTED_WARNINGS = {"index-element-accessible", "node-implicit", "index-exceeds-too-large"}

COLUMNS = {name: kind for _, _, cols in TABLES for name, kind in cols}


def twin(name):
    return name[:-1] + "H"


def base_mib_dir():
    """The directory of the standard base modules, found as the build scripts leave it."""
    candidates = []
    if os.environ.get("TN_BASE_MIBS"):
        candidates.append(os.environ["TN_BASE_MIBS"])
    if os.environ.get("TN_BUILD_DIR"):
        candidates.append(os.path.join(os.environ["TN_BUILD_DIR"], "base-mibs"))
    candidates.append(os.path.join(REPO, "build", "base-mibs"))
    candidates += sorted(glob.glob(os.path.join(REPO, "build*", "base-mibs")))
    for d in candidates:
        if os.path.isfile(os.path.join(d, "SNMPv2-SMI.txt")):
            return d
    pytest.fail("no base MIB directory (set TN_BASE_MIBS or run scripts/setup.sh BUILD)")


def run(args, env=None):
    tool = shutil.which(args[0])
    if tool is None:
        pytest.fail("%s is not installed (scripts/setup.sh installs it)" % args[0])
    return subprocess.run([tool] + args[1:], capture_output=True, text=True, env=env,
                          timeout=60)


def translate(option, name):
    path = "%s:%s" % (base_mib_dir(), MIB_DIR)
    return run(["snmptranslate", "-M", path, "-m", "TARN-MIB:SNMPv2-MIB", option, name])


@functools.lru_cache(maxsize=None)
def oid(name):
    """The numeric OID of TARN-MIB::name as a tuple, or None when it does not resolve."""
    full = name if "::" in name else "TARN-MIB::" + name
    out = translate("-On", full)
    text = out.stdout.strip()
    if out.returncode != 0 or not re.fullmatch(r"(\.\d+)+", text):
        return None
    return tuple(int(x) for x in text.split(".")[1:])


@functools.lru_cache(maxsize=None)
def definition(name):
    """The clauses of TARN-MIB::name as snmptranslate -Td prints them."""
    out = translate("-Td", "TARN-MIB::" + name)
    assert out.returncode == 0, out.stderr
    return out.stdout


def clause(name, keyword):
    m = re.search(r"^\s*%s\s+(.*)$" % keyword, definition(name), re.M)
    return m.group(1).strip() if m else None


def braced_list(name, keyword):
    m = re.search(r"%s\s*\{([^}]*)\}" % keyword, definition(name))
    assert m, "%s has no %s clause" % (name, keyword)
    return [x.strip() for x in m.group(1).split(",") if x.strip()]


def looked_up_names():
    names = ["tarnSubagentVersion"]
    for table, _, cols in TABLES:
        names.append(table)
        names += [c for c, _ in cols]
    for trap, objects in TRAPS:
        names.append(trap)
        names += objects
    return list(dict.fromkeys(names))


def column_number(table, name):
    """The column number of name if it is <table>.1.<column>, else fails."""
    t, c = oid(table), oid(name)
    assert c is not None, "%s does not resolve" % name
    assert len(c) == len(t) + 2 and c[:len(t)] == t and c[len(t)] == 1, \
        "%s (%s) is not a column of %s (%s)" % (name, c, table, t)
    return c[-1]


def test_every_name_the_agent_looks_up_resolves():
    names = looked_up_names()
    missing = [n for n in names if oid(n) is None]
    assert missing == []
    assert oid("SNMPv2-MIB::snmpTrapOID") == (1, 3, 6, 1, 6, 3, 1, 1, 4, 1)
    root = (1, 3, 6, 1, 4, 1, 32473)
    assert all(oid(n)[:len(root)] == root for n in names)
    by_oid = {}
    for n in names + [twin(c) for c, k in COLUMNS.items() if k == PAIR]:
        assert oid(n) not in by_oid, "%s and %s share %s" % (n, by_oid.get(oid(n)), oid(n))
        by_oid[oid(n)] = n


@pytest.mark.parametrize("table,levels,cols", TABLES, ids=[t[0] for t in TABLES])
def test_columns_sit_under_their_table_entry(table, levels, cols):
    for name, _ in cols:
        column_number(ANSWERED_BY.get(name, table), name)
    entry = table[:-len("Table")] + "Entry"
    assert oid(entry) == oid(table) + (1,)
    index = braced_list(entry, "INDEX")
    assert len(index) == levels
    for name in index:
        column_number(table, name)
        assert clause(name, "SYNTAX").startswith("OCTET STRING")
    if table in INDEXES:
        assert index == INDEXES[table]


@pytest.mark.parametrize("name", [c for c, k in COLUMNS.items() if k == PAIR])
def test_each_low_half_is_followed_by_its_high_half(name):
    table = next(t for t, _, cols in TABLES if (name, PAIR) in cols)
    assert name.endswith("L")
    assert column_number(table, twin(name)) == column_number(table, name) + 1
    for half in (name, twin(name)):
        assert clause(half, "SYNTAX") in ("Unsigned32", "Gauge32")
        assert clause(half, "MAX-ACCESS") == "read-only"


def test_agent_column_ranges_hold_only_columns_the_table_answers():
    # The agent serves min..max of the columns it looked up for a table (max
    # counting an L column's H twin); every number in that range must be a
    # column that the table's own handler answers, or a walk meets a hole.
    for table, _, cols in TABLES:
        looked_up = set()
        for name, kind in cols:
            n = column_number(ANSWERED_BY.get(name, table), name)
            looked_up |= {n, n + 1} if kind == PAIR else {n}
        answered = set()
        for t, _, other in TABLES:
            for name, kind in other:
                if ANSWERED_BY.get(name, t) == table:
                    n = column_number(table, name)
                    answered |= {n, n + 1} if kind == PAIR else {n}
        span = set(range(min(looked_up), max(looked_up) + 1))
        assert span == answered, table


def test_values_have_the_types_and_access_the_agent_serves():
    assert oid("tarnSubagentVersion") == oid("tarnObjects") + (1,)
    assert clause("tarnSubagentVersion", "SYNTAX") == "Unsigned32"
    assert clause("tarnSubagentVersion", "MAX-ACCESS") == "read-only"
    kinds = dict(COLUMNS)
    kinds.update(NOTIFY_ONLY)
    for name, kind in kinds.items():
        syntax = clause(name, "SYNTAX")
        if kind == TEXT:
            assert syntax.startswith("OCTET STRING"), name
        else:
            assert syntax.split()[0] in ("Unsigned32", "Gauge32"), name
        access = "accessible-for-notify" if name in NOTIFY_ONLY else "read-only"
        assert clause(name, "MAX-ACCESS") == access, name
    assert clause("tarnWaitTime", "SYNTAX") == "Gauge32"
    assert clause("tarnStgPoolUtil", "SYNTAX") == "Gauge32"


@pytest.mark.parametrize("trap,objects", TRAPS, ids=[t[0] for t in TRAPS])
def test_notification_objects_follow_the_binding_order(trap, objects):
    assert "NOTIFICATION-TYPE" in definition(trap)
    assert oid(trap)[:-1] == oid("tarnNotifications")
    assert braced_list(trap, "OBJECTS") == objects
    for name in objects:
        assert name in NOTIFY_ONLY or name in COLUMNS, name


def smilint(level):
    env = dict(os.environ, SMIPATH=base_mib_dir())
    out = run(["smilint", "-m", "-l", str(level), MIB_FILE], env=env)
    return (out.stdout + out.stderr).strip()


def test_smilint_finds_no_errors():
    assert smilint(3) == ""


def test_smilint_warnings_are_only_the_accepted_ones():
    found = set(re.findall(r"\{([a-z0-9-]+)\}", smilint(6)))
    assert found <= ACCEPTED_WARNINGS
