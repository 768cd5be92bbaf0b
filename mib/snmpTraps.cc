// DESIGN: who sends a trap, and when.
//
// The senders are called on the events handler's send thread, but the SNMP
// library as built here has no locks of its own: a send_v2trap from a second
// thread while the main thread serves a walk corrupts the library's session
// lists and crashes the agent. So the library is only ever entered on the
// main thread. A sender only appends (description, record) to a FIFO queue
// under queueMutex and, when the queue was empty, writes one byte to a
// non-blocking pipe. The pipe's read end is registered with register_readfd,
// so agent_check_and_process(1), where the main thread waits, wakes for it as
// for a request; its callback empties the pipe and sends up to kBatch traps
// (look-ups, bindings, send_v2trap, free, delete the record) in queue order,
// which is the order the daemon sent the events. When more are queued it
// writes a byte to itself, so the next turn of the main loop serves the
// requests that arrived meanwhile before the next batch: a burst of traps
// never holds a walk up for longer than one batch, and a request never holds
// traps up for longer than one handler run. Nothing is dropped here; the
// queue grows with a burst and shrinks as the main thread catches up.
//
// The AgentX connection is TCP. Net-SNMP does not set TCP_NODELAY on it, and
// with Nagle's algorithm a trap followed by a response (or two traps) waits
// for the master's delayed acknowledgement, 40 ms each time: walks and traps
// then stall each other. The main thread therefore sets TCP_NODELAY on every
// TCP connection to the AgentX port that lacks it, at start-up and once a
// second from an alarm, which also covers the library's reconnections.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "mib/snmpTraps.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <deque>

#include "agent/log.h"
#include "agent/scoped.h"
#include "api/api_event.h"

namespace {

template <class R>
const unsigned char* bytesOf(const Event* event) {
  return reinterpret_cast<const unsigned char*>(static_cast<const R*>(event));
}

template <class R>
void destroyOf(Event* event) {
  delete static_cast<R*>(event);
}

#define TN_TEXT(R, field, object) \
  { object, TRAP_TEXT, offsetof(R, field) }

// The binding lists, one per distinct list; traps of the same record type
// and the same objects share one.
const TrapBinding kMountBindings[] = {TN_TEXT(MountActionEvent, node, "tarnNodeIpAddress"),
                                      TN_TEXT(MountActionEvent, fs, "tarnFileSystemName")};
const TrapBinding kDiskBindings[] = {TN_TEXT(DiskActionEvent, node, "tarnNodeIpAddress"),
                                     TN_TEXT(DiskActionEvent, fs, "tarnFileSystemName"),
                                     TN_TEXT(DiskActionEvent, disk, "tarnDiskName")};
const TrapBinding kChdiskBindings[] = {
    TN_TEXT(ChdiskEvent, node, "tarnNodeIpAddress"),
    TN_TEXT(ChdiskEvent, fs, "tarnFileSystemName"),
    TN_TEXT(ChdiskEvent, disk, "tarnDiskName"),
    TN_TEXT(ChdiskEvent, status, "tarnDiskStatus"),
    TN_TEXT(ChdiskEvent, availability, "tarnDiskAvailability"),
    TN_TEXT(ChdiskEvent, failureGroup, "tarnDiskFailureGroupName"),
    TN_TEXT(ChdiskEvent, metadata, "tarnDiskMetadata"),
    TN_TEXT(ChdiskEvent, data, "tarnDiskData")};
const TrapBinding kTakeoverBindings[] = {
    TN_TEXT(SgmgrTakeoverEvent, node, "tarnSgmgrIpAddress"),
    TN_TEXT(SgmgrTakeoverEvent, prevNode, "tarnPrevSgmgrIpAddress"),
    TN_TEXT(SgmgrTakeoverEvent, fs, "tarnFileSystemName")};
const TrapBinding kNodeBindings[] = {TN_TEXT(NodeStatusEvent, node, "tarnNodeIpAddress")};
const TrapBinding kFsActionBindings[] = {TN_TEXT(FilesystemActionEvent, node, "tarnSgmgrIpAddress"),
                                         TN_TEXT(FilesystemActionEvent, fs, "tarnFileSystemName")};
const TrapBinding kStateChangeBindings[] = {
    TN_TEXT(FilesystemStateChangeEvent, fs, "tarnFileSystemName"),
    TN_TEXT(FilesystemStateChangeEvent, userUnbalanced, "tarnUserUnbalanced"),
    TN_TEXT(FilesystemStateChangeEvent, metaUnbalanced, "tarnMetaUnbalanced"),
    TN_TEXT(FilesystemStateChangeEvent, userIllReplicated, "tarnUserIllReplicated"),
    TN_TEXT(FilesystemStateChangeEvent, metaIllReplicated, "tarnMetaIllReplicated"),
    TN_TEXT(FilesystemStateChangeEvent, userExposed, "tarnUserExposed"),
    TN_TEXT(FilesystemStateChangeEvent, metaExposed, "tarnMetaExposed")};
const TrapBinding kHungBindings[] = {
    TN_TEXT(HungThreadEvent, node, "tarnNodeIpAddress"),
    {"tarnWaitTime", TRAP_GAUGE_LOW64, offsetof(HungThreadEvent, waitTime)},
    TN_TEXT(HungThreadEvent, diagnosis, "tarnDiagnosis")};
const TrapBinding kPoolUtilBindings[] = {
    TN_TEXT(StgPoolUtilizationEvent, fs, "tarnStgPoolFSName"),
    TN_TEXT(StgPoolUtilizationEvent, pool, "tarnStgPoolName"),
    {"tarnStgPoolUtil", TRAP_GAUGE_INT32, offsetof(StgPoolUtilizationEvent, utilization)}};

// A row's record type and its binding list with the list's length.
#define TN_ROW(R, bindings) \
#R, bytesOf < R>, destroyOf < R>, bindings, sizeof bindings / sizeof bindings[0]

// In event type order; the senders below name their row by position.
const TrapDescription kTraps[] = {
    {EVENT_MOUNT, "tarnMountTrap", TN_ROW(MountActionEvent, kMountBindings)},
    {EVENT_UNMOUNT, "tarnUnmountTrap", TN_ROW(MountActionEvent, kMountBindings)},
    {EVENT_ADDDISK, "tarnAddDiskTrap", TN_ROW(DiskActionEvent, kDiskBindings)},
    {EVENT_DELDISK, "tarnDeleteDiskTrap", TN_ROW(DiskActionEvent, kDiskBindings)},
    {EVENT_CHDISK, "tarnChangeDiskTrap", TN_ROW(ChdiskEvent, kChdiskBindings)},
    {EVENT_TAKEOVER, "tarnSgmgrTakeoverTrap", TN_ROW(SgmgrTakeoverEvent, kTakeoverBindings)},
    {EVENT_FAILURE, "tarnNodeFailureTrap", TN_ROW(NodeStatusEvent, kNodeBindings)},
    {EVENT_RECOVERY, "tarnNodeRecoveryTrap", TN_ROW(NodeStatusEvent, kNodeBindings)},
    {EVENT_CREATEFS, "tarnFileSystemCreationTrap",
     TN_ROW(FilesystemActionEvent, kFsActionBindings)},
    {EVENT_DELETEFS, "tarnFileSystemDeletionTrap",
     TN_ROW(FilesystemActionEvent, kFsActionBindings)},
    {EVENT_FSSTATECHANGE, "tarnFileSystemStateChangeTrap",
     TN_ROW(FilesystemStateChangeEvent, kStateChangeBindings)},
    {EVENT_NEWCONNECTION, "tarnNewConnectionTrap", TN_ROW(NodeStatusEvent, kNodeBindings)},
    {EVENT_SGSTATS, "tarnEventCollectionBufferOverflowTrap",
     TN_ROW(NodeStatusEvent, kNodeBindings)},
    {EVENT_HUNGTHREAD, "tarnHungThreadTrap", TN_ROW(HungThreadEvent, kHungBindings)},
    {EVENT_POOLUTIL, "tarnStgPoolUtilizationTrap",
     TN_ROW(StgPoolUtilizationEvent, kPoolUtilBindings)},
};

#undef TN_ROW
#undef TN_TEXT

const int kTrapCount = sizeof kTraps / sizeof kTraps[0];

// Room for an identifier looked up by name, in sub-identifiers.
const size_t kOidRoom = 64;
// snmpTrapOID.0 and zeroDotZero, for when the MIB lacks the names.
const oid kStandardTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1};
const oid kZeroDotZero[] = {0, 0};
// Traps sent per wake-up of the main thread before it serves requests again.
const int kBatch = 64;

struct QueuedTrap {
  const TrapDescription* trap;
  Event* record;
};

pthread_mutex_t queueMutex = PTHREAD_MUTEX_INITIALIZER;
std::deque<QueuedTrap> queue;
int wakeRead = -1;
int wakeWrite = -1;
void (*sendFunction)(netsnmp_variable_list*) = nullptr;

// Looks module:object up into buf (kOidRoom sub-identifiers); false when the
// MIB lacks it.
bool lookup(const char* module, const char* object, oid* buf, size_t* len) {
  char name[160];
  snprintf(name, sizeof name, "%s:%s", module, object);
  *len = kOidRoom;
  return read_objid(name, buf, len) != 0;
}

void warnMissing(const char* object) {
  char message[200];
  snprintf(message, sizeof message, "Warning: object %s not found in MIB file.\n", object);
  ts_print(message);
}

// Adds the trap identifier binding: snmpTrapOID.0 = the trap object.
void addTrapOid(netsnmp_variable_list** vars, const char* trapObject) {
  oid name[kOidRoom + 1];
  size_t nameLen;
  if (!lookup("SNMPv2-MIB", "snmpTrapOID", name, &nameLen)) {
    ts_print("Warning: snmpTrapOID not found in MIB file.\n");
    nameLen = sizeof kStandardTrapOid / sizeof(oid);
    memcpy(name, kStandardTrapOid, sizeof kStandardTrapOid);
  }
  name[nameLen++] = 0;
  oid value[kOidRoom];
  size_t valueLen;
  if (!lookup("TARN-MIB", trapObject, value, &valueLen)) {
    warnMissing(trapObject);
    valueLen = sizeof kZeroDotZero / sizeof(oid);
    memcpy(value, kZeroDotZero, sizeof kZeroDotZero);
  }
  snmp_varlist_add_variable(vars, name, nameLen, ASN_OBJECT_ID, value, valueLen * sizeof(oid));
}

// Adds one field binding, named by the object's identifier without instance.
void addField(netsnmp_variable_list** vars, const TrapBinding& binding,
              const unsigned char* record) {
  oid name[kOidRoom];
  size_t nameLen;
  if (!lookup("TARN-MIB", binding.object, name, &nameLen)) {
    warnMissing(binding.object);
    return;
  }
  const unsigned char* field = record + binding.offset;
  if (binding.kind == TRAP_TEXT) {
    const char* text = reinterpret_cast<const char*>(field);
    snmp_varlist_add_variable(vars, name, nameLen, ASN_OCTET_STR, text,
                              strnlen(text, EVENT_TEXT_SIZE));
    return;
  }
  uint32_t gauge;
  if (binding.kind == TRAP_GAUGE_LOW64) {
    int64_t wide;
    memcpy(&wide, field, sizeof wide);
    gauge = static_cast<uint32_t>(static_cast<uint64_t>(wide));
  } else {
    int32_t narrow;
    memcpy(&narrow, field, sizeof narrow);
    gauge = static_cast<uint32_t>(narrow);
  }
  snmp_varlist_add_variable(vars, name, nameLen, ASN_GAUGE, &gauge, sizeof gauge);
}

void sendOne(const QueuedTrap& queued) {
  netsnmp_variable_list* vars = buildTrapVarbinds(queued.trap, queued.record);
  if (sendFunction != nullptr) {
    sendFunction(vars);
  } else {
    send_v2trap(vars);
  }
  snmp_free_varbind(vars);
  queued.trap->destroy(queued.record);
}

void wake() {
  char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost by a failed write.
  if (wakeWrite >= 0 && write(wakeWrite, &byte, 1) < 0 && errno != EAGAIN) {
    ts_print("Warning: trap wake-up pipe write failed\n");
  }
}

// The main loop's callback for the wake-up pipe.
void onTrapsQueued(int fd, void* unused) {
  (void)unused;
  char drain[256];
  while (read(fd, drain, sizeof drain) > 0) {
  }
  deliverQueuedTraps(kBatch);
  if (queuedTrapCount() > 0) wake();
}

void onNoDelayAlarm(unsigned int reg, void* unused) {
  (void)reg;
  (void)unused;
  setAgentXNoDelay();
}

// True for a connected TCP socket whose peer port is the AgentX port.
bool isAgentXConnection(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
  struct sockaddr_storage peer;
  socklen_t peerLen = sizeof peer;
  if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerLen) != 0) return false;
  const uint16_t agentXPort = htons(705);
  if (peer.ss_family == AF_INET) {
    return reinterpret_cast<struct sockaddr_in*>(&peer)->sin_port == agentXPort;
  }
  if (peer.ss_family == AF_INET6) {
    return reinterpret_cast<struct sockaddr_in6*>(&peer)->sin6_port == agentXPort;
  }
  return false;
}

}  // namespace

const TrapDescription* trapDescriptions(int* count) {
  *count = kTrapCount;
  return kTraps;
}

netsnmp_variable_list* buildTrapVarbinds(const TrapDescription* trap, const Event* record) {
  netsnmp_variable_list* vars = nullptr;
  addTrapOid(&vars, trap->trapObject);
  const unsigned char* bytes = trap->recordBytes(record);
  for (int i = 0; i < trap->bindingCount; i++) {
    addField(&vars, trap->bindings[i], bytes);
  }
  return vars;
}

int queueTrap(const TrapDescription* trap, Event* record) {
  bool wasEmpty;
  {
    ScopedLock lock(&queueMutex);
    wasEmpty = queue.empty();
    queue.push_back(QueuedTrap{trap, record});
  }
  if (wasEmpty) wake();
  return 0;
}

int deliverQueuedTraps(int max) {
  int sent = 0;
  while (sent < max) {
    QueuedTrap next;
    {
      ScopedLock lock(&queueMutex);
      if (queue.empty()) break;
      next = queue.front();
      queue.pop_front();
    }
    sendOne(next);
    sent++;
  }
  return sent;
}

size_t queuedTrapCount() {
  ScopedLock lock(&queueMutex);
  return queue.size();
}

void setTrapSendFunction(void (*send)(netsnmp_variable_list* vars)) { sendFunction = send; }

int setAgentXNoDelay() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  int changed = 0;
  int own = dirfd(dir);
  for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    char* end;
    long fd = strtol(entry->d_name, &end, 10);
    if (*end != '\0' || end == entry->d_name || fd == own) continue;
    int fdi = static_cast<int>(fd);
    if (!isAgentXConnection(fdi)) continue;
    int on = 0;
    socklen_t len = sizeof on;
    if (getsockopt(fdi, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on) continue;
    on = 1;
    if (setsockopt(fdi, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) changed++;
  }
  closedir(dir);
  return changed;
}

int initTrapDelivery() {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    char message[160];
    snprintf(message, sizeof message, "Error: cannot create the trap wake-up pipe: %s\n",
             strerror(errno));
    ts_print(message);
    return -1;
  }
  if (register_readfd(fds[0], onTrapsQueued, nullptr) != FD_REGISTERED_OK) {
    ts_print("Error: cannot register the trap wake-up pipe with the SNMP library\n");
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  wakeRead = fds[0];
  wakeWrite = fds[1];
  setAgentXNoDelay();
  if (snmp_alarm_register(1, SA_REPEAT, onNoDelayAlarm, nullptr) == 0) {
    ts_print("Warning: cannot register the AgentX no-delay check; walks may stall with traps\n");
  }
  // Traps queued before delivery was set up go out at the first turn of the main loop.
  wake();
  return 0;
}

#define TN_SENDER(trapObject, row)                         \
  int send_##trapObject##_trap(Event* event, void* data) { \
    (void)data;                                            \
    if (event == nullptr) return 0;                        \
    return queueTrap(&kTraps[row], event);                 \
  }

TN_SENDER(tarnMountTrap, 0)
TN_SENDER(tarnUnmountTrap, 1)
TN_SENDER(tarnAddDiskTrap, 2)
TN_SENDER(tarnDeleteDiskTrap, 3)
TN_SENDER(tarnChangeDiskTrap, 4)
TN_SENDER(tarnSgmgrTakeoverTrap, 5)
TN_SENDER(tarnNodeFailureTrap, 6)
TN_SENDER(tarnNodeRecoveryTrap, 7)
TN_SENDER(tarnFileSystemCreationTrap, 8)
TN_SENDER(tarnFileSystemDeletionTrap, 9)
TN_SENDER(tarnFileSystemStateChangeTrap, 10)
TN_SENDER(tarnNewConnectionTrap, 11)
TN_SENDER(tarnEventCollectionBufferOverflowTrap, 12)
TN_SENDER(tarnHungThreadTrap, 13)
TN_SENDER(tarnStgPoolUtilizationTrap, 14)

#undef TN_SENDER
