"""The package on a stock Debian node, the README's way: Debian's own snmpd.conf and units, the
package installed with apt and the README's recipe run as it stands (node.py), then what an
operator meets: every table through the stock community and the SNMPv3 user, traps at the
README's receiver, a slow daemon, another user at the AgentX socket, a hang-up, the unit's
sandbox, a daemon that is not there yet, upgrades and removal."""

import os
import re
import shlex
import shutil
import subprocess
import textwrap
import time
import urllib.request

import pytest
import yaml

import tables_expected as te
import tables_model
from conftest import (QUERY_TOOL, REPO, TNCFGDUMP, Launcher, Snmp, event_connected,
                      package_path, port_open, start_simulator, wait_for)
from node import Node
from tables_snmp import all_column_oids, differences, expected_varbinds, oid_text, table_oids, walk
from test_prometheus import EXPORTER_PORT, readme_section, start_exporter

MANAGER = "manager.example.net"
AGENTX = "/var/agentx/master"
MOUNT_TRAP = ".1.3.6.1.4.1.32473.1.0.1"
VERSION = ".1.3.6.1.4.1.32473.1.1.1.0"
TRAP_LOG = "/var/log/tarn-traps/traps.log"
PUBLIC = ("-v2c", "-c", "public")


RECIPE = "Running it on a real node"


def recipe():
    """The README's sh blocks, the manager's name standing for this sandbox."""
    return [b.replace(MANAGER, "127.0.0.1")
            for b in re.findall(r"```sh\n(.*?)```", readme_section(RECIPE), re.S)]


def v3_auth():
    """The options of the README's SNMPv3 check: from -v3 to the MIB option."""
    words = shlex.split(recipe()[3].replace("\\\n", " "))
    start = words.index("-v3")
    return tuple(words[start:words.index("-m", start)])


def systemd_events(node):
    """What the service manager did with the agent's unit since the last call."""
    got = node.run("journalctl -q -o cat --no-pager --cursor-file=/run/test-cursor "
                   "_PID=1 UNIT=tnmibd.service", check=False).stdout
    return [w for w in re.findall(r"^(Started|Stopping|Stopped|Starting)\b", got, re.M)]


def serving(node, snmp, timeout=40):
    wait_for(lambda: snmp.serves(), timeout, "the agent on the node: " +
             node.journal("tnmibd")[-2000:], interval=0.3)


@pytest.fixture(scope="module")
def node(tmp_path_factory):
    deb = package_path()
    work = tmp_path_factory.mktemp("node")
    launcher = Launcher(work)
    plain = os.path.join(REPO, "build", "sim", "tncfgdump")  # no sanitizer under the unit
    shutil.copy(plain if os.path.exists(plain) else TNCFGDUMP, QUERY_TOOL)
    model = tables_model.write_model(work / "model.json")
    sim = start_simulator(launcher, work, model)
    shutil.copy(deb, work)
    n = Node(work / "state")
    n.sim, n.launcher, n.work, n.model = sim, launcher, work, model
    try:
        n.pristine_snmpd_conf()
        steps = recipe()
        n.run(steps[0], cwd=str(work))  # apt install
        n.after_install = (n.show("tnmibd", "UnitFileState"), n.active("tnmibd"),
                           systemd_events(n))
        n.run(steps[1])  # the master
        n.run(steps[2])  # enable --now
        serving(n, Snmp(work))
        n.check = n.run(steps[3])
        n.run(steps[4])  # the receiver
        n.wait_active("snmptrapd")
        yield n
    finally:
        n.shutdown()
        launcher.stop_all()
        subprocess.run("find /var/tarnfs /usr/lpp/tarnfs /var/lib/snmp /var/agentx -mindepth 1 "
                       "-delete; mkdir -p /var/tarnfs/tnperf /usr/lpp/tarnfs/bin "
                       "/usr/lpp/tarnfs/data; chown root:root /var/lib/snmp", shell=True)


def test_the_readme_recipe_on_a_stock_node_starts_nothing_at_install_then_serves(node):
    assert node.after_install == ("disabled", "inactive", [])
    assert node.check.stdout.count("Gauge32: 1") == 2, node.check.stdout
    disks = [d["name"] for fs in node.sim.model()["fileSystems"] for p in fs["pools"]
             for d in p["disks"]]
    assert disks and all(d in node.check.stdout for d in disks), node.check.stdout
    assert not port_open(705)  # AgentX only on the master's socket
    problems = re.findall(r".*(?:Cannot find|Warning|rror|buffer too small).*",
                          node.journal("tnmibd"))
    assert not problems, node.journal("tnmibd")


def compare_tables(node, snmp):
    want = te.expected_tables(node.sim.model())
    columns, tables_at = all_column_oids(snmp, want), table_oids(snmp)
    problems = [differences(walk(snmp, oid_text(tables_at[t])),
                            expected_varbinds(want[t], columns)) for t in te.TABLES]
    assert not any(problems), "\n".join(p for p in problems if p)


@pytest.mark.parametrize("auth,delay", [("v3", 0), ("public", 1500)])
def test_every_table_through_the_readme_user_and_the_stock_community_answering_late(
        node, auth, delay):
    """With every daemon answer late, walks are not answered empty (the stock community)."""
    node.sim.ctl("fault", "delay", delay)
    try:
        time.sleep(21 if delay else 0)  # every level of the data is then due for a poll
        compare_tables(node, Snmp(node.work, PUBLIC + ("-t", "15", "-r", "0") if delay
                                  else v3_auth()))
    finally:
        node.sim.ctl("fault", "delay", 0)
    assert "disconnected" not in node.journal("tnmibd")


def test_the_exporter_reads_the_tables_as_the_readme_user(node):
    with open(os.path.join(REPO, "packaging", "prometheus", "snmp.yml")) as f:
        config = yaml.safe_load(f)
    snippet = re.search(r"```\n(  version: 3\n.*?)```", readme_section(RECIPE), re.S)[1]
    config["tarn"].update(yaml.safe_load(textwrap.dedent(snippet)))
    (node.work / "snmp-v3.yml").write_text(yaml.safe_dump(config))
    exporter = start_exporter(node.launcher, node.work / "snmp-v3.yml")
    url = "http://127.0.0.1:%d/snmp?module=tarn&target=127.0.0.1" % EXPORTER_PORT
    scraped = urllib.request.urlopen(url, timeout=60).read().decode()
    exporter.stop()
    assert len(re.findall(r"^tarn\w+\{", scraped, re.M)) > 20, scraped[-2000:]


def trap_log(node):
    return node.run("cat " + TRAP_LOG, check=False).stdout


def mount_traps(node, fs, count):
    """Sends a mount event for fs; the receiver's copies of its trap once count have come."""
    node.sim.ctl("event", "mount _node_ 10.0.0.1 _fs_ " + fs)
    received = lambda: trap_log(node).count('"%s"' % fs)
    wait_for(lambda: received() >= count, 20, "%d copies of the trap" % count)
    time.sleep(1)
    return received()


def test_a_mount_trap_reaches_the_readme_receiver_as_a_trap_and_an_inform(node):
    event_connected(node.sim)
    logged = len(node.journal("snmptrapd"))  # a stock receiver that socket activation started
    assert mount_traps(node, "readme", 2) == 2
    assert "dropping" not in node.journal("snmptrapd")[logged:]
    # Without the community's access only the SNMPv3 inform is taken.
    node.run("sed -i 's/^authCommunity/#&/' /etc/snmp/snmptrapd.conf && "
             "systemctl restart snmptrapd")
    try:
        assert mount_traps(node, "informed", 1) == 1
    finally:
        node.run("sed -i 's/^#authCommunity/authCommunity/' /etc/snmp/snmptrapd.conf && "
                 "systemctl restart snmptrapd")


def test_another_user_can_neither_register_nor_notify_through_the_master(node):
    with open(os.path.join(os.path.dirname(__file__), "agentx_intruder.py")) as f:
        node.run("cat > /usr/local/bin/agentx-intruder", input=f.read())
    nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups "
    register = "/usr/bin/python3 /usr/local/bin/agentx-intruder %s %s" % (AGENTX, VERSION)
    notify = "agentxtrap -x %s %s %s.0 s forged" % (AGENTX, MOUNT_TRAP, MOUNT_TRAP)
    # Root may do both: the checks can tell a refusal from a failure of their own.
    assert node.run(register).stdout.startswith("registration accepted")
    refused = node.run(nobody + register, check=False)
    assert refused.returncode == 2 and "Permission denied" in refused.stdout, refused
    node.run(notify)
    wait_for(lambda: trap_log(node).count("forged") == 2, 20, "root's notification")
    assert node.run(nobody + notify, check=False).returncode != 0
    time.sleep(2)
    assert trap_log(node).count("forged") == 2
    assert Snmp(node.work).serves()


def test_a_hangup_leaves_the_agent_serving_in_its_sandbox(node):
    pid = node.show("tnmibd", "MainPID")
    node.run("systemctl kill -s HUP tnmibd")
    time.sleep(1)
    assert (node.active("tnmibd"), node.show("tnmibd", "MainPID")) == ("active", pid)
    assert Snmp(node.work).serves()
    status = node.run("cat /proc/%s/status" % pid).stdout
    for line in ("Seccomp:\t2", "NoNewPrivs:\t1", "CapBnd:\t0000000000000000"):
        assert line in status, status
    # The trap pacing asks the kernel over netlink when the master is reached over TCP.
    families = node.show("tnmibd", "RestrictAddressFamilies").split()
    assert {"AF_UNIX", "AF_INET", "AF_INET6", "AF_NETLINK"} <= set(families), families


def test_by_hand_it_answers_help_and_version_and_reads_only_its_own_state(node):
    deb_version = subprocess.run(["dpkg-deb", "-f", package_path(), "Version"],
                                 capture_output=True, text=True).stdout
    assert node.run("tnmibd --version").stdout == deb_version
    assert node.run("tnmibd --help").stdout.startswith("Usage: tnmibd")
    node.run("systemctl stop tnmibd")
    node.run("echo 'bogusToken 1' > /var/lib/snmp/tarnMgmt.conf")  # the master's directory
    by_hand = node.run("env -u MIBS -u MIBDIRS -u SNMP_PERSISTENT_DIR -u SNMPCONFPATH "
                       "timeout --preserve-status -s INT 6 tnmibd -D", check=False)
    node.run("rm /var/lib/snmp/tarnMgmt.conf && systemctl start tnmibd")
    assert by_hand.returncode == 0, by_hand.stderr[-2000:]
    assert "AgentX subagent connected" in by_hand.stderr
    noise = re.findall(r".*(?:bogusToken|Cannot find module|buffer too small|Warning:|/var/lib/snmp).*",
                       by_hand.stderr)
    assert not noise, noise


def test_the_unit_starts_before_the_daemon_and_serves_once_it_is_there(node):
    node.run("systemctl stop tnmibd")
    node.launcher.started[0].stop()  # the simulator
    node.run("rm -rf /var/tarnfs/tnperf")
    systemd_events(node)
    node.run("systemctl start tnmibd")
    wait_for(lambda: "status=1/FAILURE" in node.journal("tnmibd"), 20, "a failed start")
    assert "NAMESPACE" not in node.journal("tnmibd")
    os.makedirs("/var/tarnfs/tnperf")
    node.sim = start_simulator(node.launcher, node.work, node.model)
    serving(node, Snmp(node.work), timeout=45)


def repacked(node, version):
    """The package again as a later version, for an upgrade."""
    root, deb = node.work / ("v" + version), node.work / ("tnmibd_%s_amd64.deb" % version)
    subprocess.run(["dpkg-deb", "-R", package_path(), str(root)], check=True)
    control = root / "DEBIAN" / "control"
    control.write_text(re.sub(r"^Version: .*$", "Version: " + version, control.read_text(),
                              flags=re.M))
    subprocess.run(["dpkg-deb", "-b", str(root), str(deb)], check=True, capture_output=True)
    return str(deb)


def test_upgrades_restart_only_a_running_agent_and_remove_and_purge_clean_up(node):
    apt = "DEBIAN_FRONTEND=noninteractive apt-get -y -q "
    serving(node, Snmp(node.work))
    systemd_events(node)
    pid = node.show("tnmibd", "MainPID")
    node.run(apt + "install " + repacked(node, "9.0.0"))
    assert systemd_events(node) == ["Stopping", "Stopped", "Started"]
    assert node.active("tnmibd") == "active" and node.show("tnmibd", "MainPID") != pid
    node.run("systemctl stop tnmibd")
    systemd_events(node)
    node.run(apt + "install " + repacked(node, "9.0.1"))
    assert systemd_events(node) == [] and node.active("tnmibd") == "inactive"
    assert node.show("tnmibd", "UnitFileState") == "enabled"

    node.run("systemctl start tnmibd")
    serving(node, Snmp(node.work))
    systemd_events(node)
    node.run(apt + "remove tnmibd")
    assert systemd_events(node) == ["Stopping", "Stopped"]
    assert node.run("ls /etc/snmp/snmpd.conf.d").stdout.split() == ["local.conf", "tnmibd.conf"]
    open("/var/tarnfs/tnperf/response.99999.0", "w").close()  # left by a killed agent
    node.run("mkdir -p /run/tnmibd && touch /run/tnmibd/tarnMgmt.conf")
    node.run(apt + "purge tnmibd")
    left = node.run("ls -d /etc/snmp/snmpd.conf.d/tnmibd.conf /etc/snmp/tarnMgmt.conf "
                    "/run/tnmibd /var/tarnfs/tnperf/response.* /usr/sbin/tnmibd "
                    "/lib/systemd/system/tnmibd.service 2>/dev/null", check=False).stdout
    assert left == ""
