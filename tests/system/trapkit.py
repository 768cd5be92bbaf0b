"""Helpers of the trap tests and the trap benchmark."""

import functools
import os
import re
import statistics
import subprocess
import threading
import time

from conftest import event_connected  # noqa: F401  (the benchmark takes it from here)
from conftest import AGENT_HOST, COMMUNITY, Snmp, snmp_env, wait_for
from tables_snmp import TARN_ROOT, object_oids, oid_text

TRAP_OID = ".1.3.6.1.6.3.1.1.4.1.0"
UPTIME_OID = ".1.3.6.1.2.1.1.3.0"


@functools.lru_cache(maxsize=None)
def oid_of(name):
    return oid_text(object_oids(Snmp("/nonexistent"), [name])[name])


def parse_trap(line):
    """A receiver line "TRAP<tab>OID = TYPE: VALUE<tab>..." as (oid, type, value) tuples."""
    return re.findall(r"\t(\S+) = ([^:\t]+): ([^\t]*)", line)


def trap_body(trap):
    """A received trap without its sysUpTime: (trap identifier, bindings)."""
    rest = [b for b in trap if b[0] != UPTIME_OID]
    assert rest and rest[0][0] == TRAP_OID, "first binding is not snmpTrapOID.0: %r" % (trap,)
    return rest[0][2], rest[1:]


class TimedTrapd:
    """snmptrapd with a 4 MiB receive buffer (None: the default), read through a pipe."""

    def __init__(self, launcher, tmp_path, rcvbuf=4 << 20, name="traps"):
        conf = tmp_path / (name + ".conf")
        conf.write_text("disableAuthorization yes\n" +
                        ("[snmp] serverRecvBuf %d\n" % rcvbuf if rcvbuf else ""))
        fifo = str(tmp_path / (name + ".fifo"))
        os.mkfifo(fifo)
        self.arrivals = []  # (time.time(), [(oid, type, value)...])
        self.proc = launcher.start("snmptrapd-" + name, [
            "snmptrapd", "-f", "-C", "-c", str(conf), "-On", "-Lf", fifo, "-F",
            "TRAP\t%V\t%v\n", "udp:127.0.0.1:162"], env=snmp_env(tmp_path))
        threading.Thread(target=self._read, args=(fifo,), daemon=True).start()
        wait_for(lambda: ":00A2 " in open("/proc/net/udp").read() or not self.proc.running(),
                 10, "snmptrapd start")
        assert self.proc.running(), "snmptrapd exited: " + self.proc.stderr()

    def _read(self, fifo):
        with open(fifo, errors="replace") as f:
            for line in f:
                # Only ours: the master sends its own (coldStart) to the same receiver.
                if line.startswith("TRAP\t") and "OID: " + TARN_ROOT + "." in line:
                    self.arrivals.append((time.time(), parse_trap(line.rstrip("\n"))))

    def count(self):
        return len(self.arrivals)

    def wait_count(self, n, timeout=30):
        wait_for(lambda: self.count() >= n, timeout, "%d traps (have %d)" % (n, self.count()))

    def traps(self):
        return list(self.arrivals)

    def values(self, notification, position):
        """One binding's value in every trap received, all of the notification named."""
        bodies = [trap_body(trap) for _, trap in self.traps()]
        assert {oid for oid, _ in bodies} <= {oid_of(notification)}, bodies
        return [bindings[position][2] for _, bindings in bodies]


def udp_receive_errors():  # datagrams dropped for a full buffer
    with open("/proc/net/snmp") as f:
        header, values = [l.split() for l in f if l.startswith("Udp:")]
    return int(values[header.index("RcvbufErrors")])


class Walker:
    """A manager walking a subtree in a loop on a thread, timing each walk."""

    def __init__(self, workdir, oid=TARN_ROOT):
        self.env = snmp_env(workdir)
        self.oid = oid
        self.times, self.failures = [], []
        self.stop_flag = threading.Event()

    def walk_once(self):
        start = time.monotonic()
        r = subprocess.run(["snmpbulkwalk", "-v2c", "-c", COMMUNITY, "-On", "-t", "5", "-r", "0",
                            AGENT_HOST, self.oid], capture_output=True, text=True, env=self.env,
                           timeout=120)
        if r.returncode != 0 or "Timeout" in r.stderr:
            self.failures.append(r.stderr.strip())
        return time.monotonic() - start, r.stdout.count("\n")

    def baseline(self, n=5):
        runs = [self.walk_once() for _ in range(n)]
        return statistics.median(t for t, _ in runs), runs[-1][1]

    def _loop(self):
        while not self.stop_flag.is_set():
            self.times.append(self.walk_once()[0])

    def start(self):
        self.stop_flag.clear()
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def stop(self):
        self.stop_flag.set()
        self.thread.join(timeout=180)

    def not_held_up(self, alone):
        """A stalled connection makes every walk take seconds, a busy machine only some."""
        assert self.failures == [] and self.times, self.failures[:3]
        during = statistics.median(self.times)
        assert during < max(3 * alone, alone + 0.5), (alone, self.times)
