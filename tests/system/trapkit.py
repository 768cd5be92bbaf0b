"""Helpers for the trap tests and the trap benchmark: the trap receiver with
a sized socket buffer and a timed output pipe, the names of TARN-MIB objects
as numeric identifiers, a manager walking the tables in a loop, the kernel's
UDP drop counters, and a relay in front of the simulator's daemon socket that
can put raw lines on the agent's event connection."""

import os
import socket
import statistics
import subprocess
import threading
import time

from conftest import (AGENT_HOST, COMMUNITY, DAEMON_SOCKET, SNMP_MIB_OPTS, TrapReceiver,
                      snmp_env, wait_for)

TRAP_OID = ".1.3.6.1.6.3.1.1.4.1.0"
UPTIME_OID = ".1.3.6.1.2.1.1.3.0"
TARN_ROOT = ".1.3.6.1.4.1.32473"
# The receive buffer asked for: the host's limit (net.core.rmem_max) caps it.
TRAPD_RCVBUF = 4 * 1024 * 1024


class OidNames:
    """Numeric identifiers of MIB names, looked up once with snmptranslate."""

    def __init__(self, workdir):
        self.env = snmp_env(workdir)
        self.cache = {}

    def __call__(self, name):
        if "::" not in name:
            name = "TARN-MIB::" + name
        if name not in self.cache:
            r = subprocess.run(["snmptranslate", "-On"] + SNMP_MIB_OPTS + [name],
                               capture_output=True, text=True, env=self.env)
            assert r.returncode == 0 and r.stdout.startswith("."), r.stderr
            self.cache[name] = r.stdout.strip()
        return self.cache[name]


def trap_body(trap):
    """A received trap without its sysUpTime: (trap identifier, bindings)."""
    rest = [b for b in trap if b[0] != UPTIME_OID]
    assert rest and rest[0][0] == TRAP_OID, "first binding is not snmpTrapOID.0: %r" % (trap,)
    return rest[0][2], rest[1:]


class TimedTrapd:
    """snmptrapd with a large receive buffer, writing one line per trap to a
    pipe that a thread reads, stamping each line with its arrival time."""

    def __init__(self, launcher, tmp_path, rcvbuf=TRAPD_RCVBUF, name="traps"):
        """rcvbuf None leaves the system's default receive buffer."""
        conf = tmp_path / (name + ".conf")
        sized = "[snmp] serverRecvBuf %d\n" % rcvbuf if rcvbuf else ""
        conf.write_text("disableAuthorization yes\n" + sized)
        self.fifo = str(tmp_path / (name + ".fifo"))
        os.mkfifo(self.fifo)
        self.arrivals = []  # (time.time(), line)
        self.lock = threading.Lock()
        self.proc = launcher.start("snmptrapd-" + name, [
            "snmptrapd", "-f", "-C", "-c", str(conf), "-On", "-Lf", self.fifo, "-F",
            "TRAP\t%V\t%v\n", "udp:127.0.0.1:162"], env=snmp_env(tmp_path))
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        wait_for(lambda: self.port_bound() or not self.proc.running(), 10, "snmptrapd start")
        assert self.proc.running(), "snmptrapd exited: " + self.proc.stderr()

    def _read(self):
        with open(self.fifo, "r", errors="replace") as f:
            for line in f:
                # Only ours: the master sends its own (coldStart) to the same receiver.
                if line.startswith("TRAP\t") and "OID: " + TARN_ROOT + "." in line:
                    stamp = time.time()
                    with self.lock:
                        self.arrivals.append((stamp, line.rstrip("\n")))

    @staticmethod
    def port_bound():
        return udp_socket_stats(162) is not None

    def count(self):
        with self.lock:
            return len(self.arrivals)

    def wait_count(self, n, timeout):
        wait_for(lambda: self.count() >= n, timeout, "%d traps (have %d)" % (n, self.count()),
                 interval=0.05)

    def traps(self):
        """(arrival time, [(oid, type, value)...]) in arrival order."""
        with self.lock:
            arrivals = list(self.arrivals)
        parsed = _ParsedLines([line for _, line in arrivals]).traps()
        return [(stamp, trap) for (stamp, _), trap in zip(arrivals, parsed)]


class _ParsedLines(TrapReceiver):
    """The fixture receiver's parsing, applied to lines already read."""

    def __init__(self, lines):
        self._lines = lines

    def lines(self):
        return self._lines


def udp_socket_stats(port):
    """(receive queue bytes, drops) of the UDP socket bound to the port, or None."""
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                return int(fields[4].split(":")[1], 16), int(fields[12])
    return None


def udp_receive_errors():
    """The network namespace's count of datagrams dropped for a full buffer."""
    with open("/proc/net/snmp") as f:
        rows = [l.split() for l in f if l.startswith("Udp:")]
    header, values = rows[0], rows[1]
    return int(values[header.index("RcvbufErrors")])


def event_connected(sim, timeout=10):
    """Waits until the agent's event connection is open at the simulator."""
    def connected():
        for line in sim.ctl("stats").splitlines():
            name, _, value = line.partition(" ")
            if name == "event_connections":
                return int(value) >= 1
        return False
    wait_for(connected, timeout, "the agent's event connection")


class Walker:
    """A manager walking a subtree in a loop on a thread, timing each walk."""

    def __init__(self, workdir, oid=TARN_ROOT):
        self.env = snmp_env(workdir)
        self.oid = oid
        self.times = []
        self.failures = []
        self.stop_flag = threading.Event()
        self.thread = None

    def walk_once(self):
        start = time.monotonic()
        r = subprocess.run(["snmpbulkwalk", "-v2c", "-c", COMMUNITY, "-On", "-t", "5", "-r", "0",
                            AGENT_HOST, self.oid], capture_output=True, text=True, env=self.env,
                           timeout=120)
        elapsed = time.monotonic() - start
        lines = r.stdout.count("\n")
        if r.returncode != 0 or "Timeout" in r.stderr:
            self.failures.append(r.stderr.strip())
        return elapsed, lines

    def baseline(self, n=5):
        """Median time of n walks with nothing else going on, and their size."""
        runs = [self.walk_once() for _ in range(n)]
        return statistics.median(t for t, _ in runs), runs[-1][1]

    def _loop(self):
        while not self.stop_flag.is_set():
            self.times.append(self.walk_once()[0])

    def start(self):
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def stop(self):
        self.stop_flag.set()
        self.thread.join(timeout=180)


class EventRelay:
    """Listens on the daemon socket and relays each connection to the
    simulator, which listens elsewhere. inject() puts a raw line on every
    relayed connection that has not sent a command: the event connections.
    With max_accepts, the socket goes away after that many connections (the
    daemon unreachable) until reopen()."""

    def __init__(self, target, max_accepts=None):
        self.target = target
        self.max_accepts = max_accepts
        self.lock = threading.Lock()
        self.silent = []  # client sockets that have not sent anything
        self.listener = None
        self.reopen()

    def reopen(self):
        if os.path.exists(DAEMON_SOCKET):
            os.unlink(DAEMON_SOCKET)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(DAEMON_SOCKET)
        self.listener.listen(8)
        threading.Thread(target=self._accept, args=(self.listener, self.max_accepts),
                         daemon=True).start()

    def _accept(self, listener, limit):
        while limit is None or limit > 0:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            if limit is not None:
                limit -= 1
                if limit == 0:
                    # Gone before the last connection is served, so no later
                    # connect can wait in the listen backlog and succeed.
                    listener.close()
                    os.unlink(DAEMON_SOCKET)
            upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            upstream.connect(self.target)
            with self.lock:
                self.silent.append(client)
            threading.Thread(target=self._pump, args=(client, upstream, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, False),
                             daemon=True).start()

    def _pump(self, src, dst, from_client):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if from_client:
                with self.lock:
                    if src in self.silent:
                        self.silent.remove(src)
            if not data:
                for s in (src, dst):
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                return
            with self.lock:  # whole chunks, never inside an injected line
                dst.sendall(data)

    def inject(self, line):
        """Call only while the simulator sends no events, so that the line
        lands between two whole lines."""
        with self.lock:
            for client in self.silent:
                client.sendall(line.encode() + b"\n")
            return len(self.silent)

    def close(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        self.listener.close()
