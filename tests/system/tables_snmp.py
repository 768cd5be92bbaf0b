"""The managers' output as varbinds, and expected tables (tables_expected) as
the varbinds a walk must return."""

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
        typ, _, value = rest.partition(": ")
        if typ in ("Gauge32", "Counter64"):
            value = int(value.split()[0])  # without a UNITS suffix
        elif typ == "STRING" and len(value) >= 2 and value[0] == value[-1] == '"':
            value = value[1:-1]
        result.append((oid_tuple(oid), typ, value))
    return result


def walk(snmp, oid):
    got = snmp.walk(oid, opts=("-On",))
    assert got.returncode == 0, "walk of %s failed: %s" % (oid, got.stderr)
    return parse_varbinds(got.stdout)


def object_oids(snmp, names):
    """Numeric OIDs of MIB objects by name, from the MIB the managers read."""
    names = list(names)
    got = snmp.translate("-On", *["TARN-MIB::" + n for n in names])
    lines = [l for l in got.stdout.splitlines() if l.strip()]
    assert got.returncode == 0 and len(lines) == len(names), got.stderr
    return dict(zip(names, (oid_tuple(l) for l in lines)))


TYPES = {str: "STRING", int: "Gauge32", te.Wide: "Counter64"}


def expected_varbinds(rows, columns):
    """The varbinds a walk of a table with these rows returns, in walk order."""
    return sorted((columns[c] + te.index_key(names), TYPES[type(v)], v)
                  for names, values in rows for c, v in values.items())


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

