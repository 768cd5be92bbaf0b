#include "agent/tarnInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "agent/log.h"
#include "agent/scoped.h"
#include "agent/snmpObjects.h"
#include "api/api_event.h"
#include "api/api_poll.h"
#include "api/api_records.h"
#include "mib/snmpTraps.h"

ClusterInfo* myCluster = nullptr;

namespace {

// How often the refresh thread rebuilds the daemon's node list.
const unsigned kRecipeRefreshSeconds = 180;

// One trap sender per event type; "exception" (12) and "sdrChanged" (16)
// raise no trap.
struct SenderRow {
  int type;
  EventCallback sender;
};
const SenderRow kSenders[] = {
    {0, send_tarnMountTrap_trap},
    {1, send_tarnUnmountTrap_trap},
    {2, send_tarnAddDiskTrap_trap},
    {3, send_tarnDeleteDiskTrap_trap},
    {4, send_tarnChangeDiskTrap_trap},
    {5, send_tarnSgmgrTakeoverTrap_trap},
    {6, send_tarnNodeFailureTrap_trap},
    {7, send_tarnNodeRecoveryTrap_trap},
    {8, send_tarnFileSystemCreationTrap_trap},
    {9, send_tarnFileSystemDeletionTrap_trap},
    {10, send_tarnFileSystemStateChangeTrap_trap},
    {11, send_tarnNewConnectionTrap_trap},
    {13, send_tarnEventCollectionBufferOverflowTrap_trap},
    {14, send_tarnHungThreadTrap_trap},
    {15, send_tarnStgPoolUtilizationTrap_trap},
};

// The refresh thread's wait between two rebuilds, which a stop cuts short.
pthread_mutex_t refreshMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t refreshCond;
pthread_once_t refreshCondOnce = PTHREAD_ONCE_INIT;
bool refreshStopped = false;

void initRefreshCond() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&refreshCond, &attr);
  pthread_condattr_destroy(&attr);
}

// Waits one refresh period; false when a stop came first.
bool waitRefreshPeriod() {
  pthread_once(&refreshCondOnce, initRefreshCond);
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += kRecipeRefreshSeconds;
  ScopedLock lock(&refreshMutex);
  while (!refreshStopped) {
    if (pthread_cond_timedwait(&refreshCond, &refreshMutex, &until) != 0) break;
  }
  return !refreshStopped;
}

// Marks every descriptor above standard error close-on-exec. The SNMP
// library opens its AgentX socket (and its other files) without the flag, and
// a configuration query must not inherit them: a child holding the master
// connection keeps it open after the agent is gone.
void closeDescriptorsOnExec() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == dirfd(dir)) continue;
    int flags = fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0) fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
  }
  closedir(dir);
}

}  // namespace

int initTarnInfo() {
  closeDescriptorsOnExec();
  int rc = PollingHandler::init(0);
  if (rc != 0) return rc;
  MErrno err = 0;
  myCluster = new ClusterInfo(&err);
  return err;
}

void initEvents(PollingHandler* handler) {
  EventsHandler::init(handler, 0);
  // Without an events handler no event could ever be delivered: an operator
  // is better served by a clear stop than by an agent that silently sends no
  // traps.
  if (theEventsHandler == nullptr) {
    ts_print("Error: Couldn't create events handler, exiting...\n");
    exit(1);
  }
  for (const SenderRow& row : kSenders)
    theEventsHandler->registerEventCallback(row.type, row.sender, nullptr);
  if (initTrapDelivery() != 0) {
    ts_print("Error: Couldn't set up trap delivery, exiting...\n");
    exit(1);
  }
}

void deleteTarnInfo() {
  delete myCluster;
  myCluster = nullptr;
  EventsHandler::term();
}

void* eventThread(void* /*unused*/) {
  long rc = theEventsHandler->run();
  return reinterpret_cast<void*>(rc);
}

void* refreshThread(void* /*unused*/) {
  while (waitRefreshPeriod()) thePollingHandler->refreshClusterRecipe();
  return nullptr;
}

void stopWorkers() {
  stopQueries();
  if (theEventsHandler != nullptr) theEventsHandler->stop();
  pthread_once(&refreshCondOnce, initRefreshCond);
  ScopedLock lock(&refreshMutex);
  refreshStopped = true;
  pthread_cond_broadcast(&refreshCond);
}
