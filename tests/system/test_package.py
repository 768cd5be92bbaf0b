"""The Debian package's contents, lint, man page and unit, unpacked into a temporary root that
node_command lays over the host's paths in a mount namespace (test_node.py installs and runs it
on a node)."""

import glob
import os
import re
import subprocess

import pytest

from conftest import package_path

UNIT = "lib/systemd/system/tnmibd.service"
MAN_PAGE = "usr/share/man/man8/tnmibd.8.gz"
NODE_DIRS = ["/usr/sbin", "/usr/share", "/etc/snmp", "/lib/systemd/system",
             "/usr/lpp/tarnfs/data"]
PACKAGE_FILES = {UNIT, MAN_PAGE} | set("""usr/sbin/tnmibd etc/snmp/tarnMgmt.conf
    usr/lpp/tarnfs/data/TARN-MIB.txt usr/share/snmp/mibs/TARN-MIB.txt
    usr/share/snmp/mibs/tnmibd-SNMPv2-SMI.txt usr/share/snmp/mibs/tnmibd-SNMPv2-TC.txt
    usr/share/snmp/mibs/tnmibd-SNMPv2-CONF.txt usr/share/snmp/mibs/tnmibd-SNMPv2-MIB.txt
    etc/snmp/snmpd.conf.d/tnmibd.conf usr/share/doc/tnmibd/copyright
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
    deb = package_path()
    root = str(tmp_path_factory.mktemp("node-root"))
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    return deb, root


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
        [b"/etc/snmp/snmpd.conf.d/tnmibd.conf", b"/etc/snmp/tarnMgmt.conf"]
    depends = {d.split()[0] for d in out(["dpkg-deb", "-f", deb, "Depends"], text=True).split(", ")}
    for soname in OPENED_SONAMES:
        owner = out(["dpkg-query", "-S", glob.glob("/usr/lib/*/" + soname)[0]], text=True)
        assert owner.split(":")[0] in depends, soname
    assert "snmpd" in out(["dpkg-deb", "-f", deb, "Recommends"], text=True)

    out(["lintian", "--fail-on", "error", deb])
    assert out(["mandoc", "-T", "lint", os.path.join(root, MAN_PAGE)]) == b""
    verify = subprocess.run(node_command(root, ["systemd-analyze", "verify", "/" + UNIT]),
                            capture_output=True, text=True)
    assert verify.returncode == 0 and "tnmibd" not in verify.stderr, verify.stderr
    security = out(["systemd-analyze", "security", "--offline=yes", "--root=" + root,
                    os.path.join(root, UNIT)], text=True)
    assert float(re.search(r"exposure level for tnmibd.service: ([\d.]+)", security)[1]) <= 2.0
