"""Fixtures for the end-to-end tests: the real Net-SNMP master agent, the real
trap receiver, the daemon simulator and the agent, all inside the sandbox
(tests/sandbox.sh gives the run its own loopback and empty tmpfs at the fixed
paths). Every process a test starts is stopped when the test ends, pass or
fail, and the fixed paths are emptied for the next test.
"""

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

# Options that make every Net-SNMP tool read our MIBs and no host config.
SNMP_MIB_OPTS = ["-M", BASE_MIBS + ":" + MIB_DIR, "-m", "SNMPv2-MIB:TARN-MIB"]


def in_sandbox():
    """True inside tests/sandbox.sh: the fixed paths are private tmpfs mounts."""
    try:
        with open("/proc/self/mounts") as mounts:
            points = [line.split()[1] for line in mounts]
    except OSError:
        return False
    return "/var/tarnfs" in points and "/usr/lpp/tarnfs" in points


def snmp_env(workdir):
    """Environment for Net-SNMP programs: our MIB path, no host snmp.conf."""
    env = dict(os.environ)
    env["SNMPCONFPATH"] = str(workdir)
    env["MIBDIRS"] = BASE_MIBS + ":" + MIB_DIR
    env["MIBS"] = "SNMPv2-MIB:TARN-MIB"
    return env


def wait_for(condition, timeout, what, interval=0.05):
    """Polls condition() until it is true; fails the test after timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    pytest.fail("timed out after %.1f s waiting for %s" % (timeout, what))


def port_open(port, kind=socket.SOCK_STREAM):
    if kind != socket.SOCK_STREAM:
        return False
    with socket.socket(socket.AF_INET, kind) as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


class Process:
    """One started program: its output files, stop and exit helpers."""

    def __init__(self, name, argv, workdir, env=None, stdin=None):
        self.name = name
        self.argv = argv
        self.stdout_path = os.path.join(str(workdir), name + ".out")
        self.stderr_path = os.path.join(str(workdir), name + ".err")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env,
                                         stdin=stdin or subprocess.DEVNULL,
                                         cwd=str(workdir))

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def stdout(self):
        with open(self.stdout_path, errors="replace") as f:
            return f.read()

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

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0


class Launcher:
    """Starts processes for one test and stops all of them at its end."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.started = []

    def start(self, name, argv, env=None):
        p = Process(name, argv, self.workdir, env=env)
        self.started.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.started):
            p.stop(signal.SIGKILL if p.name == "snmptrapd" else signal.SIGTERM, timeout=5)


@pytest.fixture(scope="session", autouse=True)
def sandbox_only():
    if not in_sandbox():
        pytest.exit("system tests must run inside tests/sandbox.sh", returncode=2)


@pytest.fixture
def launcher(tmp_path):
    lau = Launcher(tmp_path)
    yield lau
    lau.stop_all()
    # Leave the fixed paths as empty as the next test expects them.
    for top in ("/var/tarnfs", "/usr/lpp/tarnfs"):
        for entry in os.listdir(top):
            path = os.path.join(top, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
    for sub in ("/var/tarnfs/tnperf", "/usr/lpp/tarnfs/bin", "/usr/lpp/tarnfs/data"):
        os.makedirs(sub, exist_ok=True)


@pytest.fixture
def installed(launcher):
    """The MIB file and the configuration query tool at their fixed paths."""
    shutil.copy(os.path.join(MIB_DIR, "TARN-MIB.txt"), MIB_FILE)
    if os.path.exists(TNCFGDUMP):
        shutil.copy(TNCFGDUMP, QUERY_TOOL)
        os.chmod(QUERY_TOOL, 0o755)


class Snmp:
    """The managers, with our MIBs and the master's address."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.env = snmp_env(workdir)

    def run(self, tool, *args, timeout=60, check=False):
        argv = [tool, "-v2c", "-c", COMMUNITY] + SNMP_MIB_OPTS + list(args)
        result = subprocess.run(argv, capture_output=True, text=True, env=self.env,
                                timeout=timeout)
        if check and result.returncode != 0:
            pytest.fail("%s failed (%d): %s" % (" ".join(argv), result.returncode, result.stderr))
        return result

    def get(self, *oids, opts=()):
        return self.run("snmpget", *opts, AGENT_HOST, *oids)

    def walk(self, oid, opts=()):
        return self.run("snmpwalk", *opts, AGENT_HOST, oid)

    def bulkwalk(self, oid, opts=()):
        return self.run("snmpbulkwalk", *opts, AGENT_HOST, oid)

    def set(self, *args, opts=()):
        return self.run("snmpset", *opts, AGENT_HOST, *args)

    def table(self, oid, opts=()):
        return self.run("snmptable", *opts, AGENT_HOST, oid)

    def translate(self, *args):
        argv = ["snmptranslate"] + SNMP_MIB_OPTS + list(args)
        return subprocess.run(argv, capture_output=True, text=True, env=self.env)


@pytest.fixture
def snmp(tmp_path):
    return Snmp(tmp_path)


@pytest.fixture
def snmpd(launcher, tmp_path):
    """The Net-SNMP master agent: AgentX on tcp:localhost:705, SNMP on UDP 161,
    traps forwarded to 127.0.0.1:162."""
    conf = tmp_path / "snmpd.conf"
    conf.write_text("master agentx\n"
                    "agentXSocket tcp:localhost:705\n"
                    "agentaddress udp:127.0.0.1:161\n"
                    "rocommunity public 127.0.0.1\n"
                    "trap2sink 127.0.0.1:162 public\n")
    proc = launcher.start("snmpd", ["snmpd", "-f", "-C", "-c", str(conf), "-Lf",
                                    str(tmp_path / "snmpd.log"), "-p",
                                    str(tmp_path / "snmpd.pid")], env=snmp_env(tmp_path))
    wait_for(lambda: port_open(705) or not proc.running(), 10, "snmpd's AgentX port")
    assert proc.running(), "snmpd exited: " + (tmp_path / "snmpd.log").read_text()
    return proc


class TrapReceiver:
    """snmptrapd writing one line per trap: the binding list, numeric OIDs,
    each binding as OID = TYPE: VALUE, separated by tabs."""

    def __init__(self, proc, log_path):
        self.proc = proc
        self.log_path = log_path

    def lines(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return [l.rstrip("\n") for l in f if l.startswith("TRAP\t")]
        except FileNotFoundError:
            return []

    def traps(self):
        """Each trap as a list of (oid, type, value) tuples, in arrival order."""
        result = []
        for line in self.lines():
            bindings = []
            for field in line.split("\t")[1:]:
                if " = " not in field:
                    continue
                oid, rest = field.split(" = ", 1)
                typ, _, value = rest.partition(": ")
                bindings.append((oid.strip(), typ.strip(), value))
            result.append(bindings)
        return result

    def wait_count(self, n, timeout=30):
        return wait_for(lambda: len(self.lines()) >= n and self.traps(), timeout,
                        "%d traps" % n, interval=0.1)


@pytest.fixture
def trapd(launcher, tmp_path):
    conf = tmp_path / "snmptrapd.conf"
    conf.write_text("disableAuthorization yes\n"
                    "format2 TRAP\\t%V\\t%v\\n\n")
    log = tmp_path / "traps.log"
    proc = launcher.start("snmptrapd", ["snmptrapd", "-f", "-C", "-c", str(conf), "-On",
                                        "-Lf", str(log), "-F", "TRAP\t%V\t%v\n",
                                        "udp:127.0.0.1:162"], env=snmp_env(tmp_path))
    wait_for(lambda: log.exists() or not proc.running(), 10, "snmptrapd start")
    assert proc.running(), "snmptrapd exited: " + proc.stderr()
    return TrapReceiver(proc, str(log))


class Simulator:
    """The daemon stand-in with its control command."""

    def __init__(self, proc, env):
        self.proc = proc
        self.env = env

    def ctl(self, *args, check=True):
        result = subprocess.run([TARNSIM, "ctl"] + [str(a) for a in args],
                                capture_output=True, text=True, env=self.env, timeout=30)
        if check and result.returncode != 0:
            pytest.fail("tarnsim ctl %s failed: %s" % (" ".join(map(str, args)),
                                                        result.stderr))
        return result.stdout

    def model(self):
        return json.loads(self.ctl("model"))

    def log(self):
        return [l for l in self.ctl("log").splitlines() if l]


def start_simulator(launcher, tmp_path, model=SAMPLE_MODEL, extra=()):
    if not os.path.exists(TARNSIM):
        pytest.skip("simulator not built")
    argv = [TARNSIM]
    argv += ["--model", str(model)] if model else []
    argv += list(extra)
    proc = launcher.start("tarnsim", argv)
    wait_for(lambda: os.path.exists(DAEMON_SOCKET) or not proc.running(), 10,
             "the simulator's socket")
    assert proc.running(), "tarnsim exited: " + proc.stderr()
    return Simulator(proc, dict(os.environ))


@pytest.fixture
def sim(launcher, tmp_path, installed):
    """The simulator serving the sample cluster."""
    return start_simulator(launcher, tmp_path)


def agent_env(workdir):
    """The agent reads TARN-MIB from its installed path only; the standard
    modules come from the base MIB directory."""
    env = snmp_env(workdir)
    env["MIBDIRS"] = BASE_MIBS
    env["MIBS"] = "SNMPv2-MIB"
    return env


def start_agent(launcher, tmp_path, args=(), wait=True, env_extra=None):
    """Starts tnmibd; with wait, returns once the master answers its scalar."""
    env = agent_env(tmp_path)
    env.update(env_extra or {})
    proc = launcher.start("tnmibd", [AGENT] + list(args), env=env)
    if wait:
        snmp = Snmp(tmp_path)

        def registered():
            if not proc.running():
                pytest.fail("tnmibd exited with %s: %s" % (proc.proc.returncode, proc.stderr()))
            r = snmp.get("-On", "TARN-MIB::tarnSubagentVersion.0")
            return r.returncode == 0 and "No Such Object" not in r.stdout
        wait_for(registered, 30, "the agent's registration with the master", interval=0.2)
    return proc


@pytest.fixture
def agent(launcher, tmp_path, snmpd, sim):
    """The agent serving the sample cluster through the master."""
    return start_agent(launcher, tmp_path)
