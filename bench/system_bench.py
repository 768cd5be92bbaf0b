"""What the benchmarks that drive the system tests' helpers (tests/system/conftest.py) share:
the --build argument, which those helpers read from TN_BUILD_DIR when they are imported, the path
to them, and the sandbox they must run in."""

import argparse
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parser(doc):
    """An argument parser described by the first line of doc, with --build."""
    p = argparse.ArgumentParser(description=doc.split("\n")[0])
    p.add_argument("--build", default=os.path.join(REPO, "build"), type=os.path.abspath)
    return p


def parse(p):
    """The arguments; afterwards conftest can be imported and finds the build."""
    args = p.parse_args()
    os.environ["TN_BUILD_DIR"] = args.build
    sys.path.insert(0, os.path.join(REPO, "tests", "system"))
    return args


def enter_sandbox():
    """Runs this script again inside tests/sandbox.sh unless it is there already."""
    import conftest
    if not conftest.in_sandbox():
        sandbox = os.path.join(REPO, "tests", "sandbox.sh")
        os.execv(sandbox, [sandbox, "/usr/bin/python3"] + sys.argv)


def fixture_body(fixture):
    """The plain function behind one of conftest's pytest fixtures."""
    return getattr(fixture, "__wrapped__", fixture)
