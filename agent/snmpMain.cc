// The agent process: binds the SNMP libraries, joins the master agent as an
// AgentX subagent, loads the MIB, registers its objects, brings up the daemon
// side and serves requests on this thread until stopped.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/options.h"
#include "agent/snmpObjects.h"
#include "agent/tarnInfo.h"
#include "api/api_poll.h"
#include "mib/snmpHealth.h"
#include "mib/snmpPollWorker.h"
#include "mib/snmpRefresh.h"
#include "mib/snmpTables.h"
#include "mib/snmpTraps.h"
#include "snmp/dl.h"

namespace {

const char* const kAppName = "tarnMgmt";
// Where the master is unless tarnMgmt.conf says otherwise: init_snmp reads its
// agentXSocket line after this default is set, and the library connects only
// then. The address is not fixed, so that the packaged configuration can use
// the master's UNIX socket, which other local users cannot reach, where any
// local user can connect to this TCP port and register in the agent's place.
// (Relied on: the token overrides the default; the node test sees the agent
// served with the master listening on its UNIX socket only.)
const char* const kAgentXSocket = "tcp:localhost:705";
const char* const kMibFile = "/usr/lpp/tarnfs/data/TARN-MIB.txt";

// Steps 2 and 3: the dependency libraries are optional, the SNMP ones are not.
void bindLibraries() {
  if (dlib.open_dep_dlibs() < 0) ts_print("Warning: some dynamic libraries failed to load\n");
  int rc = dlib.open_netsnmp_dlibs();
  if (rc < 0) {
    ts_print("Fatal error: NetSNMP libraries failed to load, exiting...\n");
    exit(rc);
  }
}

// A MIB file that lost objects (cut short by a full disk, say) still loads,
// and the agent would serve part of its objects, or none, with only a warning
// per object. That is a broken installation, not a state to serve from: every
// object missing at start-up, the version scalar's included, ends the agent.
void requireWholeMib() {
  const unsigned missing = missingMibObjects();
  if (missing == 0) return;
  char message[160];
  snprintf(message, sizeof message,
           "Fatal error: TARN MIB file is incomplete (%u objects not found), exiting...\n",
           missing);
  ts_print(message);
  exit(1);
}

// Steps 4 to 13: the SNMP library as an AgentX subagent with its objects.
void initSnmp(bool debug) {
  snmp_enable_stderrlog();
  if (debug) snmp_set_do_debugging(1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, kAgentXSocket);
  int rc = init_agent(kAppName);
  if (rc != 0) exit(rc);
  init_mib();
  if (read_mib(kMibFile) == nullptr) {
    ts_print("Fatal error: failed to load TARN MIB file, exiting...\n");
    exit(1);
  }
  init_tarnMgmtObjects();
  init_tarnMgmtTables();
  init_tarnAgentHealth();
  checkTrapObjects();
  requireWholeMib();
  init_snmp(kAppName);
}

// The event, refresh and poll threads, joined at a stop.
pthread_t workers[3];

// Worker threads start with the stop signals blocked, so a stop always
// lands on this thread and interrupts its wait in the main loop.
pthread_t startThread(void* (*body)(void*), const char* failure) {
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, body, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    ts_print(failure);
    exit(1);
  }
  return thread;
}

// A stop that lands just before the main loop starts waiting would otherwise
// go unnoticed until the next request; a one-second tick bounds that delay.
// It also merges a finished poll that found the polling handler busy.
void tick(unsigned int /*reg*/, void* /*data*/) { mergeFinishedPolls(); }

// The poll worker finished a job: its data goes into myCluster now, not at
// the next request that happens to need it, so the data ages are right.
void onPollsDone(int /*fd*/, void* /*data*/) {
  PollWorker::drain();
  mergeFinishedPolls();
}

// Steps 15 to 19: polling handler, events handler, first copy, threads.
void startDaemonSide() {
  if (initTarnInfo() != 0 || thePollingHandler == nullptr) {
    ts_print("Error initializing Polling Handler, exiting...\n");
    exit(1);
  }
  initEvents(thePollingHandler);
  refreshTarnInfo();
  workers[0] = startThread(eventThread, "Error: Couldn't start event handler thread, exiting...\n");
  workers[1] = startThread(refreshThread, "Error: Couldn't start refresh thread, exiting...\n");
  const char* const pollFailure = "Error: Couldn't start poll thread, exiting...\n";
  if (startPollWorker() != 0 ||
      register_readfd(PollWorker::wakeFd(), onPollsDone, nullptr) != FD_REGISTERED_OK) {
    ts_print(pollFailure);
    exit(1);
  }
  workers[2] = startThread(PollWorker::threadBody, pollFailure);
}

// The worker threads end before anything they use is freed: an event storm
// at a stop would otherwise run into a deleted events handler or trap queue.
void stopDaemonSide() {
  stopWorkers();
  PollWorker::stop();
  for (pthread_t worker : workers) pthread_join(worker, nullptr);
  PollWorker::term();
  discardQueuedTraps();
}

// A stop request ends the main loop, which then shuts down in order. A lost
// master connection must not kill the process: the library reconnects. A
// hang-up has nothing to re-read (the library's settings and the MIB are
// read once, at start-up) and must not end a service that a stray HUP would
// otherwise take down for good, since it would exit with a signal status
// that the service manager does not restart.
void installSignals() {
  struct sigaction stop = {};
  stop.sa_handler = stop_server;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
}

// --help and --version print and exit before anything starts; so does the
// agent when the library's environment cannot be set. Operators expect these
// two arguments to answer, not to start a second agent, so they are the only
// first arguments besides -D that are not ignored.
bool debugFromCommandLine(int argc, char** argv) {
  FirstArgument arg = parseFirstArgument(argc, argv);
  if (arg == ARG_HELP || arg == ARG_VERSION) {
    fputs(arg == ARG_HELP ? kUsageText : kAgentVersion, stdout);
    if (arg == ARG_VERSION) fputc('\n', stdout);
    exit(fflush(stdout) == 0 ? 0 : 1);
  }
  if (setLibraryDefaults() != 0) {
    ts_print("Fatal error: cannot set the SNMP library's environment, exiting...\n");
    exit(1);
  }
  return arg == ARG_DEBUG;
}

// DESIGN: the main loop keeps polling for a moment after it has served.
//
// A walk is a chain of round trips: the master asks for one varbind at a
// time (it turns GETBULK repetitions into single GETNEXTs) and sends the next
// request only when our answer is in. Most of a round trip went on sleeping
// and waking up, not on answering: each request had the kernel wake this
// thread on an idle CPU, which the master paid for in its send as much as we
// did in our receive. So after a turn that served a request, the loop asks
// the library again without waiting, for up to busyPollMicros, and sleeps in
// agent_check_and_process(1) only once no request has come for that long. A
// walk then finds this thread awake at every request: a walk of 224,460
// varbinds at 1,024 nodes and 4,096 disks took 15 s instead of 27 to 29 s,
// with the agent and the master together using less CPU than before (the
// master 40% less). Between walks the cost is busyPollMicros of CPU after each
// burst of requests. Turns that only send traps, take the master's answers
// to them or run alarms start no polling: spinning then would only take CPU
// from the master and the event thread. TNMIBD_BUSY_POLL_MICROS=0 gives the
// plain blocking loop.
//
// Relied on (documented): agent_check_and_process(0) only looks and does not
// wait. A system test sees the polling start after a request and end after it.
void runMainLoop(long busyPollMicros) {
  int64_t pollUntil = 0;
  while (keepRunning) {
    const uint64_t served = requestsServed;
    newRequestTurn();
    agent_check_and_process(monotonicMicros() < pollUntil ? 0 : 1);
    if (requestsServed != served) pollUntil = monotonicMicros() + busyPollMicros;
  }
}

// Four fifths of the master's AgentX timeout: the rest is the margin for
// answering the request and for the master's own work.
int64_t requestBudgetSetting() {
  long seconds = parseAgentXTimeout(getenv(AGENTX_TIMEOUT_ENV));
  if (seconds < 0) {
    char message[160];
    snprintf(message, sizeof message,
             "Warning: %s must be a whole number of seconds from 1 to %ld, using %ld\n",
             AGENTX_TIMEOUT_ENV, kMaxAgentXTimeout, kDefaultAgentXTimeout);
    ts_print(message);
    seconds = kDefaultAgentXTimeout;
  }
  return static_cast<int64_t>(seconds) * 1000000 * 4 / 5;
}

long busyPollSetting() {
  long micros = parseBusyPollMicros(getenv(BUSY_POLL_ENV));
  if (micros >= 0) return micros;
  char message[160];
  snprintf(message, sizeof message, "Warning: %s must be a whole number from 0 to %ld, using %ld\n",
           BUSY_POLL_ENV, kMaxBusyPollMicros, kDefaultBusyPollMicros);
  ts_print(message);
  return kDefaultBusyPollMicros;
}

}  // namespace

int main(int argc, char** argv) {
  bool debug = debugFromCommandLine(argc, argv);
  bindLibraries();
  initSnmp(debug);
  keepRunning = 1;
  installSignals();
  setRequestBudget(requestBudgetSetting());
  startDaemonSide();
  snmp_alarm_register(1, SA_REPEAT, tick, nullptr);

  runMainLoop(busyPollSetting());

  stopDaemonSide();
  snmp_shutdown("tarnMgmtTraps");
  snmp_shutdown("tarnMgmtMIBObjects");
  deleteTarnInfo();
  exit(processExitStatus());
}
