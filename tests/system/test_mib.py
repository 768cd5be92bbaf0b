"""mibs/TARN-MIB.txt against what the agent looks up by name and serves: the
tables' columns (as tables_expected computes them for the sample cluster), the
version scalar and the notifications. Needs the base modules of BUILD/base-mibs
(TN_BASE_MIBS or TN_BUILD_DIR); on the host: pytest-3 --noconftest FILE."""

import functools
import glob
import json
import os
import re
import subprocess

import pytest

import tables_expected as te
from conftest import MIB_DIR, REPO
from test_traps import GAUGES, TRAP_CASES  # each notification's bindings after snmpTrapOID.0

with open(os.path.join(REPO, "sim", "models", "sample.json")) as f:
    SAMPLE = te.expected_tables(json.load(f))

# Looked up with a table's columns (so inside its column range) but answered by another.
LOOKED_UP_WITH = {"tarnNodeStatusTable": ["tarnNodeAdmin"]}

# smilint warnings kept on purpose: the index name columns are readable because
# the agent answers them; the module hangs under an enterprise number no
# imported module defines; each index name's SIZE is what that name alone may
# have, so together they may exceed an OID (the agent leaves such rows out).
ACCEPTED_WARNINGS = {"index-element-accessible", "node-implicit", "index-exceeds-too-large"}


def base_mib_dir():
    candidates = [os.environ.get("TN_BASE_MIBS", ""),
                  os.path.join(os.environ.get("TN_BUILD_DIR", REPO + "/build"), "base-mibs")]
    for d in candidates + sorted(glob.glob(os.path.join(REPO, "build*", "base-mibs"))):
        if os.path.isfile(os.path.join(d, "SNMPv2-SMI.txt")):
            return d
    pytest.fail("no base MIB directory (set TN_BASE_MIBS or run scripts/setup.sh BUILD)")


@functools.lru_cache(maxsize=None)
def translate(option, name):
    full = name if "::" in name else "TARN-MIB::" + name
    path = "%s:%s" % (base_mib_dir(), MIB_DIR)
    out = subprocess.run(["snmptranslate", "-M", path, "-m", "TARN-MIB:SNMPv2-MIB", option, full],
                         capture_output=True, text=True)
    return out.stdout if out.returncode == 0 else None


def oid(name):
    """The numeric OID of name as a tuple, or None when it does not resolve."""
    text = (translate("-On", name) or "").strip()
    return tuple(int(x) for x in text.split(".")[1:]) if re.fullmatch(r"(\.\d+)+", text) else None


def clause(name, keyword):
    m = re.search(r"^\s*%s\s+(.*)$" % keyword, translate("-Td", name) or "", re.M)
    return m.group(1).strip() if m else None


def braced_list(name, keyword):
    m = re.search(r"%s\s*\{([^}]*)\}" % keyword, translate("-Td", name) or "")
    assert m, "%s has no %s clause" % (name, keyword)
    return [x.strip() for x in m.group(1).split(",") if x.strip()]


@pytest.mark.parametrize("table", te.TABLES)
def test_table_columns_index_and_range(table):
    entry = table[:-len("Table")] + "Entry"
    assert oid(table) is not None and oid(entry) == oid(table) + (1,)
    rows = SAMPLE[table]
    numbers = set()
    for name in rows[0][1]:  # types and L/H positions: the walks check them
        assert oid(name) is not None and oid(name)[:-1] == oid(entry), name
        numbers.add(oid(name)[-1])
        assert clause(name, "MAX-ACCESS") == "read-only", name
    # The agent serves the span of the columns it looked up for the table: a
    # hole, or a column another table answers, ends a walk early.
    looked_up = numbers | {oid(n)[-1] for n in LOOKED_UP_WITH.get(table, [])}
    assert set(range(min(looked_up), max(looked_up) + 1)) == numbers
    # The INDEX names, outermost first, are octet strings holding the row's names.
    index = braced_list(entry, "INDEX")
    assert len(index) == len(rows[0][0])
    for name in index:
        assert oid(name)[:-1] == oid(entry) and clause(name, "SYNTAX").startswith("OCTET"), name
    for names, values in rows:
        assert tuple(values.get(i, n) for i, n in zip(index, names)) == names


def test_scalar_and_notifications():
    assert oid("tarnSubagentVersion") == oid("tarnObjects") + (1,)
    assert clause("tarnSubagentVersion", "SYNTAX") == "Unsigned32"
    assert clause("tarnSubagentVersion", "MAX-ACCESS") == "read-only"
    columns = {c for rows in SAMPLE.values() for c in rows[0][1]}
    names = set(columns) | {"tarnSubagentVersion"}
    traps = {"tarn%sTrap" % n: ["tarn" + b.split("=")[0] for b in bindings.split("|")]
             for _, n, bindings in TRAP_CASES}
    traps["tarnEventCollectionBufferOverflowTrap"] = ["tarnNodeIpAddress"]  # no event sends it
    assert len(traps) == 15
    for trap, objects in traps.items():
        assert "NOTIFICATION-TYPE" in translate("-Td", trap), trap
        assert oid(trap)[:-1] == oid("tarnNotifications"), trap
        assert braced_list(trap, "OBJECTS") == objects, trap
        names |= {trap} | set(objects)
        for name in set(objects) - columns:
            syntax = "Gauge32" if name[len("tarn"):] in GAUGES else "OCTET"  # else texts
            assert clause(name, "SYNTAX").split()[0] == syntax, name
            assert clause(name, "MAX-ACCESS") == "accessible-for-notify", name
    # Every name the agent looks up sits under the module's root, each at its own OID.
    assert all(oid(n)[:7] == (1, 3, 6, 1, 4, 1, 32473) for n in names)
    assert len({oid(n) for n in names}) == len(names)


def test_smilint_finds_only_the_accepted_warnings():
    out = subprocess.run(["smilint", "-s", "-m", "-l", "6", os.path.join(MIB_DIR, "TARN-MIB.txt")],
                         capture_output=True, text=True,
                         env=dict(os.environ, SMIPATH=base_mib_dir()))
    found = re.findall(r"\[(\d)\] \{([a-z0-9-]+)\}", out.stdout + out.stderr)
    assert found, "smilint printed nothing at level 6"
    assert {tag for _, tag in found} <= ACCEPTED_WARNINGS, out.stdout + out.stderr
    assert min(int(level) for level, _ in found) > 3, out.stdout + out.stderr
