"""The managers' output as varbinds, and expected tables (tables_expected) as
the varbinds a walk must return."""

import re

import pytest

import tables_expected as te

TARN_ROOT = ".1.3.6.1.4.1.32473"


def oid_tuple(text):
    return tuple(int(x) for x in text.strip().lstrip(".").split("."))


def oid_text(oid):
    return "." + ".".join(str(x) for x in oid)


def parse_varbinds(output):
    """Lines "OID = TYPE: VALUE" (numeric OIDs) as (oid tuple, type, value);
    Gauge32 and Counter64 values as ints, strings as they stand."""
    result = []
    for line in output.splitlines():
        if " = " not in line:
            continue
        oid, rest = line.split(" = ", 1)
        typ, _, value = rest.partition(":")
        value = value[1:] if value.startswith(" ") else value
        if typ in ("Gauge32", "Counter64"):
            value = int(value.split()[0])  # without a UNITS suffix
        elif typ == "STRING" and len(value) >= 2 and value[0] == value[-1] == '"':
            value = value[1:-1]
        result.append((oid_tuple(oid), typ, value))
    return result


def walk(snmp, oid):
    got = snmp.walk(oid, opts=("-On",))
    if got.returncode != 0:
        pytest.fail("walk of %s failed: %s" % (oid, got.stderr))
    return parse_varbinds(got.stdout)


def object_oids(snmp, names):
    """Numeric OIDs of MIB objects by name, from the MIB the managers read."""
    names = list(names)
    got = snmp.translate("-On", *["TARN-MIB::" + n for n in names])
    lines = [l for l in got.stdout.splitlines() if l.strip()]
    if got.returncode != 0 or len(lines) != len(names):
        pytest.fail("snmptranslate failed: %s" % got.stderr)
    return dict(zip(names, (oid_tuple(l) for l in lines)))


def expected_varbinds(rows, columns):
    """The varbinds a walk of a table with these rows returns, in walk order:
    column by column, rows by index."""
    result = []
    for names, values in rows:
        suffix = te.index_key(names)
        for column, value in values.items():
            typ = ("STRING" if isinstance(value, str) else
                   "Counter64" if isinstance(value, te.Wide) else "Gauge32")
            result.append((columns[column] + suffix, typ, value))
    return sorted(result)


def table_oids(snmp):
    return object_oids(snmp, te.TABLES)


def all_column_oids(snmp, tables):
    names = {c for rows in tables.values() for _, values in rows for c in values}
    return object_oids(snmp, sorted(names))


def differences(got, want):
    """A readable account of how two varbind lists differ (empty when equal)."""
    if got == want:
        return ""
    diff = sorted(set(got) ^ set(want), key=lambda vb: (vb[0], vb in want))[:12]
    lines = ["%s %s %r" % ("+" if vb in want else "-", oid_text(vb[0]), vb[1:]) for vb in diff]
    return "got %d varbinds, want %d; only in got (-), only in want (+):\n" % (
        len(got), len(want)) + "\n".join(lines)


def error_status(stderr):
    """The error status name a manager reported, e.g. "badValue", or None."""
    m = re.search(r"Reason: \((\w+)\)", stderr)
    return m.group(1) if m else None
