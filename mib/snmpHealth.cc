#include "mib/snmpHealth.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/tarnInfo.h"
#include "api/api_conn.h"
#include "api/api_conn_element.h"
#include "api/api_event.h"
#include "api/api_poll.h"
#include "api/api_records.h"
#include "mib/snmpRefresh.h"
#include "mib/snmpTables.h"
#include "mib/snmpTraps.h"

namespace {

const int kTruthTrue = 1;
const int kTruthFalse = 2;

// Age in seconds of a stamp at now, clamped to what a Gauge32 holds.
uint64_t secondsSince(const struct timeval& stamp, time_t now) {
  const int64_t age = static_cast<int64_t>(now) - static_cast<int64_t>(stamp.tv_sec);
  if (age < 0) return 0;
  return age > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint64_t>(age);
}

// True while element holds an open connection whose peer has not hung up. A
// peek never takes bytes from the reader that owns the connection.
bool connectionUp(const TnperfWrapperUtils* wrapper) {
  if (wrapper == nullptr || wrapper->element() == nullptr) return false;
  const int fd = wrapper->element()->liveSocket();
  if (fd < 0) return false;
  struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  if ((p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0) return false;
  if ((p.revents & POLLIN) == 0) return true;
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

uint64_t commandConnection() {
  const PollingHandler* handler = thePollingHandler;
  return connectionUp(handler != nullptr ? handler->utils : nullptr) ? kTruthTrue : kTruthFalse;
}

uint64_t eventConnection() {
  const EventsHandler* handler = theEventsHandler;
  return connectionUp(handler != nullptr ? handler->wrapper : nullptr) ? kTruthTrue : kTruthFalse;
}

// While a level's polls fail, its data is as old as its last good poll.
uint64_t ageNow(DataLevel level) {
  const time_t now = static_cast<time_t>(stampSeconds());
  time_t since = 0;
  if (!pollsFailingSince(level, &since)) return dataAge(myCluster, level, now);
  const struct timeval stamp = {since, 0};
  return secondsSince(stamp, now);
}
uint64_t clusterAge() { return ageNow(DATA_CLUSTER); }
uint64_t nodeAge() { return ageNow(DATA_NODES); }
uint64_t fileSystemAge() { return ageNow(DATA_FILESYSTEMS); }
uint64_t poolAge() { return ageNow(DATA_POOLS); }
uint64_t diskAge() { return ageNow(DATA_DISKS); }
uint64_t pollFailures() { return pollFailureCount(); }
uint64_t eventsReceived() { return eventsReceivedCount(); }
uint64_t trapsSent() { return trapsSentCount(); }
uint64_t trapsDropped() { return trapsDroppedCount(); }
uint64_t eventsDropped() { return eventsDroppedCount(); }

// One scalar: its object, the type it is sent as, and its value.
struct HealthScalar {
  const char* object;
  u_char type;
  uint64_t (*read)();
};

const HealthScalar kScalars[] = {
    {"tarnAgentCommandConnection", ASN_INTEGER, commandConnection},
    {"tarnAgentEventConnection", ASN_INTEGER, eventConnection},
    {"tarnAgentClusterDataAge", ASN_GAUGE, clusterAge},
    {"tarnAgentNodeDataAge", ASN_GAUGE, nodeAge},
    {"tarnAgentFileSystemDataAge", ASN_GAUGE, fileSystemAge},
    {"tarnAgentStgPoolDataAge", ASN_GAUGE, poolAge},
    {"tarnAgentDiskDataAge", ASN_GAUGE, diskAge},
    {"tarnAgentPollFailures", ASN_COUNTER64, pollFailures},
    {"tarnAgentEventsReceived", ASN_COUNTER64, eventsReceived},
    {"tarnAgentTrapsSent", ASN_COUNTER64, trapsSent},
    {"tarnAgentTrapsDropped", ASN_COUNTER64, trapsDropped},
    {"tarnAgentEventsDropped", ASN_COUNTER64, eventsDropped},
};

const HealthScalar* scalarNamed(const char* name) {
  if (name == nullptr) return nullptr;
  for (const HealthScalar& s : kScalars) {
    if (strcmp(s.object, name) == 0) return &s;
  }
  return nullptr;
}

void setValue(netsnmp_variable_list* var, const HealthScalar& scalar) {
  const uint64_t value = scalar.read();
  if (scalar.type == ASN_COUNTER64) {
    const struct counter64 wide = {value >> 32, value & 0xFFFFFFFFu};
    snmp_set_var_typed_value(var, ASN_COUNTER64, &wide, sizeof wide);
  } else if (scalar.type == ASN_INTEGER) {
    const long number = static_cast<long>(value);
    snmp_set_var_typed_value(var, ASN_INTEGER, &number, sizeof number);
  } else {
    const uint32_t number = static_cast<uint32_t>(value);
    snmp_set_var_typed_value(var, scalar.type, &number, sizeof number);
  }
}

uint64_t older(uint64_t a, uint64_t b) { return a > b ? a : b; }

}  // namespace

uint32_t dataAge(const ClusterInfo* c, DataLevel level, time_t now) {
  if (c == nullptr) return 0xFFFFFFFFu;
  if (level == DATA_CLUSTER) return secondsSince(c->clusterUpdateTime, now);
  if (level == DATA_NODES) return secondsSince(c->nodeUpdateTime, now);
  const uint64_t fsAge =
      older(secondsSince(c->fsUpdateTime, now), secondsSince(c->fsPerfUpdateTime, now));
  if (level == DATA_FILESYSTEMS) return fsAge;
  uint64_t poolAge = 0, diskAge = 0;
  bool anyFs = false, anyPool = false;
  for (const FilesystemInfo* fs : c->fileSystems) {
    if (fs == nullptr) continue;
    anyFs = true;
    poolAge = older(poolAge, secondsSince(fs->poolUpdateTime, now));
    for (const StoragePoolInfo* pool : fs->pools) {
      if (pool == nullptr) continue;
      anyPool = true;
      diskAge = older(diskAge, older(secondsSince(pool->diskUpdateTime, now),
                                     secondsSince(pool->diskPerfUpdateTime, now)));
    }
  }
  if (!anyFs) poolAge = fsAge;
  if (level == DATA_POOLS) return poolAge;
  return anyPool ? diskAge : poolAge;
}

void init_tarnAgentHealth() {
  for (const HealthScalar& scalar : kScalars) {
    char qualified[128];
    snprintf(qualified, sizeof qualified, "TARN-MIB:%s", scalar.object);
    oid name[64];
    size_t length = 64;
    if (!read_objid(qualified, name, &length)) {
      warnMibObjectMissing(scalar.object);
      continue;
    }
    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
        scalar.object, tarnAgentHealth_handler, name, length, HANDLER_CAN_RONLY);
    if (reg != nullptr) netsnmp_register_scalar(reg);
  }
}

int tarnAgentHealth_handler(netsnmp_mib_handler*, netsnmp_handler_registration* reginfo,
                            netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  requestsServed++;
  if (reqinfo == nullptr || reqinfo->mode != MODE_GET || reginfo == nullptr) {
    return SNMP_ERR_NOERROR;
  }
  const HealthScalar* scalar = scalarNamed(reginfo->handlerName);
  if (scalar == nullptr) return SNMP_ERR_NOERROR;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (!request->processed) setValue(request->requestvb, *scalar);
  }
  return SNMP_ERR_NOERROR;
}
