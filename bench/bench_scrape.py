"""Benchmark of a Prometheus scrape of the agent: Debian's SNMP exporter with
the module packaging/prometheus/snmp.yml, scraping through the real snmpd
master, on the table tests' model and on a generated cluster. For each it
prints the wall time of scrapes made while the data is fresh and of one made
after the 20-second window (which pays for the daemon polls), the number of
series and the exposition's size.

Usage: tests/sandbox.sh /usr/bin/python3 bench/bench_scrape.py [--build DIR]
       [--large N,F,P,D] [--rounds R] [--agentx-timeout S]

--agentx-timeout raises the master's AgentX timeout (1 s by default): a
request that finds a level stale waits for the daemon polls, and at the large
size those can outlast the default, which makes the master drop the agent.
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
URL = "http://127.0.0.1:9116/snmp?module=tarn&target=127.0.0.1"


def scrape():
    started = time.monotonic()
    with urllib.request.urlopen(URL, timeout=600) as answer:
        text = answer.read().decode()
    seconds = time.monotonic() - started
    series = sum(1 for line in text.splitlines() if line.startswith("tarn"))
    if series == 0:
        print("scrape without series:\n" + text[:1000])
    return seconds, series, len(text)


def measure(b, label, model, rounds):
    start_cluster(b, model, baseline=False)
    ready = time.monotonic()
    fresh = [scrape() for _ in range(rounds)]
    time.sleep(max(0.0, 21 - (time.monotonic() - ready)))  # let every level go stale
    stale = scrape()
    times = sorted(s for s, _, _ in fresh)
    print("%-16s series %s, %8d bytes; fresh scrape min %.3f s, median %.3f s; "
          "after the window %.3f s (%d series)" % (
              label, "/".join(str(s) for _, s, _ in fresh), fresh[-1][2], times[0],
              times[len(times) // 2], stale[0], stale[1]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(REPO, "build"), type=os.path.abspath)
    parser.add_argument("--large", default="1024,16,4,64")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--agentx-timeout", type=int, default=None)
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
            start_master(b, args.agentx_timeout)
            b.start("exporter", ["prometheus-snmp-exporter", "--config.file=" + MODULE,
                                 "--web.listen-address=127.0.0.1:9116"])
            small = tables_model.write_model(os.path.join(work, "model.json"))
            measure(b, "test model", small, args.rounds)
            large = os.path.join(work, "large.json")
            with open(large, "w") as f:
                subprocess.run([os.path.join(args.build, "sim", "tarnsim"), "generate",
                                args.large], stdout=f, check=True)
            measure(b, args.large, large, args.rounds)
        finally:
            for name in list(b.procs):
                b.stop(name)


if __name__ == "__main__":
    main()
