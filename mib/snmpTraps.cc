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
// for a request. Its callback sends the queued traps in queue order, which is
// the order the daemon sent the events (look-ups, bindings, send_v2trap,
// free, delete the record). The queue holds at most kMaxQueuedTraps: a burst
// of tens of thousands fits, but a master that reads nothing for hours must
// not grow the agent without end, so past that a sender deletes its record,
// counts it in trapsDropped and says so at most once a minute. A trap whose
// turn comes while the library has no session with the master (stopped, or
// not yet reconnected) reaches no one: it is counted as dropped, not sent.
//
// The queue, its mutex and the look-up cache live for the whole process and
// are never destroyed: a path to exit on another thread (a lost daemon
// connection) must not destroy them under a sender. The orderly stop joins
// the senders' thread first and then discards what is left.
//
// Traps must not hold requests up. Requests and traps share the one AgentX
// connection, and the master handles what arrives on it in order, more slowly
// than this agent can send: a burst written at full speed would sit in the
// master's receive queue, and every response of a walk would wait behind it.
// So the callback sends one trap at a time, and before each one:
// - when the master has written to us (a request, or its answer to a trap),
//   it returns to the main loop, which reads that first and calls back at
//   once through the pipe; a request also marks the next 20 ms as serving;
// - when the master has not yet read more than a few of our traps (2 KB; none
//   at all while serving), it waits on a timer descriptor: half
//   a millisecond at first, twice as long after each wait without progress,
//   up to kMaxBacklogWaitNanos, so a master that reads nothing wakes this
//   loop a few times a second rather than thousands. Whatever the master
//   writes (its answer to a trap, a request) starts the waits at half a
//   millisecond again (the AgentX watch below).
// A request thus waits behind at most one trap here and none in the master,
// and a burst still goes out at thousands of traps a second.
//
// What the master has not read yet, the kernel knows. Over TCP it is the
// receive queue of the master's end of the connection, which the socket
// diagnostics (netlink, sock_diag) report. Over a UNIX stream socket a sent
// buffer stays charged to the sender until the reader has consumed it, so
// SIOCOUTQ on our end counts what waits in the master's receive queue (with
// the kernel's bookkeeping per buffer, so a few traps make up the 2 KB).
// Without either the traps would go out unpaced, and over a UNIX socket a
// walk during a burst of 20,000 traps then got no answer at all.
//
// Over TCP, Net-SNMP leaves Nagle's algorithm on at
// both ends. Ours: a trap followed by a response waits for the master's
// delayed acknowledgement. The master's: its next request waits until we
// acknowledge its answer to our last trap, which the kernel delays by up to
// 40 ms when we have nothing to send back. Either way walks and traps stall
// each other (a walk of a few hundred objects took seconds at 100 traps a
// second). So the main thread sets TCP_NODELAY on our end, and acknowledges
// at once (TCP_QUICKACK) whatever the master sent, right after the library
// has read it: an epoll set of the AgentX connections is registered with the
// main loop, whose callback runs in the same turn as the library's read. The
// connection is the socket of the library's own AgentX session: the agent
// library's main_session, which it sets when it connects to the master and
// replaces when it reconnects, through snmp_sess_pointer and
// snmp_sess_transport. It is looked up at start-up and once a second from an
// alarm, which covers the reconnections. (Relied on, and tested end to end:
// main_session is the AgentX session and its transport's socket the TCP or
// UNIX connection; the master answers each notification, type 18.)
//
// Why the master's unread bytes and not a count of its answers: the library
// matches the master's answers to our notifications inside its own session
// code and hands us none of them, and it sends a notification again when
// the answer is late, so a count of our own would drift; the kernel's count
// of unread bytes on the master's end is exact, whatever the library does.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "mib/snmpTraps.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/scoped.h"
#include "api/api_event.h"
#include "snmp/dl.h"

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
// Traps sent per call of the main loop's callback before it returns to the loop.
const int kBatch = 64;
// Most traps waiting for the main thread; a sender drops its record beyond.
const size_t kMaxQueuedTraps = 50000;
// Seconds between two overflow warnings.
const int64_t kDropWarnSeconds = 60;

struct QueuedTrap {
  const TrapDescription* trap;
  Event* record;
};

pthread_mutex_t queueMutex = PTHREAD_MUTEX_INITIALIZER;
std::deque<QueuedTrap>& queue = *new std::deque<QueuedTrap>;
// Traps dropped for one reason, told to the operator at most once per
// kDropWarnSeconds.
struct DropWarning {
  int64_t warnedAt = 0;  // monotonic seconds of the last warning; 0 for never
  uint64_t since = 0;    // drops since then
  // Counts one drop in trapsDropped; the number to warn about when a
  // warning is due, else 0.
  uint64_t note();
};
DropWarning queueFull;  // under queueMutex
DropWarning noMaster;   // main thread only
std::atomic<uint64_t> trapsSent{0};
std::atomic<uint64_t> trapsSentByType[EVENT_TYPE_COUNT];
std::atomic<uint64_t> trapsDropped{0};
int wakeRead = -1;
int wakeWrite = -1;
void (*sendFunction)(netsnmp_variable_list*) = nullptr;

// Identifiers already looked up, by name (main thread only). A name missing
// from the MIB is not kept, so its warning comes with every trap.
std::unordered_map<std::string, std::vector<oid>>& oidCache =
    *new std::unordered_map<std::string, std::vector<oid>>;

// Looks module:object up into buf (kOidRoom sub-identifiers); false when the
// MIB lacks it.
bool lookup(const char* module, const char* object, oid* buf, size_t* len) {
  char name[160];
  snprintf(name, sizeof name, "%s:%s", module, object);
  auto known = oidCache.find(name);
  if (known != oidCache.end()) {
    *len = known->second.size();
    memcpy(buf, known->second.data(), *len * sizeof(oid));
    return true;
  }
  *len = kOidRoom;
  if (read_objid(name, buf, len) == 0) return false;
  oidCache.emplace(name, std::vector<oid>(buf, buf + *len));
  return true;
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
    warnMibObjectMissing(trapObject);
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
    warnMibObjectMissing(binding.object);
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

uint64_t DropWarning::note() {
  trapsDropped.fetch_add(1, std::memory_order_relaxed);
  since++;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (warnedAt != 0 && now.tv_sec - warnedAt < kDropWarnSeconds) return 0;
  warnedAt = now.tv_sec != 0 ? now.tv_sec : 1;
  uint64_t dropped = since;
  since = 0;
  return dropped;
}

void warnDrops(uint64_t dropped) {
  char message[200];
  snprintf(message, sizeof message,
           "Warning: trap queue full (%zu traps waiting for the master), %llu traps dropped\n",
           kMaxQueuedTraps, static_cast<unsigned long long>(dropped));
  ts_print(message);
}

// Without an AgentX session the library hands a trap to no one: while the
// master is away (stopped, or not yet reconnected) a trap is lost, and is
// counted so rather than as sent.
void sendOne(const QueuedTrap& queued) {
  if (sendFunction == nullptr && agentXSessionSocket() < 0) {
    const uint64_t dropped = noMaster.note();
    if (dropped > 0) {
      char message[160];
      snprintf(message, sizeof message,
               "Warning: no connection to the master agent, %llu traps dropped\n",
               static_cast<unsigned long long>(dropped));
      ts_print(message);
    }
  } else {
    netsnmp_variable_list* vars = buildTrapVarbinds(queued.trap, queued.record);
    if (sendFunction != nullptr) {
      sendFunction(vars);
    } else {
      send_v2trap(vars);
    }
    trapsSent.fetch_add(1, std::memory_order_relaxed);
    trapsSentByType[queued.trap->eventType].fetch_add(1, std::memory_order_relaxed);
    snmp_free_varbind(vars);
  }
  queued.trap->destroy(queued.record);
}

// The PDU type of the master's answers to our traps.
const unsigned char kAgentXResponse = 18;

// An AgentX connection found by the last scan, with the identity of the
// master's end of it for the socket diagnostics.
struct AgentXConnection {
  int fd;
  bool local;  // a UNIX stream socket: SIOCOUTQ counts what the master left unread
  bool diagnosable;
  uint8_t family;
  struct inet_diag_sockid masterSide;
};
// Main thread only.
std::vector<AgentXConnection>& agentXConnections = *new std::vector<AgentXConnection>;
// The same connections in an epoll set, which the main loop watches through
// one descriptor that never closes (the library closes and reopens the
// connections themselves).
int agentXWatch = -1;
// Most bytes of ours the master may leave unread before the next trap waits:
// while requests come in, nothing may wait ahead of our responses; otherwise
// a few traps keep the master busy without queueing up.
const uint32_t kMaxMasterBacklogServing = 0;
const uint32_t kMaxMasterBacklog = 2048;
// Requests are being served when one came in within this time.
const int64_t kServingMicros = 20000;
// How long a trap waits for the master to catch up: the first wait, and the
// longest after waits without progress.
const long kBacklogWaitNanos = 500000;
const long kMaxBacklogWaitNanos = 250000000;
long backlogWait = kBacklogWaitNanos;
// The last time a request of the master was seen (monotonic microseconds).
int64_t lastRequestMicros = -kServingMicros;
// The master answers our traps within this time of our last one, the library's
// own re-sends (five, a second apart) included; outside it nothing of ours
// waits for an acknowledgement, and our responses carry theirs.
const int64_t kTrapAnswerMicros = 10000000;
// The last time a trap went to the master (monotonic microseconds).
int64_t lastTrapMicros = -kTrapAnswerMicros;
int retryTimer = -1;
int diagSocket = -1;

void wake() {
  char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost by a failed write.
  if (wakeWrite >= 0 && write(wakeWrite, &byte, 1) < 0 && errno != EAGAIN) {
    ts_print("Warning: trap wake-up pipe write failed\n");
  }
}

// True when the master has written to one of our AgentX connections.
// When it is a request rather than an answer to one of our traps, notes the
// time, so that traps make way for the requests that follow it.
bool masterWrote() {
  struct epoll_event event;
  if (agentXWatch < 0 || epoll_wait(agentXWatch, &event, 1, 0) <= 0) return false;
  // An AgentX header begins with the version and the PDU type.
  unsigned char header[2];
  if (recv(event.data.fd, header, sizeof header, MSG_PEEK | MSG_DONTWAIT) == 2 &&
      header[1] != kAgentXResponse) {
    lastRequestMicros = monotonicMicros();
  }
  return true;
}

uint32_t backlogAllowed() {
  bool serving = monotonicMicros() - lastRequestMicros < kServingMicros;
  return serving ? kMaxMasterBacklogServing : kMaxMasterBacklog;
}

// Acknowledges at once what the master sent, instead of after the delayed
// acknowledgement timer: until then the master holds its next request back
// (Nagle), behind its answer to our last trap.
void acknowledgeMaster() {
  int on = 1;
  for (const AgentXConnection& connection : agentXConnections) {
    if (!connection.local) setsockopt(connection.fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }
}

// Adds fd to the watched AgentX connections (a closed one leaves the set by itself).
void watchAgentX(int fd) {
  struct epoll_event event = {};
  event.events = EPOLLIN;
  event.data.fd = fd;
  if (agentXWatch >= 0) epoll_ctl(agentXWatch, EPOLL_CTL_ADD, fd, &event);
}

// The port and address of an IPv4 or IPv6 socket address; false for others.
bool endpoint(const struct sockaddr_storage& address, uint16_t* port, const void** bytes,
              size_t* size) {
  if (address.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const struct sockaddr_in*>(&address);
    *port = in->sin_port;
    *bytes = &in->sin_addr;
    *size = sizeof in->sin_addr;
    return true;
  }
  if (address.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&address);
    *port = in6->sin6_port;
    *bytes = &in6->sin6_addr;
    *size = sizeof in6->sin6_addr;
    return true;
  }
  return false;
}

// Describes connection fd for the socket diagnostics: the master's end of it,
// whose source is our peer and whose destination is us.
AgentXConnection describeConnection(int fd) {
  AgentXConnection c = {};
  c.fd = fd;
  struct sockaddr_storage local, peer;
  socklen_t localLen = sizeof local, peerLen = sizeof peer;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &localLen) != 0 ||
      getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerLen) != 0) {
    return c;
  }
  if (local.ss_family == AF_UNIX) {
    c.local = true;
    return c;
  }
  const void *peerBytes, *localBytes;
  size_t peerSize, localSize;
  if (!endpoint(peer, &c.masterSide.idiag_sport, &peerBytes, &peerSize) ||
      !endpoint(local, &c.masterSide.idiag_dport, &localBytes, &localSize)) {
    return c;
  }
  memcpy(c.masterSide.idiag_src, peerBytes, peerSize);
  memcpy(c.masterSide.idiag_dst, localBytes, localSize);
  c.masterSide.idiag_cookie[0] = c.masterSide.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  c.family = static_cast<uint8_t>(peer.ss_family);
  c.diagnosable = true;
  return c;
}

// Bytes we sent on the connection that the master has not read yet; 0 when
// unknown (no socket diagnostics, or the master in another network namespace).
uint32_t masterBacklog(const AgentXConnection& connection) {
  if (connection.local) {
    int queued = 0;
    return ioctl(connection.fd, SIOCOUTQ, &queued) == 0 && queued > 0
               ? static_cast<uint32_t>(queued)
               : 0;
  }
  struct {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
  } query = {};
  if (!connection.diagnosable) return 0;
  if (diagSocket < 0) diagSocket = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diagSocket < 0) return 0;
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = connection.family;
  query.request.sdiag_protocol = IPPROTO_TCP;
  query.request.idiag_states = ~0U;
  query.request.id = connection.masterSide;
  if (send(diagSocket, &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) return 0;
  alignas(struct nlmsghdr) char answer[1024];
  ssize_t got = recv(diagSocket, answer, sizeof answer, 0);
  auto* header = reinterpret_cast<struct nlmsghdr*>(answer);
  if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(struct inet_diag_msg))) ||
      header->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
    return 0;
  }
  return reinterpret_cast<struct inet_diag_msg*>(NLMSG_DATA(header))->idiag_rqueue;
}

void waitForMaster() {
  struct itimerspec once = {};
  once.it_value.tv_nsec = backlogWait;
  backlogWait = backlogWait * 2 > kMaxBacklogWaitNanos ? kMaxBacklogWaitNanos : backlogWait * 2;
  if (retryTimer < 0 || timerfd_settime(retryTimer, 0, &once, nullptr) != 0) wake();
}

// Sends queued traps one by one while the master keeps up and has nothing
// for us; otherwise arranges to be called again (see the design note).
void deliverPaced() {
  for (int i = 0; i < kBatch; i++) {
    if (queuedTrapCount() == 0) return;
    if (masterWrote()) {
      wake();
      return;
    }
    if (agentXMasterBacklog() > backlogAllowed()) {
      waitForMaster();
      return;
    }
    backlogWait = kBacklogWaitNanos;
    deliverQueuedTraps(1);
  }
  if (queuedTrapCount() > 0) wake();
}

// The main loop's callbacks for the wake-up pipe and the retry timer.
void onTrapsQueued(int fd, void* unused) {
  (void)unused;
  char drain[256];
  while (read(fd, drain, sizeof drain) > 0) {
  }
  deliverPaced();
}

// Called in the same turn of the main loop as the library's read of the
// master's data, right after it.
void onMasterWrote(int fd, void* unused) {
  (void)fd;
  (void)unused;
  // Only an answer to a trap of ours is left waiting for the delayed
  // acknowledgement; a request is acknowledged by our response. An extra
  // acknowledgement for every request costs a walk a tenth of its time.
  if (monotonicMicros() - lastTrapMicros < kTrapAnswerMicros) acknowledgeMaster();
  // It may have read our traps: no need to wait out the timer.
  backlogWait = kBacklogWaitNanos;
}

void onRetryTimer(int fd, void* unused) {
  (void)unused;
  uint64_t expirations;
  if (read(fd, &expirations, sizeof expirations) < 0 && errno != EAGAIN) return;
  deliverPaced();
}

void onNoDelayAlarm(unsigned int reg, void* unused) {
  (void)reg;
  (void)unused;
  setAgentXNoDelay();
}

// Registers fd's callback with the library's main loop; false after logging.
bool registerMainLoopFd(int fd, void (*callback)(int, void*), const char* what) {
  if (register_readfd(fd, callback, nullptr) == FD_REGISTERED_OK) return true;
  char message[160];
  snprintf(message, sizeof message, "Error: cannot register the %s with the SNMP library\n", what);
  ts_print(message);
  return false;
}

}  // namespace

const TrapDescription* trapDescriptions(int* count) {
  *count = kTrapCount;
  return kTraps;
}

int checkTrapObjects() {
  int missing = 0;
  oid name[kOidRoom];
  size_t length;
  for (const TrapDescription& trap : kTraps) {
    if (!lookup("TARN-MIB", trap.trapObject, name, &length)) {
      warnMibObjectMissing(trap.trapObject);
      missing++;
    }
    for (int b = 0; b < trap.bindingCount; b++) {
      if (lookup("TARN-MIB", trap.bindings[b].object, name, &length)) continue;
      warnMibObjectMissing(trap.bindings[b].object);
      missing++;
    }
  }
  return missing;
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
  bool wasEmpty = false;
  uint64_t warnDropped = 0;
  {
    ScopedLock lock(&queueMutex);
    if (queue.size() < kMaxQueuedTraps) {
      wasEmpty = queue.empty();
      queue.push_back(QueuedTrap{trap, record});
      record = nullptr;
    } else {
      warnDropped = queueFull.note();
    }
  }
  if (record != nullptr) trap->destroy(record);
  if (warnDropped > 0) warnDrops(warnDropped);
  if (wasEmpty) wake();
  return 0;
}

size_t discardQueuedTraps() {
  std::deque<QueuedTrap> left;
  {
    ScopedLock lock(&queueMutex);
    left.swap(queue);
  }
  for (const QueuedTrap& queued : left) queued.trap->destroy(queued.record);
  trapsDropped.fetch_add(left.size(), std::memory_order_relaxed);
  return left.size();
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
  if (sent > 0) lastTrapMicros = monotonicMicros();
  return sent;
}

uint64_t trapsSentCount() { return trapsSent.load(std::memory_order_relaxed); }

uint64_t trapsSentOfTypeCount(int eventType) {
  if (eventType < 0 || eventType >= EVENT_TYPE_COUNT) return 0;
  return trapsSentByType[eventType].load(std::memory_order_relaxed);
}

uint64_t trapsDroppedCount() { return trapsDropped.load(std::memory_order_relaxed); }

size_t queuedTrapCount() {
  ScopedLock lock(&queueMutex);
  return queue.size();
}

void setTrapSendFunction(void (*send)(netsnmp_variable_list* vars)) { sendFunction = send; }

uint32_t agentXMasterBacklog() {
  uint32_t most = 0;
  for (const AgentXConnection& connection : agentXConnections) {
    uint32_t unread = masterBacklog(connection);
    if (unread > most) most = unread;
  }
  return most;
}

int agentXSessionSocket() {
  auto* session = static_cast<netsnmp_session**>(dlib.main_session);
  if (session == nullptr || *session == nullptr) return -1;
  void* internal = snmp_sess_pointer(*session);
  netsnmp_transport* transport = internal != nullptr ? snmp_sess_transport(internal) : nullptr;
  return transport != nullptr ? transport->sock : -1;
}

int watchAgentXConnection(int fd) {
  agentXConnections.clear();
  if (fd < 0) return 0;
  agentXConnections.push_back(describeConnection(fd));
  watchAgentX(fd);
  int on = 0;
  socklen_t len = sizeof on;
  if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len) == 0 && on) return 0;
  on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 1 : 0;
}

int setAgentXNoDelay() { return watchAgentXConnection(agentXSessionSocket()); }

int initTrapDelivery() {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    char message[160];
    snprintf(message, sizeof message, "Error: cannot create the trap wake-up pipe: %s\n",
             strerror(errno));
    ts_print(message);
    return -1;
  }
  if (!registerMainLoopFd(fds[0], onTrapsQueued, "trap wake-up pipe")) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  wakeRead = fds[0];
  wakeWrite = fds[1];
  // Without the timer or the diagnostics, traps are paced by the pipe alone.
  retryTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (retryTimer >= 0 && !registerMainLoopFd(retryTimer, onRetryTimer, "trap retry timer")) {
    close(retryTimer);
    retryTimer = -1;
  }
  agentXWatch = epoll_create1(EPOLL_CLOEXEC);
  if (agentXWatch >= 0 && !registerMainLoopFd(agentXWatch, onMasterWrote, "AgentX watch")) {
    close(agentXWatch);
    agentXWatch = -1;
  }
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
