"""The agent process through the real master: the version scalar, the debug
switch, the start-up failures, its response files and its exits."""

import os
import signal
import subprocess

import pytest

from conftest import AGENT, MIB_FILE, VERSION_OID, agent_env, start_agent, wait_for

LIB_DIR = "/usr/lib/x86_64-linux-gnu"
RESPONSE_DIR = "/var/tarnfs/tnperf"


def hiding(names, argv):
    """argv run in a mount namespace of its own in which the named files of
    the library directory are gone (an overlay whiteout; the host is untouched)."""
    script = ("set -e; d=$(mktemp -d); mount -t tmpfs tmpfs $d; mkdir $d/u $d/w; "
              "mount -t overlay overlay -o lowerdir=%s,upperdir=$d/u,workdir=$d/w %s; "
              "for n in %s; do rm -f %s/$n; done; exec \"$@\"" %
              (LIB_DIR, LIB_DIR, " ".join(names), LIB_DIR))
    return ["unshare", "--mount", "sh", "-c", script, "hide"] + list(argv)


def log_lines(proc):
    """The message parts of the agent's time-stamped lines."""
    return [l.split(": tnmibd: ", 1)[1] for l in proc.stderr().splitlines() if ": tnmibd: " in l]


def test_version_scalar_is_unsigned_one_and_read_only_and_sigterm_exits_zero(agent, snmp):
    assert snmp.get("-On", VERSION_OID).stdout.strip().endswith(".0 = Gauge32: 1")
    refused = snmp.set(VERSION_OID, "u", "2")
    assert refused.returncode != 0
    assert "notWritable" in refused.stderr or "noAccess" in refused.stderr, refused.stderr
    assert snmp.serves()
    assert agent.stop(signal.SIGTERM) == 0
    assert "Fatal" not in agent.stderr()


def response_files():
    return sorted(n for n in os.listdir(RESPONSE_DIR) if n.startswith("response."))


def test_response_files_go_at_every_exit_and_dead_agents_files_at_start(launcher, tmp_path,
                                                                        snmpd, sim):
    gone = subprocess.Popen(["true"])
    gone.wait()  # reaped: no process has this pid now
    kept = ["response.%d.3" % os.getpid(), "response.notapid.0"]  # a live process's; not ours
    for name in kept + ["response.%d.0" % gone.pid]:
        open(os.path.join(RESPONSE_DIR, name), "w").close()

    def started():
        agent = start_agent(launcher, tmp_path)
        # The polling side's file and the events side's; the dead agent's is gone.
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
    assert "Error: Events handler TARN daemon connection failed, exiting..." in log_lines(agent)
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


def test_missing_mib_file_is_fatal_before_any_thread(launcher, tmp_path, snmpd, sim):
    os.unlink(MIB_FILE)
    agent = start_agent(launcher, tmp_path, wait=False)
    assert agent.wait_exit() == 1
    assert log_lines(agent) == ["Fatal error: failed to load TARN MIB file, exiting..."]
    assert sim.log() == []  # the daemon side never started


def test_unloadable_agent_library_ends_with_the_loaders_status(launcher, installed):
    names = ["libnetsnmpagent.so", "libnetsnmpagent.so.40", "libnetsnmpagent.so.40.2.0"]
    proc = launcher.start("tnmibd", hiding(names, [AGENT]))
    assert proc.wait_exit() == 255
    lines = log_lines(proc)
    assert len(lines) == 2 and lines[0].startswith("Failed to load library: libnetsnmpagent.so")
    assert lines[1] == "Fatal error: NetSNMP libraries failed to load, exiting..."


def test_missing_libwrap_is_only_a_warning(launcher, tmp_path, snmpd, sim, snmp):
    hidden = launcher.start("tnmibd", hiding(["libwrap.so"], [AGENT]), env=agent_env(tmp_path))
    wait_for(lambda: snmp.serves() or not hidden.running(), 30, "the agent without libwrap.so")
    assert hidden.running(), hidden.stderr()
    lines = log_lines(hidden)
    assert any("libwrap.so" in l for l in lines), lines
    assert "Warning: some dynamic libraries failed to load" in lines


def test_agent_binary_is_not_linked_against_the_snmp_libraries():
    assert "netsnmp" not in subprocess.run(["ldd", AGENT], capture_output=True, text=True).stdout
    symbols = subprocess.run(["nm", "-D", "--defined-only", AGENT], capture_output=True,
                             text=True).stdout.split()
    for name in ("boot_DynaLoader", "init_agent", "send_v2trap", "read_objid",
                 "netsnmp_register_table_iterator", "snmp_varlist_add_variable"):
        assert name in symbols, name
