"""A Debian node inside the sandbox: the service manager runs as PID 1 of a PID namespace of its
own, over copies of the host's /etc, /usr and package state (overlays on a tmpfs), so that the
package is installed with apt, its maintainer scripts call the real systemctl, and snmpd, the
agent and snmptrapd run as their units say, sandboxing directives included. The host is not
touched: every write lands in the overlays, which go with the namespace. The node shares the
sandbox's network and its /var/tarnfs, /var/agentx and /var/lib/snmp."""

import hashlib
import subprocess

from conftest import wait_for

# Overlaid directories, and the tmpfs of the fixed paths re-bound on top of the /usr overlay.
BOOT = r"""set -e
state=$1
mkdir -p "$state"
mount -t tmpfs tmpfs "$state"
mkdir -p "$state/lpp"
mount --bind /usr/lpp/tarnfs "$state/lpp"
for d in /etc /usr /var/lib/dpkg /var/lib/apt /var/cache /var/log /var/lib/systemd; do
  mkdir -p "$state/u$d" "$state/w$d"
  mount -t overlay overlay -o "lowerdir=$d,upperdir=$state/u$d,workdir=$state/w$d" "$d"
done
mount --bind "$state/lpp" /usr/lpp/tarnfs
mount -t tmpfs tmpfs /run
chown Debian-snmp:Debian-snmp /var/lib/snmp
# Booted for real, the system's early units would act on the host's kernel, devices and shared
# directories (sysctl, udev, binfmt, /dev/log, a tmpfiles run that empties /tmp): only the
# journal comes up, and the trap port's socket, which a node has listening from boot.
for wanted in /lib/systemd/system/sysinit.target.wants/* /etc/systemd/system/sysinit.target.wants/* \
              tmp.mount systemd-remount-fs.service systemd-journald-dev-log.socket \
              systemd-journald-audit.socket; do
  unit=${wanted##*/}
  [ "$unit" = systemd-journald.service ] || ln -sf /dev/null "/etc/systemd/system/$unit"
done
cat > /etc/systemd/system/node.target <<'EOF'
[Unit]
Description=A TARN node of the tests
DefaultDependencies=no
Wants=systemd-journald.service snmptrapd.socket
EOF
exec /lib/systemd/systemd --system --unit=node.target --log-target=journal
"""
SNMPD_CONF = "/etc/snmp/snmpd.conf"


class Node:
    def __init__(self, state_dir):
        self.proc = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--kill-child", "--mount", "--mount-proc", "--uts",
             "bash", "-c", BOOT, "boot", str(state_dir)], stdin=subprocess.DEVNULL)
        def up():
            assert self.proc.poll() is None, "the node's service manager did not start"
            return self.children() and self.state() in ("running", "degraded")
        wait_for(up, 30, "the node's service manager", interval=0.2)

    def children(self):
        return subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True,
                              text=True).stdout.split()

    def pid(self):
        return self.children()[0]

    def run(self, command, check=True, cwd="/", timeout=120, input=None):
        """A shell command on the node, as root; its CompletedProcess (text)."""
        got = subprocess.run(["nsenter", "-t", self.pid(), "-m", "-p", "-u", "--wd=" + cwd,
                              "bash", "-c", command], capture_output=True, text=True,
                             timeout=timeout, input=input)
        assert not check or got.returncode == 0, (command, got.stdout, got.stderr)
        return got

    def state(self):
        try:
            return self.run("systemctl is-system-running", check=False).stdout.strip()
        except (IndexError, subprocess.SubprocessError):
            return ""

    def show(self, unit, prop):
        return self.run("systemctl show -P %s %s" % (prop, unit)).stdout.strip()

    def active(self, unit):
        return self.show(unit, "ActiveState")

    def journal(self, unit):
        return self.run("journalctl -q -o cat --no-pager -u " + unit).stdout

    def wait_active(self, unit, timeout=30):
        wait_for(lambda: self.active(unit) == "active", timeout, unit, interval=0.2)

    def pristine_snmpd_conf(self):
        """Debian's own snmpd.conf: the package's copy when the host's was edited."""
        digests = self.run("dpkg-query -W -f='${Conffiles}' snmpd").stdout.split("\n")
        want = [l.split()[1] for l in digests if l.split()[:1] == [SNMPD_CONF]][0]
        if hashlib.md5(self.run("cat " + SNMPD_CONF).stdout.encode()).hexdigest() != want:
            self.run("cd /tmp && apt-get download snmpd && dpkg-deb --fsys-tarfile snmpd_*.deb"
                     " | tar -xOf - .%s > %s" % (SNMPD_CONF, SNMPD_CONF))
        got = hashlib.md5(self.run("cat " + SNMPD_CONF).stdout.encode()).hexdigest()
        assert got == want, "no pristine snmpd.conf"

    def shutdown(self):
        self.proc.kill()
        self.proc.wait()
