"""The agent process: version scalar, debug switch, start-up, response files, exits."""

import glob
import os
import pathlib
import re
import signal
import subprocess
import time

import pytest

from conftest import (AGENT, MIB_FILE, VERSION_OID, agent_env, event_connected, served,
                      start_agent, wait_for)

LIB_DIR = "/usr/lib/x86_64-linux-gnu"
RESPONSE_DIR = "/var/tarnfs/tnperf"


def hiding(names, argv):
    """argv run where the named files of the library directory are gone (an overlay)."""
    script = ("set -e; d=$(mktemp -d); mount -t tmpfs tmpfs $d; mkdir $d/u $d/w; "
              "mount -t overlay overlay -o lowerdir=%s,upperdir=$d/u,workdir=$d/w %s; "
              "for n in %s; do rm -f %s/$n; done; exec \"$@\"" %
              (LIB_DIR, LIB_DIR, " ".join(names), LIB_DIR))
    return ["unshare", "--mount", "sh", "-c", script, "hide"] + list(argv)


# Its value, Gauge32 1, is what every agent start waits for (conftest's served).
def test_the_version_scalar_is_read_only(agent, snmp):
    refused = snmp.run("snmpset", "127.0.0.1", VERSION_OID, "u", "2")
    assert refused.returncode != 0 and re.search("notWritable|noAccess", refused.stderr)


def cpu_during(proc, action):
    """CPU seconds the process's main thread used during action()."""
    def used():  # from the state on, utime and stime are the 12th and 13th fields
        fields = pathlib.Path("/proc/%d/task/%d/stat" % (proc.pid, proc.pid)).read_text()
        fields = fields.rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    before = used()
    action()
    return used() - before


def test_main_loop_polls_for_its_window_after_a_request_but_not_after_a_trap(launcher, tmp_path,
                                                                            snmpd, sim, snmp):
    agent = start_agent(launcher, tmp_path, env_extra={"TNMIBD_BUSY_POLL_MICROS": "300000"})
    event_connected(sim)
    time.sleep(0.5)
    # Asleep: at most one ping of the master (every 5 s) starts a 0.3 s window.
    assert cpu_during(agent, lambda: time.sleep(2.0)) < 0.6
    assert snmp.get(VERSION_OID).returncode == 0
    assert cpu_during(agent, lambda: time.sleep(0.2)) >= 0.05  # polling
    time.sleep(0.3)

    def trickle():  # would keep a loop that polled after traps busy throughout
        for i in range(20):
            sim.ctl("event", "failure _node_ %d" % i)
            time.sleep(0.1)
    assert cpu_during(agent, trickle) < 0.6
    wait_for(lambda: snmp.get("-Oqv", "TARN-MIB::tarnAgentTrapsSent.0").stdout.strip() == "20",
             10, "the 20 traps")


def response_files():
    return sorted(glob.glob("response.*", root_dir=RESPONSE_DIR))


def test_response_files_go_at_every_exit_and_dead_agents_files_at_start(launcher, tmp_path,
                                                                        snmpd, sim):
    gone = subprocess.Popen(["true"])
    gone.wait()  # reaped: no process has this pid now
    kept = ["response.%d.3" % os.getpid(), "response.notapid.0"]  # a live process's; not ours
    for name in kept + ["response.%d.0" % gone.pid]:
        pathlib.Path(RESPONSE_DIR, name).touch()

    def started():
        agent = start_agent(launcher, tmp_path)
        own = lambda: [n for n in response_files() if n.startswith("response.%d." % agent.pid)]
        wait_for(lambda: len(own()) == 2, 10, "the agent's two response files")
        assert sorted(set(response_files()) - set(own())) == kept
        return agent

    assert started().stop(signal.SIGTERM) == 0
    assert response_files() == kept
    # The daemon gone for good ends the agent with status 1.
    agent = started()
    sim.ctl("shutdown")
    assert agent.wait_exit(30) == 1
    assert response_files() == kept


@pytest.mark.parametrize("args,debug", [(["-D"], True), (["-x", "-D"], False), (["-Dx"], False),
                                        (["-d"], False)])
def test_only_an_exact_first_argument_turns_on_library_debugging(launcher, tmp_path, snmpd,
                                                                 sim, args, debug):
    agent = start_agent(launcher, tmp_path, args)
    agent.stop()
    # The library's debug lines carry a "token:" prefix such as "trace:" or "agentx".
    library_debug = [l for l in agent.stderr().splitlines()
                     if ": tnmibd: " not in l and (l.startswith("trace:") or "agentx" in l)]
    assert bool(library_debug) == debug, agent.stderr()[:2000]


@pytest.mark.parametrize("hidden,status,lines", [
    ([], 1, ["Fatal error: failed to load TARN MIB file, exiting..."]),
    ("cut", 1, ["Fatal error: TARN MIB file is incomplete ("]),  # after a warning per object
    (["libnetsnmpagent.so", "libnetsnmpagent.so.40", "libnetsnmpagent.so.40.2.0"], 255,
     ["Failed to load library: libnetsnmpagent.so",
      "Fatal error: NetSNMP libraries failed to load, exiting..."]),
    (["libwrap.so"], None, ["libwrap.so: cannot open shared object file",
                            "Warning: some dynamic libraries failed to load"])])
def test_start_up_without_a_file_it_needs(launcher, tmp_path, snmpd, sim, snmp, hidden, status,
                                          lines):
    if hidden == "cut":  # the MIB file cut short, as by a full disk
        text = pathlib.Path(MIB_FILE).read_text()
        pathlib.Path(MIB_FILE).write_text(text[:len(text) * 9 // 10])
        hidden = []
    elif not hidden:  # the MIB file is missing instead
        os.unlink(MIB_FILE)
    agent = launcher.start("tnmibd", hiding(hidden, [AGENT]), env=agent_env(tmp_path))
    if status is None:  # only a warning: the agent serves
        served(agent, snmp)
    else:  # fatal before the daemon is reached
        assert agent.wait_exit() == status
        assert sim.log() == []
    got = [l.split(": tnmibd: ", 1)[1] for l in agent.stderr().splitlines() if ": tnmibd: " in l]
    if status == 1 and len(got) > 1:  # the objects it missed come first
        assert all(g.startswith("Warning: object ") for g in got[:-1]), got
        got = got[-1:]
    assert len(got) == len(lines) and all(g.startswith(w) for g, w in zip(got, lines)), got
