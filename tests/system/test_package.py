"""The Debian package unpacked into a temporary root, which node_command lays over the
host's paths in a mount namespace: the host is untouched, no build tree on any path."""

import glob
import os
import re
import shlex
import shutil
import subprocess

import pytest

import tables_expected as te
import tables_model
from conftest import (QUERY_TOOL, REPO, TNCFGDUMP, event_connected, served, snmp_env,
                      start_simulator, start_snmpd)
from tables_snmp import all_column_oids, differences, expected_varbinds, oid_text, table_oids, walk

# Set by the test command, which builds the package: then a missing package fails.
DEB_DIR = os.environ.get("TN_DEB_DIR")
UNIT = "lib/systemd/system/tnmibd.service"
MAN_PAGE = "usr/share/man/man8/tnmibd.8.gz"
NODE_DIRS = ["/usr/sbin", "/usr/share", "/etc/snmp", "/lib/systemd/system",
             "/usr/lpp/tarnfs/data"]
PACKAGE_FILES = {UNIT, MAN_PAGE} | set("""usr/sbin/tnmibd etc/snmp/tarnMgmt.conf
    usr/lpp/tarnfs/data/TARN-MIB.txt usr/share/snmp/mibs/TARN-MIB.txt
    usr/share/snmp/mibs/tnmibd-SNMPv2-SMI.txt usr/share/snmp/mibs/tnmibd-SNMPv2-TC.txt
    usr/share/snmp/mibs/tnmibd-SNMPv2-CONF.txt usr/share/snmp/mibs/tnmibd-SNMPv2-MIB.txt
    usr/share/doc/tnmibd/examples/snmpd.conf.example usr/share/doc/tnmibd/copyright
    usr/share/doc/tnmibd/changelog.gz usr/share/tnmibd/prometheus/snmp.yml
    usr/share/tnmibd/prometheus/tarn-alerts.yml usr/share/tnmibd/prometheus/generator.yml
    """.split())
# The libraries the agent loads at run time, which no linker records.
OPENED_SONAMES = ["libnetsnmp.so.40", "libnetsnmpagent.so.40", "libnetsnmphelpers.so.40",
                  "libnetsnmpmibs.so.40", "libcrypto.so.3", "libwrap.so.0"]
# Lays the unpacked root over the node's directories, with the unit's runtime directory.
ON_NODE = """root=$1 runtime=$2; shift 2
for d in %s; do mount -t overlay overlay -o "lowerdir=$root$d:$d" "$d" || exit 1; done
mount -t tmpfs tmpfs /run && mkdir -p "/run/$runtime" && exec "$@"
""" % " ".join(NODE_DIRS)


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    found = glob.glob(os.path.join(DEB_DIR or os.path.join(REPO, "build-deb"), "tnmibd_*.deb"))
    if not found and not DEB_DIR:
        pytest.skip("package not built (packaging/build-deb.sh)")
    assert len(found) == 1, "no package in %s: packaging/build-deb.sh failed" % DEB_DIR
    root = str(tmp_path_factory.mktemp("node-root"))
    subprocess.run(["dpkg-deb", "-x", found[0], root], check=True)
    return found[0], root


def unit_service(root):  # each key of the packaged unit with its values
    settings = {}
    with open(os.path.join(root, UNIT)) as f:
        for key, value in re.findall(r"^(\w+)=(.*)$", f.read(), re.M):
            settings.setdefault(key, []).append(value)
    return settings


def node_command(root, argv):
    """argv as a process of the node that has the package installed."""
    runtime = unit_service(root).get("RuntimeDirectory", ["."])[0]
    return ["unshare", "--mount", "sh", "-c", ON_NODE, "on-node", root, runtime] + argv


def out(argv, **kwargs):
    got = subprocess.run(argv, capture_output=True, **kwargs)
    assert got.returncode == 0, (argv, got.stdout, got.stderr)
    return got.stdout


def test_the_package_holds_what_a_node_needs_and_its_man_page_and_unit_are_clean(package):
    deb, root = package
    listing = [line.split(None, 5) for line in out(["dpkg-deb", "-c", deb], text=True).splitlines()]
    assert {f[5].split(" -> ")[0].lstrip("./") for f in listing if f[0][0] != "d"} == PACKAGE_FILES
    control = out(["dpkg-deb", "--ctrl-tarfile", deb])
    assert out(["tar", "-xOf", "-", "./conffiles"], input=control).split() == \
        [b"/etc/snmp/tarnMgmt.conf"]
    depends = {d.split()[0] for d in out(["dpkg-deb", "-f", deb, "Depends"], text=True).split(", ")}
    for soname in OPENED_SONAMES:
        owner = out(["dpkg-query", "-S", glob.glob("/usr/lib/*/" + soname)[0]], text=True)
        assert owner.split(":")[0] in depends, soname
    assert "snmpd" in out(["dpkg-deb", "-f", deb, "Recommends"], text=True)

    out(["lintian", "--fail-on", "error", deb])
    assert out(["mandoc", "-T", "lint", "-W", "warning", os.path.join(root, MAN_PAGE)]) == b""
    verify = subprocess.run(node_command(root, ["systemd-analyze", "verify", "/" + UNIT]),
                            capture_output=True, text=True)
    assert verify.returncode == 0 and "tnmibd" not in verify.stderr, verify.stderr
    security = out(["systemd-analyze", "security", "--offline=yes", "--root=" + root,
                    os.path.join(root, UNIT)], text=True)
    assert float(re.search(r"exposure level for tnmibd.service: ([\d.]+)", security)[1]) <= 2.0


def test_the_packaged_agent_started_as_its_unit_says_serves_every_table_and_sends_traps(
        launcher, tmp_path, package, trapd, snmp):
    root = package[1]
    with open(os.path.join(root, "usr/share/doc/tnmibd/examples/snmpd.conf.example")) as f:
        example = [l for l in f.read().splitlines() if l and not l.startswith("#")]
    assert example == ["master agentx", "agentXSocket tcp:localhost:705"]
    snmpd = start_snmpd(launcher, tmp_path, example)
    # The plain build's query tool: the agent gives it the unit's environment, no sanitizer's.
    plain = os.path.join(REPO, "build", "sim", "tncfgdump")
    shutil.copy(plain if os.path.exists(plain) else TNCFGDUMP, QUERY_TOOL)
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    service = unit_service(root)
    (exec_start,) = service["ExecStart"]
    argv = shlex.split(exec_start)
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}
    for assignments in service.get("Environment", []):
        env.update(a.split("=", 1) for a in shlex.split(assignments))
    assert argv[0] == "/usr/sbin/tnmibd"
    assert REPO not in " ".join(argv + list(env.values()))
    agent = launcher.start("tnmibd", node_command(root, argv), env=env)
    served(agent, snmp)

    want = te.expected_tables(sim.model())
    columns, tables_at = all_column_oids(snmp, want), table_oids(snmp)
    problems = [differences(walk(snmp, oid_text(tables_at[t])),
                            expected_varbinds(want[t], columns)) for t in te.TABLES]
    assert not any(problems), "\n".join(p for p in problems if p)

    event_connected(sim)
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ packaged")
    trapd.wait_count(1)
    assert trapd.values("tarnMountTrap", 1) == ["packaged"]

    # The packaged tarnMgmt.conf's ping interval: back well before the library's default.
    snmpd.stop()
    launcher.start("snmpd-again", snmpd.argv, env=snmp_env(tmp_path))
    served(agent, snmp, timeout=12)

    problems = re.findall(r".*(?:Cannot find|Did not find|Warning|rror).*", agent.stderr())
    assert not problems, agent.stderr()
    assert agent.stop() == 0
