"""The Debian package as a node gets it: its file list, dependencies and
configuration, lintian, the man page and the unit's checks, and the agent
started from the unpacked package exactly as its unit says, serving every
table and sending a trap.

The package is unpacked into a temporary root. A process that must see it at
the node's paths runs in a mount namespace of its own, where the unpacked
directories are laid over the host's with read-only overlays: nothing of the
host changes and no build tree is on any of its paths."""

import glob
import os
import re
import shlex
import shutil
import subprocess

import pytest

import tables_expected as te
import tables_model
from conftest import QUERY_TOOL, REPO, TNCFGDUMP, port_open, snmp_env, start_simulator, wait_for
from tables_snmp import all_column_oids, differences, expected_varbinds, oid_text, table_oids, walk
from trapkit import OidNames, TimedTrapd, event_connected, trap_body

# Set by tests/run.sh, which builds the package: then a missing package fails.
DEB_DIR = os.environ.get("TN_DEB_DIR")
UNIT = "lib/systemd/system/tnmibd.service"
MAN_PAGES = ["usr/share/man/man8/tnmibd.8.gz"]
# The node's directories the package installs into.
NODE_DIRS = ["/usr/sbin", "/usr/share", "/etc/snmp", "/lib/systemd/system",
             "/usr/lpp/tarnfs/data"]
PACKAGE_FILES = {
    "usr/sbin/tnmibd",
    "usr/lpp/tarnfs/data/TARN-MIB.txt",
    "usr/share/snmp/mibs/TARN-MIB.txt",
    "usr/share/snmp/mibs/tnmibd-SNMPv2-SMI.txt",
    "usr/share/snmp/mibs/tnmibd-SNMPv2-TC.txt",
    "usr/share/snmp/mibs/tnmibd-SNMPv2-CONF.txt",
    "usr/share/snmp/mibs/tnmibd-SNMPv2-MIB.txt",
    UNIT,
    "etc/snmp/tarnMgmt.conf",
    "usr/share/doc/tnmibd/examples/snmpd.conf.example",
    "usr/share/doc/tnmibd/copyright",
    "usr/share/doc/tnmibd/changelog.gz",
    "usr/share/tnmibd/prometheus/snmp.yml",
    "usr/share/tnmibd/prometheus/tarn-alerts.yml",
    "usr/share/tnmibd/prometheus/generator.yml",
} | set(MAN_PAGES)
# The libraries the agent loads at run time, which no linker records.
OPENED_SONAMES = ["libnetsnmp.so.40", "libnetsnmpagent.so.40", "libnetsnmphelpers.so.40",
                  "libnetsnmpmibs.so.40", "libcrypto.so.3", "libwrap.so.0"]
# Lays the unpacked root over the node's directories, gives a fresh /run with
# the unit's runtime directory, and runs the command.
ON_NODE = """root=$1 runtime=$2; shift 2
for d in %s; do mount -t overlay overlay -o "lowerdir=$root$d:$d" "$d" || exit 1; done
mount -t tmpfs tmpfs /run && mkdir -p "/run/$runtime" && exec "$@"
""" % " ".join(NODE_DIRS)


@pytest.fixture(scope="module")
def deb():
    found = sorted(glob.glob(os.path.join(DEB_DIR or os.path.join(REPO, "build-deb"),
                                          "tnmibd_*.deb")))
    if not found:
        if DEB_DIR:
            pytest.fail("no package in %s: packaging/build-deb.sh failed" % DEB_DIR)
        pytest.skip("package not built (packaging/build-deb.sh)")
    return found[-1]


@pytest.fixture(scope="module")
def root(deb, tmp_path_factory):
    path = tmp_path_factory.mktemp("node-root")
    subprocess.run(["dpkg-deb", "-x", deb, str(path)], check=True)
    return str(path)


def unit_service(root):
    """The [Service] settings of the packaged unit, each key with its values."""
    settings, section = {}, None
    with open(os.path.join(root, UNIT)) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith("#"):
                key, _, value = line.partition("=")
                settings.setdefault(key, []).append(value)
    return settings


def node_command(root, argv):
    """argv as a process of the node that has the package installed."""
    runtime = unit_service(root).get("RuntimeDirectory", ["."])[0]
    return ["unshare", "--mount", "sh", "-c", ON_NODE, "on-node", root, runtime] + argv


def unit_start(root):
    """The agent's command line and environment, as systemd would give them."""
    service = unit_service(root)
    (exec_start,) = service["ExecStart"]
    argv = shlex.split(exec_start)
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}
    for assignments in service.get("Environment", []):
        env.update(a.split("=", 1) for a in shlex.split(assignments))
    return argv, env


def deb_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True,
                          check=True).stdout.strip()


def owning_package(soname):
    path = glob.glob("/usr/lib/*/" + soname)[0]
    out = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True,
                         check=True).stdout
    return out.split(":")[0]


def test_the_package_holds_the_agent_its_mib_unit_and_configuration_and_nothing_else(
        deb, root):
    files = {}
    for line in subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        mode, name = line.split()[0], line.split(None, 5)[5]
        if not mode.startswith("d"):
            files[name.split(" -> ")[0].lstrip("./")] = mode
    assert set(files) == PACKAGE_FILES
    assert not [f for f in files if re.search(r"tncfgdump|tarnsim", f)]
    assert os.path.realpath(os.path.join(root, "usr/share/snmp/mibs/TARN-MIB.txt")) == \
        os.path.join(root, "usr/lpp/tarnfs/data/TARN-MIB.txt")
    assert files["usr/sbin/tnmibd"].startswith("-rwxr-xr-x")

    control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", deb], capture_output=True,
                             check=True).stdout
    conffiles = subprocess.run(["tar", "-xOf", "-", "./conffiles"], input=control,
                               capture_output=True, check=True).stdout.decode().split()
    assert conffiles == ["/etc/snmp/tarnMgmt.conf"]
    with open(os.path.join(root, "etc/snmp/tarnMgmt.conf")) as f:
        assert re.search(r"^agentxPingInterval\s+\d+$", f.read(), re.M)

    depends = {d.split()[0] for d in deb_field(deb, "Depends").split(", ")}
    owners = {s: owning_package(s) for s in OPENED_SONAMES}
    assert {s: p for s, p in owners.items() if p not in depends} == {}
    assert "snmpd" in deb_field(deb, "Recommends")


def test_lintian_the_man_page_and_the_unit_are_clean(deb, root):
    lint = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True,
                          text=True)
    assert lint.returncode == 0, lint.stdout + lint.stderr
    for page in MAN_PAGES:
        man = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", os.path.join(root, page)],
                             capture_output=True, text=True)
        assert man.returncode == 0 and not man.stdout, man.stdout + man.stderr
    unit = "/" + UNIT
    verify = subprocess.run(node_command(root, ["systemd-analyze", "verify", unit]),
                            capture_output=True, text=True)
    assert verify.returncode == 0 and "tnmibd" not in verify.stderr, verify.stderr
    security = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                               "--root=" + root, os.path.join(root, UNIT)],
                              capture_output=True, text=True)
    score = re.search(r"Overall exposure level for tnmibd.service: ([\d.]+)", security.stdout)
    assert score and float(score.group(1)) <= 2.0, security.stdout


@pytest.fixture
def node_snmpd(launcher, tmp_path, root):
    """The master agent configured with the package's example lines."""
    with open(os.path.join(root, "usr/share/doc/tnmibd/examples/snmpd.conf.example")) as f:
        example = [l for l in f.read().splitlines() if l and not l.startswith("#")]
    assert example == ["master agentx", "agentXSocket tcp:localhost:705"]
    conf = tmp_path / "snmpd.conf"
    conf.write_text("\n".join(example) + "\nagentaddress udp:127.0.0.1:161\n"
                    "rocommunity public 127.0.0.1\ntrap2sink 127.0.0.1:162 public\n")
    proc = launcher.start("snmpd", ["snmpd", "-f", "-C", "-c", str(conf), "-Lf",
                                    str(tmp_path / "snmpd.log"), "-p",
                                    str(tmp_path / "snmpd.pid")], env=snmp_env(tmp_path))
    wait_for(lambda: port_open(705) or not proc.running(), 10, "snmpd's AgentX port")
    assert proc.running(), "snmpd exited"
    return proc


def test_the_packaged_agent_started_as_its_unit_says_serves_every_table_and_sends_traps(
        launcher, tmp_path, root, node_snmpd, snmp):
    # The daemon side is the simulator's: the daemon socket and the query tool
    # (the plain build's where there is one: the agent passes the tool only the
    # unit's environment, without the sanitizer options).
    plain = os.path.join(REPO, "build", "sim", "tncfgdump")
    shutil.copy(plain if os.path.exists(plain) else TNCFGDUMP, QUERY_TOOL)
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    trapd = TimedTrapd(launcher, tmp_path)
    argv, env = unit_start(root)
    assert argv[0] == "/usr/sbin/tnmibd"
    assert REPO not in " ".join(argv + list(env.values()))
    agent = launcher.start("tnmibd", node_command(root, argv), env=env)

    def registered():
        assert agent.running(), "tnmibd exited: " + agent.stderr()
        r = snmp.get("-On", "TARN-MIB::tarnSubagentVersion.0")
        return r.returncode == 0 and "No Such Object" not in r.stdout
    wait_for(registered, 30, "the packaged agent's registration", interval=0.2)

    want = te.expected_tables(sim.model())
    columns, tables_at = all_column_oids(snmp, want), table_oids(snmp)
    problems = [differences(walk(snmp, oid_text(tables_at[t])),
                            expected_varbinds(want[t], columns)) for t in te.TABLES]
    assert not any(problems), "\n".join(p for p in problems if p)

    event_connected(sim)
    sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ packaged")
    trapd.wait_count(1, 30)
    oid, bindings = trap_body(trapd.traps()[0][1])
    assert oid == OidNames(tmp_path)("tarnMountTrap")
    assert bindings[1][2] == "packaged"
    # A node's manager finds the module with the package's files alone.
    table = subprocess.run(node_command(root, [
        "snmptable", "-v2c", "-c", "public", "-m", "+TARN-MIB", "127.0.0.1",
        "TARN-MIB::tarnStgPoolTable"]), capture_output=True, text=True,
        env={"PATH": env["PATH"], "SNMP_PERSISTENT_DIR": "/run"})
    assert table.returncode == 0 and "tarnStgPoolName" in table.stdout, table.stderr

    # The packaged tarnMgmt.conf is in effect: its ping interval brings the
    # agent back after a master restart well before the library's default.
    node_snmpd.stop()
    restarted = launcher.start("snmpd", node_snmpd.argv, env=snmp_env(tmp_path))
    wait_for(lambda: port_open(705) or not restarted.running(), 10, "snmpd's restart")
    wait_for(registered, 10, "the agent's registration after the master's restart",
             interval=0.2)

    problems = re.findall(r".*(?:Cannot find|Did not find|Warning|rror).*", agent.stderr())
    assert not problems, agent.stderr()
    assert agent.stop() == 0
