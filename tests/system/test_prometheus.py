"""The exporter module, the alert rules, and the real exporter scraping the agent."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import textwrap
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

import tables_expected as te
import tables_model
from conftest import (AGENT_HOST, BASE_MIBS, MIB_DIR, REPO, TARNSIM, port_open, start_agent,
                      start_simulator, wait_for)

PROM_DIR = os.path.join(REPO, "packaging", "prometheus")
EXPORTER_PORT, PROMETHEUS_PORT = 9116, 9090
COUNTERS = ["tarnDiskReadOps", "tarnDiskWriteOps", "tarnNodeFailureCount", "tarnDiskReadBytes",
            "tarnAgentPollFailures", "tarnAgentEventReceived", "tarnAgentEventTrapsSent"]
GAUGES = ["tarnStgPoolFreeSpace", "tarnDiskLongestReadTime", "tarnAgentEventLastAge",
          "tarnAgentCommandConnection"]


def read(*path):
    return pathlib.Path(*path).read_text()


def run(argv, **kwargs):
    got = subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)
    assert got.returncode == 0, "%s: %s%s" % (" ".join(argv), got.stdout, got.stderr)
    return got.stdout


def pair_halves():
    names = set(re.findall(r"^(tarn\w+[LH]) OBJECT-TYPE", read(MIB_DIR, "TARN-MIB.txt"), re.M))
    return sorted(n for n in names if n[:-1] + ("H" if n[-1] == "L" else "L") in names)


def test_the_checked_in_module_is_generated_from_the_mib_and_the_rules_pass_promtool(tmp_path):
    shutil.copy(os.path.join(PROM_DIR, "generator.yml"), tmp_path)
    run(["prometheus-snmp-generator", "--fail-on-parse-errors", "generate", "-o", "snmp.yml"],
        cwd=tmp_path, env=dict(os.environ, MIBDIRS=BASE_MIBS + ":" + MIB_DIR))
    module = read(PROM_DIR, "snmp.yml")
    assert read(tmp_path, "snmp.yml") == module, "snmp.yml is out of date"
    assert "SUCCESS: 19 rules found" in run(["promtool", "check", "rules", "tarn-alerts.yml"],
                                            cwd=PROM_DIR)
    assert "SUCCESS" in run(["promtool", "test", "rules", "tarn-alerts.test.yml"], cwd=PROM_DIR)
    # The default module has every metric the rules use; the full one has them all.
    default, full = (set(re.findall(r"^  - name: (\w+)", m, re.M))
                     for m in module.split("\ntarn_full:\n"))
    used = set(re.findall(r"\b(tarn[A-Z]\w+)\{", read(PROM_DIR, "tarn-alerts.yml")))  # with a job
    assert len(used) > 10 and used <= default < full, used - default
    # The README's scrape job, with the rules, is a configuration Prometheus accepts.
    config = tmp_path / "prometheus.yml"
    config.write_text("rule_files: [%s]\n%s" % (os.path.join(PROM_DIR, "tarn-alerts.yml"),
                                               readme_scrape_job()))
    assert "SUCCESS" in run(["promtool", "check", "config", str(config)])


def readme_section(title):
    return read(REPO, "README.md").split("\n## " + title + "\n")[1].split("\n## ")[0]


def readme_scrape_job():
    """The scrape job of the README's section on Prometheus, unindented."""
    section = readme_section("Monitoring with Prometheus")
    block = re.search(r"^( *)```\n( *scrape_configs:.*?)^ *```", section, re.M | re.S)
    assert block, "no scrape job in the README"
    return textwrap.dedent(block.group(2))


def start_exporter(launcher, config=os.path.join(PROM_DIR, "snmp.yml")):
    exporter = launcher.start("exporter", [
        "prometheus-snmp-exporter", "--config.file=%s" % config,
        "--web.listen-address=127.0.0.1:%d" % EXPORTER_PORT])
    wait_for(lambda: port_open(EXPORTER_PORT) or not exporter.running(), 10, "the exporter")
    return exporter


def scrape():
    """The samples of the full module's scrape as (name, {label: value}, value), its seconds,
    and each metric's TYPE."""
    started = time.monotonic()
    with urllib.request.urlopen("http://127.0.0.1:%d/snmp?module=tarn_full&target=127.0.0.1"
                                % EXPORTER_PORT, timeout=60) as answer:
        text = answer.read().decode()
    found = [(m.group(1), dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m.group(2) or "")),
              float(m.group(3))) for m in re.finditer(r"^(\w+)(?:\{(.*)\})? (\S+)$", text, re.M)]
    return found, time.monotonic() - started, dict(re.findall(r"^# TYPE (\w+) (\w+)$", text,
                                                                  re.M))


def value_of(found, name, **labels):
    hits = [v for n, l, v in found if n == name and all(l.get(k) == v2 for k, v2 in labels.items())]
    assert len(hits) == 1, (name, labels, hits)
    return hits[0]


def test_the_exporter_scrapes_the_agent_with_names_as_labels(launcher, tmp_path, snmpd,
                                                              installed):
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    start_agent(launcher, tmp_path)
    start_exporter(launcher)
    found, seconds, types = scrape()
    assert seconds < 1.0, "the scrape took %.2f s" % seconds
    # Totals that only grow are counters, sizes gauges.
    assert {m: types[m] for m in COUNTERS + GAUGES} == dict(
        [(m, "counter") for m in COUNTERS] + [(m, "gauge") for m in GAUGES])
    want = te.expected_tables(sim.model())

    # Metrics against the model, by their rows' names (a text is a label, valued 1).
    for metric, table, names in [
            ("tarnDiskReadBytes", "tarnDiskPerfTable", ["FileSystem", "StgPool", "Disk"]),
            ("tarnFileSystemFreeSpace", "tarnFileSystemStatusTable", ["FileSystem"]),
            ("tarnFileSystemStatus", "tarnFileSystemStatusTable", ["FileSystem"]),
            ("tarnStgPoolFreeSpace", "tarnStgPoolTable", ["FileSystem", "StgPool"]),
            ("tarnNodeStatus", "tarnNodeStatusTable", ["Node"])]:
        for index, row in want[table]:
            labels = {"tarn%sName" % n: v for n, v in zip(names, index)}
            text = isinstance(row[metric], str)
            labels.update({metric: row[metric]} if text else {})
            assert value_of(found, metric, **labels) == (1 if text else row[metric]), labels
    assert max(row["tarnDiskReadBytes"] for _, row in want["tarnDiskPerfTable"]) > 2 ** 32
    # Every row is labelled with its names only.
    label_sets = {" ".join(sorted(set(l) - {n})) for n, l, _ in found if n.startswith("tarn") and l}
    assert label_sets == {"tarnNodeName", "tarnFileSystemName", "tarnClusterName",
                          "tarnFileSystemName tarnStgPoolName",
                          "tarnDiskName tarnFileSystemName tarnStgPoolName", "tarnAgentEventName"}
    assert not {n for n, _, _ in found} & set(pair_halves())
    assert value_of(found, "tarnAgentCommandConnection") == 1  # false as 0: the alert test


# The end-to-end cluster: two active nodes, one file system whose pool "system" holds
# 27,917,287,424 KB on two disks, about 57% used.
HEALTHY_MODEL = "2,1,1,2"
FS, POOL, DISKS = "fs01", "system", ("nsd0001", "nsd0002")


def pool_free(full, sub):
    return [("set", "disk", FS, POOL, d, field, value) for d in DISKS
            for field, value in (("fullBlockFreeSpace", full), ("subBlockFreeSpace", sub))]


# The cluster's faults, applied and undone together; each alert with its labels and the
# seconds within which it fires (its "for", the 20 s the agent may serve data before
# renewing it, and a few scrape and evaluation intervals) and resolves.
CLUSTER_FAULTS = [("set", "disk", FS, POOL, DISKS[1], "availability", "down"),
                  ("event", "failure _node_ 10.0.0.2")] + pool_free("1000000", "1000000")
CLUSTER_UNDO = [("set", "disk", FS, POOL, DISKS[1], "availability", "up"),
                ("event", "recovery _node_ 10.0.0.2")] + pool_free("7000000000", "60000000")
CLUSTER_ALERTS = [("TarnDiskNotUp", {"tarnDiskName": DISKS[1], "tarnDiskAvailability": "down"},
                   95, 35), ("TarnNodeFailureEvent", {}, 15, 15),
                  ("TarnPoolNearlyFull", {"tarnStgPoolName": POOL}, 95, 35)]


class Prometheus:
    """The real server with the README's scrape job, scraping every 5 s (the scrape that meets
    a daemon refusing its polls takes seconds; a timeout drops its series and resets every
    pending alert), evaluating every second, with the shipped rules."""

    def __init__(self, launcher, tmp_path):
        job = readme_scrape_job().replace("node1.example.com", "127.0.0.1")
        job = re.sub(r"scrape_(interval|timeout): \w+", r"scrape_\1: 5s", job)
        config = tmp_path / "prometheus.yml"
        config.write_text("global: {evaluation_interval: 1s}\nrule_files: [%s]\n%s" % (
            os.path.join(PROM_DIR, "tarn-alerts.yml"), job))
        self.proc = launcher.start("prometheus", [
            "prometheus", "--config.file=%s" % config, "--storage.tsdb.path=%s" % (tmp_path / "db"),
            "--web.listen-address=127.0.0.1:%d" % PROMETHEUS_PORT])  # the sandbox's own loopback
        wait_for(self.ready, 60, "Prometheus ready")  # refused, then 503 while it starts
        wait_for(lambda: self.query('up{job="tarn"} == 1'), 30, "Prometheus's first scrape",
                 interval=0.5)

    def ready(self):
        assert self.proc.running(), self.proc.stderr()
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % PROMETHEUS_PORT, timeout=10):
                return True
        except urllib.error.URLError:
            return False

    def api(self, path):
        assert self.proc.running(), self.proc.stderr()
        with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/%s" % (PROMETHEUS_PORT, path),
                                    timeout=10) as answer:
            return json.loads(answer.read())["data"]

    def query(self, expr):
        return self.api("query?query=" + urllib.parse.quote(expr))["result"]

    def alerts(self):
        """The alerts pending or firing, as (name, labels, state)."""
        return [(a["labels"]["alertname"], a["labels"], a["state"])
                for a in self.api("alerts")["alerts"]]

    def cycle(self, alerts, fault, undo):
        """fault(), each alert (name, labels, fire bound, resolve bound) firing within its
        bound; then undo(), and no alert of each name left within its bound."""
        fault()
        self.await_each([(n, l, b) for n, l, b, _ in alerts], "fire", lambda n, l: any(
            m == n and s == "firing" and l.items() <= ml.items() for m, ml, s in self.alerts()))
        undo()
        self.await_each([(n, {}, b) for n, _, _, b in alerts], "resolve",
                        lambda n, _: all(m != n for m, _, _ in self.alerts()))

    def await_each(self, alerts, what, check):
        started, left = time.monotonic(), list(alerts)
        while left:
            for name, labels, bound in list(left):
                if check(name, labels):
                    left.remove((name, labels, bound))
                elif time.monotonic() - started > bound:
                    pytest.fail("%s did not %s within %d s: %s" % (name, what, bound,
                                                                  self.alerts()))
            time.sleep(0.5)


def test_prometheus_alerts_on_each_fault_and_resolves_when_undone(launcher, tmp_path, snmpd,
                                                                  installed):
    """No trap receiver: snmpd's traps go nowhere, as when the receiver is down."""
    model = tmp_path / "model.json"
    model.write_text(run([TARNSIM, "generate", HEALTHY_MODEL]))
    sim = start_simulator(launcher, tmp_path, model)
    agent = start_agent(launcher, tmp_path)
    start_exporter(launcher)
    prom = Prometheus(launcher, tmp_path)
    # Healthy: once an evaluation has seen the first scrape (before it, the tarn job is
    # absent), nothing fires or is pending over several evaluations.
    wait_for(lambda: prom.alerts() == [], 10, "the start-up's pending alert to clear")
    for _ in range(10):
        assert prom.alerts() == [], prom.alerts()
        time.sleep(0.5)

    def ctl(*commands):
        return lambda: [sim.ctl(*command) for command in commands]

    def restart_agent():  # snmpd answered all along: up stayed 1 with no tarn series
        assert prom.query('up{job="tarn"}')[0]["value"][1] == "1"
        start_agent(launcher, tmp_path)
    prom.cycle(CLUSTER_ALERTS, ctl(*CLUSTER_FAULTS), ctl(*CLUSTER_UNDO))
    prom.cycle([("TarnDaemonConnectionDown", {"connection": "command"}, 80, 45)],
               ctl(("fault", "refuse", "on"), ("fault", "drop")), ctl(("fault", "clear")))
    prom.cycle([("TarnAgentUnreachable", {"instance": AGENT_HOST}, 75, 30)], agent.stop,
               restart_agent)
    # The refused polls stay within TarnPollsFailing's 5-minute window: pending at most.
    assert [a for a in prom.alerts() if a[2] == "firing"] == [], prom.alerts()
