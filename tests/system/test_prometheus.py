"""The exporter module, the alert rules, and the real exporter scraping the agent."""

import os
import re
import shutil
import subprocess
import textwrap
import time
import urllib.request

import tables_expected as te
import tables_model
from conftest import (BASE_MIBS, MIB_DIR, REPO, port_open, start_agent, start_simulator,
                      wait_for)

PROM_DIR = os.path.join(REPO, "packaging", "prometheus")
EXPORTER_PORT = 9116
COUNTERS = ["tarnDiskReadOps", "tarnDiskWriteOps", "tarnNodeFailureCount", "tarnDiskReadBytes",
            "tarnAgentPollFailures", "tarnAgentEventReceived", "tarnAgentEventTrapsSent"]
GAUGES = ["tarnStgPoolFreeSpace", "tarnDiskLongestReadTime", "tarnAgentEventLastAge",
          "tarnAgentCommandConnection"]


def run(argv, **kwargs):
    got = subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)
    assert got.returncode == 0, "%s: %s%s" % (" ".join(argv), got.stdout, got.stderr)
    return got.stdout


def pair_halves():
    with open(os.path.join(MIB_DIR, "TARN-MIB.txt")) as f:
        names = set(re.findall(r"^(tarn\w+[LH]) OBJECT-TYPE", f.read(), re.M))
    return sorted(n for n in names if n[:-1] + ("H" if n[-1] == "L" else "L") in names)


def test_the_checked_in_module_is_generated_from_the_mib_and_the_rules_pass_promtool(tmp_path):
    shutil.copy(os.path.join(PROM_DIR, "generator.yml"), tmp_path)
    run(["prometheus-snmp-generator", "--fail-on-parse-errors", "generate", "-o", "snmp.yml"],
        cwd=tmp_path, env=dict(os.environ, MIBDIRS=BASE_MIBS + ":" + MIB_DIR))
    with open(os.path.join(PROM_DIR, "snmp.yml")) as f:
        assert (tmp_path / "snmp.yml").read_text() == f.read(), "snmp.yml is out of date"
    assert "SUCCESS: 19 rules found" in run(["promtool", "check", "rules", "tarn-alerts.yml"],
                                            cwd=PROM_DIR)
    assert "SUCCESS" in run(["promtool", "test", "rules", "tarn-alerts.test.yml"], cwd=PROM_DIR)
    # The README's scrape job, with the rules, is a configuration Prometheus accepts.
    config = tmp_path / "prometheus.yml"
    config.write_text("rule_files: [%s]\n%s" % (os.path.join(PROM_DIR, "tarn-alerts.yml"),
                                               readme_scrape_job()))
    assert "SUCCESS" in run(["promtool", "check", "config", str(config)])


def readme_scrape_job():
    """The scrape job of the README's section on Prometheus, unindented."""
    with open(os.path.join(REPO, "README.md")) as f:
        section = f.read().split("## Monitoring with Prometheus")[1].split("\n## ")[0]
    block = re.search(r"^( *)```\n( *scrape_configs:.*?)^ *```", section, re.M | re.S)
    assert block, "no scrape job in the README"
    return textwrap.dedent(block.group(2))


def scrape(types=None):
    """The samples of a scrape as (name, {label: value}, value), and its seconds; types, when
    given, receives each metric's TYPE."""
    url = "http://127.0.0.1:%d/snmp?module=tarn&target=127.0.0.1" % EXPORTER_PORT
    started = time.monotonic()
    with urllib.request.urlopen(url, timeout=60) as answer:
        text = answer.read().decode()
    found = []
    if types is not None:
        types.update(re.findall(r"^# TYPE (\w+) (\w+)$", text, re.M))
    for m in re.finditer(r"^(\w+)(?:\{(.*)\})? (\S+)$", text, re.M):
        labels = dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m.group(2) or ""))
        found.append((m.group(1), labels, float(m.group(3))))
    return found, time.monotonic() - started


def value_of(found, name, **labels):
    hits = [v for n, l, v in found if n == name and all(l.get(k) == v2 for k, v2 in labels.items())]
    assert len(hits) == 1, (name, labels, hits)
    return hits[0]


def test_the_exporter_scrapes_the_agent_with_names_as_labels(launcher, tmp_path, snmpd,
                                                              installed):
    sim = start_simulator(launcher, tmp_path, tables_model.write_model(tmp_path / "model.json"))
    start_agent(launcher, tmp_path)
    exporter = launcher.start("exporter", [
        "prometheus-snmp-exporter", "--config.file=" + os.path.join(PROM_DIR, "snmp.yml"),
        "--web.listen-address=127.0.0.1:%d" % EXPORTER_PORT])
    wait_for(lambda: port_open(EXPORTER_PORT) or not exporter.running(), 10, "the exporter")
    types = {}
    found, seconds = scrape(types)
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
    # Truth values as 1 and 0.
    assert value_of(found, "tarnAgentCommandConnection") == 1
    sim.ctl("fault", "refuse", "on")
    sim.ctl("fault", "drop")
    wait_for(lambda: value_of(scrape()[0], "tarnAgentEventConnection") == 0, 10,
             "the event connection to read 0")
    assert 0 <= value_of(found, "tarnAgentDiskDataAge") < 20
    assert value_of(found, "tarnAgentPollFailures") == 0
    assert value_of(found, "tarnAgentEventReceived", tarnAgentEventName="sdrChanged") == 0
