"""Fixtures for the end-to-end tests: the real Net-SNMP master agent, the real
trap receiver, the daemon simulator and the agent, all inside tests/sandbox.sh
(private loopback, empty tmpfs at the fixed paths). Every process a test starts
is stopped when it ends, pass or fail, and the fixed paths are emptied."""

import json
import os
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
COMMUNITY = "public"
AGENT_HOST = "127.0.0.1"
VERSION_OID = "TARN-MIB::tarnSubagentVersion.0"

# Options that make every Net-SNMP tool read our MIBs and no host config.
SNMP_MIB_OPTS = ["-M", BASE_MIBS + ":" + MIB_DIR, "-m", "SNMPv2-MIB:TARN-MIB"]


def in_sandbox():
    """True inside tests/sandbox.sh: the fixed paths are private tmpfs mounts."""
    with open("/proc/self/mounts") as mounts:
        points = [line.split()[1] for line in mounts]
    return "/var/tarnfs" in points and "/usr/lpp/tarnfs" in points


def snmp_env(workdir):
    """Environment for Net-SNMP programs: our MIB path, no host snmp.conf."""
    return dict(os.environ, SNMPCONFPATH=str(workdir), MIBDIRS=BASE_MIBS + ":" + MIB_DIR,
                MIBS="SNMPv2-MIB:TARN-MIB")


def wait_for(condition, timeout, what, interval=0.05):
    """Polls condition() until it is true; fails the test after timeout seconds."""
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
    """One started program, its output in files of the test's directory."""

    def __init__(self, name, argv, workdir, env=None):
        self.name, self.argv = name, argv
        self.stderr_path = os.path.join(str(workdir), name + ".err")
        with open(os.path.join(str(workdir), name + ".out"), "wb") as out, \
                open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env,
                                         stdin=subprocess.DEVNULL, cwd=str(workdir))
        self.pid = self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def stderr(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail("%s did not exit within %s s" % (self.name, timeout))

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Sends sig and waits; kills after timeout. Returns the exit status."""
        if self.running():
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


class Launcher:
    """Starts processes for one test and stops all of them at its end."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.started = []

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
    for top in ("/var/tarnfs", "/usr/lpp/tarnfs"):
        for entry in os.listdir(top):
            path = os.path.join(top, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
    for sub in ("/var/tarnfs/tnperf", "/usr/lpp/tarnfs/bin", "/usr/lpp/tarnfs/data"):
        os.makedirs(sub)


@pytest.fixture
def installed(launcher):
    """The MIB file and the configuration query tool at their fixed paths."""
    shutil.copy(os.path.join(MIB_DIR, "TARN-MIB.txt"), MIB_FILE)
    if os.path.exists(TNCFGDUMP):
        shutil.copy(TNCFGDUMP, QUERY_TOOL)


class Snmp:
    """The managers, with our MIBs and the master's address."""

    def __init__(self, workdir):
        self.env = snmp_env(workdir)

    def run(self, tool, *args, timeout=60):
        argv = [tool, "-v2c", "-c", COMMUNITY] + SNMP_MIB_OPTS + list(args)
        return subprocess.run(argv, capture_output=True, text=True, env=self.env,
                              timeout=timeout)

    def get(self, *oids, opts=()):
        return self.run("snmpget", *opts, AGENT_HOST, *oids)

    def walk(self, oid, opts=()):
        return self.run("snmpwalk", *opts, AGENT_HOST, oid)

    def bulkwalk(self, oid, opts=()):
        return self.run("snmpbulkwalk", *opts, AGENT_HOST, oid)

    def set(self, *args, opts=()):
        return self.run("snmpset", *opts, AGENT_HOST, *args)

    def translate(self, *args):
        return subprocess.run(["snmptranslate"] + SNMP_MIB_OPTS + list(args),
                              capture_output=True, text=True, env=self.env)

    def serves(self):
        """True once the master answers the agent's version scalar."""
        r = self.get("-Ov", VERSION_OID)
        return r.returncode == 0 and r.stdout.strip() == "Gauge32: 1"


@pytest.fixture
def snmp(tmp_path):
    return Snmp(tmp_path)


def start_snmpd(launcher, tmp_path, first_lines=("master agentx", "agentXSocket tcp:localhost:705"),
                name="snmpd"):
    """The master agent: AgentX as first_lines say, SNMP on UDP 161, traps to UDP 162."""
    conf = tmp_path / (name + ".conf")
    conf.write_text("\n".join(first_lines) + "\nagentaddress udp:127.0.0.1:161\n"
                    "rocommunity public 127.0.0.1\ntrap2sink 127.0.0.1:162 public\n")
    proc = launcher.start(name, ["snmpd", "-f", "-C", "-c", str(conf), "-Lf",
                                 str(tmp_path / (name + ".log")), "-p",
                                 str(tmp_path / (name + ".pid"))], env=snmp_env(tmp_path))
    wait_for(lambda: port_open(705) or not proc.running(), 10, "snmpd's AgentX port")
    assert proc.running(), "snmpd exited: " + (tmp_path / (name + ".log")).read_text()
    return proc


@pytest.fixture
def snmpd(launcher, tmp_path):
    return start_snmpd(launcher, tmp_path)


@pytest.fixture
def trapd(launcher, tmp_path):
    """The real snmptrapd; its traps() are (arrival time, [(oid, type, value)])."""
    from trapkit import TimedTrapd
    return TimedTrapd(launcher, tmp_path)


class Simulator:
    """The daemon stand-in with its control command."""

    def __init__(self, proc):
        self.proc = proc

    def ctl(self, *args):
        result = subprocess.run([TARNSIM, "ctl"] + [str(a) for a in args],
                                capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, "tarnsim ctl %s: %s" % (args, result.stderr)
        return result.stdout

    def model(self):
        return json.loads(self.ctl("model"))

    def log(self):
        return [l for l in self.ctl("log").splitlines() if l]

    def stat(self, name):
        return dict(l.split(" ", 1) for l in self.ctl("stats").splitlines())[name]


def start_simulator(launcher, tmp_path, model=SAMPLE_MODEL, extra=()):
    proc = launcher.start("tarnsim", [TARNSIM, "--model", str(model)] + list(extra))
    socket_path = extra[1] if list(extra[:1]) == ["--socket"] else DAEMON_SOCKET
    wait_for(lambda: os.path.exists(socket_path) or not proc.running(), 10,
             "the simulator's socket")
    assert proc.running(), "tarnsim exited: " + proc.stderr()
    return Simulator(proc)


@pytest.fixture
def sim(launcher, tmp_path, installed):
    """The simulator serving the sample cluster."""
    return start_simulator(launcher, tmp_path)


def agent_env(workdir):
    """The agent reads TARN-MIB from its installed path only."""
    return dict(snmp_env(workdir), MIBDIRS=BASE_MIBS, MIBS="SNMPv2-MIB")


def start_agent(launcher, tmp_path, args=(), wait=True, env_extra=None):
    """Starts tnmibd; with wait, returns once the master answers its scalar."""
    proc = launcher.start("tnmibd", [AGENT] + list(args),
                          env=dict(agent_env(tmp_path), **(env_extra or {})))
    if wait:
        snmp = Snmp(tmp_path)

        def registered():
            assert proc.running(), "tnmibd exited %s: %s" % (proc.proc.returncode, proc.stderr())
            return snmp.serves()
        wait_for(registered, 30, "the agent's registration with the master", interval=0.2)
    return proc


def event_connected(sim, timeout=10):
    """Waits until the agent's event connection is open at the simulator."""
    wait_for(lambda: int(sim.stat("event_connections")) >= 1, timeout,
             "the agent's event connection")


@pytest.fixture
def agent(launcher, tmp_path, snmpd, sim):
    """The agent serving the sample cluster, its event connection open."""
    proc = start_agent(launcher, tmp_path)
    event_connected(sim)
    return proc
