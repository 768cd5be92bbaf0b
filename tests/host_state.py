"""What the suite must leave as it found it on the host: the Net-SNMP state directory.

  host_state.py snapshot FILE       records the directory's files and digests in FILE
  host_state.py check FILE XML      compares with FILE, writes the result as one JUnit case
"""

import hashlib
import os
import sys
from xml.sax.saxutils import escape

WATCHED = "/var/lib/snmp"


def state():
    lines = []
    for top, dirs, files in os.walk(WATCHED):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                lines.append("%s %s" % (hashlib.sha256(f.read()).hexdigest(), path))
    return lines


def main(verb, record, xml=None):
    if verb == "snapshot":
        with open(record, "w") as f:
            f.write("\n".join(state()))
        return 0
    with open(record) as f:
        before = [line for line in f.read().split("\n") if line]
    after = state()
    changed = sorted(set(before) ^ set(after))
    failure = ('<failure message="%s changed by the suite">%s</failure>' %
               (WATCHED, escape("\n".join(changed))) if changed else "")
    with open(xml, "w") as f:
        f.write('<testsuite name="host"><testcase classname="host" name="host_snmp_state_'
                'unchanged">%s</testcase></testsuite>\n' % failure)
    print("host: %s %s" % (WATCHED, "CHANGED: " + ", ".join(changed) if changed else "unchanged"))
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
