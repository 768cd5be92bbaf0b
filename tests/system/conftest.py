"""The end-to-end tests' processes, inside tests/sandbox.sh; all are stopped and the
fixed paths emptied when a test ends."""

import glob
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TN_BUILD_DIR", os.path.join(REPO, "build"))
BASE_MIBS = os.path.join(BUILD, "base-mibs")
MIB_DIR = os.path.join(REPO, "mibs")
AGENT = os.path.join(BUILD, "tnmibd")
TARNSIM = os.path.join(BUILD, "sim", "tarnsim")
TNCFGDUMP = os.path.join(BUILD, "sim", "tncfgdump")
SAMPLE_MODEL = os.path.join(REPO, "sim", "models", "sample.json")

MIB_FILE = "/usr/lpp/tarnfs/data/TARN-MIB.txt"
QUERY_TOOL = "/usr/lpp/tarnfs/bin/tncfgdump"
DAEMON_SOCKET = "/var/tarnfs/tnperf/tnperfSocket"
AGENTX_SOCKET = "/var/agentx/master"
COMMUNITY = "public"
AGENT_HOST = "127.0.0.1"
VERSION_OID = "TARN-MIB::tarnSubagentVersion.0"

SNMP_MIB_OPTS = ["-M", BASE_MIBS + ":" + MIB_DIR, "-m", "SNMPv2-MIB:TARN-MIB"]
# Set by the test command, which builds the Debian package: then a missing package fails.
DEB_DIR = os.environ.get("TN_DEB_DIR")


def package_path():
    """The built package; the test is skipped when nothing asked for it and it is missing."""
    found = glob.glob(os.path.join(DEB_DIR or os.path.join(REPO, "build-deb"), "tnmibd_*.deb"))
    if not found and not DEB_DIR:
        pytest.skip("package not built (packaging/build-deb.sh)")
    assert len(found) == 1, "no package in %s: packaging/build-deb.sh failed" % DEB_DIR
    return found[0]



def in_sandbox():  # the fixed paths are tests/sandbox.sh's private mounts
    with open("/proc/self/mounts") as mounts:
        points = [line.split()[1] for line in mounts]
    return "/var/tarnfs" in points and "/usr/lpp/tarnfs" in points


def snmp_env(workdir):
    return dict(os.environ, SNMPCONFPATH=str(workdir), MIBDIRS=BASE_MIBS + ":" + MIB_DIR,
                MIBS="SNMPv2-MIB:TARN-MIB")


def wait_for(condition, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    pytest.fail("timed out after %.1f s waiting for %s" % (timeout, what))


def port_open(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


class Process:
    def __init__(self, name, argv, workdir, env=None):
        self.name, self.argv = name, argv
        self.stderr_path = os.path.join(str(workdir), name + ".err")
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdout=err, stderr=err, env=env,
                                         stdin=subprocess.DEVNULL, cwd=str(workdir))
        self.pid = self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def stderr(self):
        return pathlib.Path(self.stderr_path).read_text(errors="replace")

    def wait_exit(self, timeout=10):
        return self.proc.wait(timeout=timeout)

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Sends sig, kills after timeout; returns the exit status."""
        if self.running():
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        return self.proc.wait()


class Launcher:
    def __init__(self, workdir):
        self.workdir, self.started = workdir, []

    def start(self, name, argv, env=None):
        self.started.append(Process(name, argv, self.workdir, env=env))
        return self.started[-1]

    def stop_all(self):
        for p in reversed(self.started):
            p.stop(signal.SIGKILL if p.name.startswith("snmptrapd") else signal.SIGTERM, 5)


@pytest.fixture(scope="session", autouse=True)
def sandbox_only():
    if not in_sandbox():
        pytest.exit("system tests must run inside tests/sandbox.sh", returncode=2)


@pytest.fixture
def launcher(tmp_path):
    lau = Launcher(tmp_path)
    yield lau
    lau.stop_all()
    subprocess.run(["find", "/var/tarnfs", "/usr/lpp/tarnfs", "/var/agentx", "-mindepth", "1",
                    "-delete"], check=True)
    for sub in ("/var/tarnfs/tnperf", "/usr/lpp/tarnfs/bin", "/usr/lpp/tarnfs/data"):
        os.makedirs(sub)


@pytest.fixture
def installed(launcher):
    shutil.copy(os.path.join(MIB_DIR, "TARN-MIB.txt"), MIB_FILE)
    shutil.copy(TNCFGDUMP, QUERY_TOOL)


class Snmp:
    def __init__(self, workdir, auth=("-v2c", "-c", COMMUNITY)):
        self.env, self.auth = snmp_env(workdir), list(auth)

    def run(self, tool, *args, timeout=60):
        return subprocess.run([tool] + self.auth + SNMP_MIB_OPTS + list(args),
                              capture_output=True, text=True, env=self.env, timeout=timeout)

    def get(self, *oids, opts=()):
        return self.run("snmpget", *opts, AGENT_HOST, *oids)

    def walk(self, oid, opts=()):
        return self.run("snmpwalk", *opts, AGENT_HOST, oid)

    def bulkwalk(self, oid, opts=()):
        return self.run("snmpbulkwalk", *opts, AGENT_HOST, oid)

    def translate(self, *args):
        return subprocess.run(["snmptranslate"] + SNMP_MIB_OPTS + list(args),
                              capture_output=True, text=True, env=self.env)

    def serves(self):
        r = self.get("-Ov", VERSION_OID)
        return r.returncode == 0 and r.stdout.strip() == "Gauge32: 1"


@pytest.fixture
def snmp(tmp_path):
    return Snmp(tmp_path)


def start_snmpd(launcher, tmp_path, first_lines=("master agentx",
                                                 "agentXSocket tcp:localhost:705")):
    """The master agent: AgentX as first_lines say, SNMP on UDP 161, traps to UDP 162."""
    conf, log = tmp_path / "snmpd.conf", tmp_path / "snmpd.log"
    conf.write_text("\n".join(first_lines) + "\nagentaddress udp:127.0.0.1:161\n"
                    "rocommunity public 127.0.0.1\ntrap2sink 127.0.0.1:162 public\n")
    proc = launcher.start("snmpd", ["snmpd", "-f", "-C", "-c", str(conf), "-Lf", str(log)],
                          env=snmp_env(tmp_path))
    wait_for(lambda: port_open(705) or os.path.exists(AGENTX_SOCKET) or not proc.running(), 10,
             "snmpd's AgentX socket")
    assert proc.running(), "snmpd exited: " + log.read_text()
    return proc


@pytest.fixture
def snmpd(launcher, tmp_path):
    return start_snmpd(launcher, tmp_path)


@pytest.fixture
def trapd(launcher, tmp_path):
    from trapkit import TimedTrapd  # which imports this module
    return TimedTrapd(launcher, tmp_path)


class Simulator:  # the daemon stand-in's control command
    def ctl(self, *args):
        result = subprocess.run([TARNSIM, "ctl"] + [str(a) for a in args],
                                capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, "tarnsim ctl %s: %s" % (args, result.stderr)
        return result.stdout

    def model(self):
        return json.loads(self.ctl("model"))

    def log(self):
        return self.ctl("log").split("\n")[:-1]

    def stat(self, name):
        return dict(l.split(" ", 1) for l in self.ctl("stats").splitlines())[name]


def start_simulator(launcher, tmp_path, model=SAMPLE_MODEL):
    proc = launcher.start("tarnsim", [TARNSIM, "--model", str(model)])
    wait_for(lambda: os.path.exists(DAEMON_SOCKET) or not proc.running(), 10,
             "the simulator's socket")
    assert proc.running(), "tarnsim exited: " + proc.stderr()
    return Simulator()


@pytest.fixture
def sim(launcher, tmp_path, installed):
    return start_simulator(launcher, tmp_path)


def agent_env(workdir):
    """TARN-MIB only from its installed path."""
    return dict(snmp_env(workdir), MIBDIRS=BASE_MIBS, MIBS="SNMPv2-MIB")


def start_agent(launcher, tmp_path, args=(), wait=True, env_extra=None):
    """Starts tnmibd; with wait, returns once the master answers its scalar."""
    proc = launcher.start("tnmibd", [AGENT] + list(args),
                          env=dict(agent_env(tmp_path), **(env_extra or {})))
    if wait:
        served(proc, Snmp(tmp_path))
    return proc


def served(agent, snmp, timeout=30):
    def registered():
        assert agent.running(), "tnmibd exited %s: %s" % (agent.proc.poll(), agent.stderr())
        return snmp.serves()
    wait_for(registered, timeout, "the agent's registration with the master", interval=0.2)


def event_connected(sim, timeout=10):
    wait_for(lambda: int(sim.stat("event_connections")) >= 1, timeout,
             "the agent's event connection")


@pytest.fixture
def agent(launcher, tmp_path, snmpd, sim):
    """The agent serving the sample cluster, its event connection made."""
    proc = start_agent(launcher, tmp_path)
    event_connected(sim)
    return proc
