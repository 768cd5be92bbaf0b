"""Benchmark of a Prometheus scrape of the agent: Debian's SNMP exporter with
the modules of packaging/prometheus/snmp.yml, scraping through the real snmpd
master with the AgentX socket, timeout and retries the package ships (its
UNIX socket, 10 s, 1 retry), on a generated cluster (and, with --small, on
the table tests' model). For each module it prints the slowest and median of R scrapes made while the data is
fresh, the same of R scrapes each made just after the 20-second window (which
pay for the daemon polls), the number of series and the exposition's size.

Usage: tests/sandbox.sh /usr/bin/python3 bench/bench_scrape.py [--build DIR]
       [--large N,F,P,D] [--rounds R] [--modules tarn,tarn_full] [--small]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "system"))
import tables_model  # noqa: E402
from bench_tables import Bench, start_cluster, start_master  # noqa: E402

MODULE = os.path.join(REPO, "packaging", "prometheus", "snmp.yml")
URL = "http://127.0.0.1:9116/snmp?module=%s&target=127.0.0.1"


def scrape(module):
    started = time.monotonic()
    with urllib.request.urlopen(URL % module, timeout=600) as answer:
        text = answer.read().decode()
    seconds = time.monotonic() - started
    series = sum(1 for line in text.splitlines() if line.startswith("tarn"))
    if series == 0:
        print("scrape without series:\n" + text[:1000])
    return seconds, series, len(text)


def stale_scrape(module):
    time.sleep(21)  # every level goes stale
    return scrape(module)


def line(label, module, kind, scrapes):
    times = sorted(s for s, _, _ in scrapes)
    print("%-14s %-9s %-6s slowest %6.3f s, median %6.3f s of %d; series %s, %d bytes" % (
        label, module, kind, times[-1], times[len(times) // 2], len(times),
        "/".join(sorted({str(n) for _, n, _ in scrapes})), scrapes[-1][2]), flush=True)


def measure(b, label, model, modules, rounds):
    start_cluster(b, model, baseline=False)
    for module in modules:
        line(label, module, "fresh", [scrape(module) for _ in range(rounds)])
        line(label, module, "stale", [stale_scrape(module) for _ in range(rounds)])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(REPO, "build"), type=os.path.abspath)
    parser.add_argument("--large", default="1024,16,4,64")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--modules", default="tarn")
    parser.add_argument("--small", action="store_true")
    args = parser.parse_args()
    for d in ("/var/tarnfs/tnperf", "/usr/lpp/tarnfs/bin", "/usr/lpp/tarnfs/data"):
        os.makedirs(d, exist_ok=True)
    subprocess.run(["cp", os.path.join(REPO, "mibs", "TARN-MIB.txt"), "/usr/lpp/tarnfs/data/"],
                   check=True)
    subprocess.run(["install", "-m", "755", os.path.join(args.build, "sim", "tncfgdump"),
                    "/usr/lpp/tarnfs/bin/"], check=True)
    with tempfile.TemporaryDirectory() as work:
        b = Bench(args.build, work)
        try:
            # As packaged: the master's UNIX socket, its AgentX timeout and retries.
            with open(os.path.join(work, "tarnMgmt.conf"), "w") as f:
                f.write("agentXSocket /var/agentx/master\n")
            start_master(b, timeout=10, retries=1, socket="unix:/var/agentx/master")
            b.start("exporter", ["prometheus-snmp-exporter", "--config.file=" + MODULE,
                                 "--web.listen-address=127.0.0.1:9116"])
            modules = args.modules.split(",")
            if args.small:
                small = tables_model.write_model(os.path.join(work, "model.json"))
                measure(b, "test model", small, modules, args.rounds)
            large = os.path.join(work, "large.json")
            with open(large, "w") as f:
                subprocess.run([os.path.join(args.build, "sim", "tarnsim"), "generate",
                                args.large], stdout=f, check=True)
            measure(b, args.large, large, modules, args.rounds)
        finally:
            for name in list(b.procs):
                b.stop(name)


if __name__ == "__main__":
    main()
