"""Adds up GoogleTest and pytest JUnit XML reports into one closing line."""

import sys
import xml.etree.ElementTree as ET


def count(paths):
    passed = failed = skipped = 0
    for path in paths:
        try:
            root = ET.parse(path).getroot()
        except (OSError, ET.ParseError) as err:
            print("summary: cannot read %s: %s" % (path, err))
            failed += 1
            continue
        for case in root.iter("testcase"):
            kinds = {child.tag for child in case}
            if kinds & {"failure", "error"}:
                failed += 1
            elif "skipped" in kinds or case.get("result") == "skipped":
                skipped += 1
            else:
                passed += 1
    return passed, failed, skipped


def main():
    passed, failed, skipped = count(sys.argv[1:])
    if passed + failed == 0:
        print("summary: no test ran")
        return 1
    print("total: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
