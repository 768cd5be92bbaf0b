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
#include "api/api_event_counts.h"
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

void setNumber(netsnmp_variable_list* var, u_char type, uint64_t value) {
  if (type == ASN_COUNTER64) {
    const struct counter64 wide = {value >> 32, value & 0xFFFFFFFFu};
    snmp_set_var_typed_value(var, ASN_COUNTER64, &wide, sizeof wide);
  } else if (type == ASN_INTEGER) {
    const long number = static_cast<long>(value);
    snmp_set_var_typed_value(var, ASN_INTEGER, &number, sizeof number);
  } else {
    const uint32_t number = static_cast<uint32_t>(value);
    snmp_set_var_typed_value(var, type, &number, sizeof number);
  }
}

// One row of the event table: the event type and the word its lines carry.
struct EventRow {
  int type;
  const char* word;
};

const EventRow kEventRows[] = {
    {EVENT_MOUNT, "mount"},
    {EVENT_UNMOUNT, "unmount"},
    {EVENT_ADDDISK, "adddisk"},
    {EVENT_DELDISK, "deldisk"},
    {EVENT_CHDISK, "chdisk"},
    {EVENT_TAKEOVER, "takeover"},
    {EVENT_FAILURE, "failure"},
    {EVENT_RECOVERY, "recovery"},
    {EVENT_CREATEFS, "createfs"},
    {EVENT_DELETEFS, "deletefs"},
    {EVENT_FSSTATECHANGE, "fsstatechange"},
    {EVENT_NEWCONNECTION, "newconnection"},
    {EVENT_EXCEPTION, "exception"},
    {EVENT_SGSTATS, "sgStats"},
    {EVENT_HUNGTHREAD, "hungthread"},
    {EVENT_POOLUTIL, "poolutil"},
    {EVENT_SDRCHANGED, "sdrChanged"},
};
const size_t kEventRowCount = sizeof kEventRows / sizeof kEventRows[0];

uint64_t eventsReceivedOf(const EventRow& row) { return eventsOfTypeCount(row.type); }
uint64_t trapsSentOf(const EventRow& row) { return trapsSentOfTypeCount(row.type); }
uint64_t lastEventAgeOf(const EventRow& row) {
  const int64_t last = lastEventOfTypeMicros(row.type);
  if (last < 0) return 0xFFFFFFFFu;
  const uint64_t seconds = static_cast<uint64_t>(monotonicMicros() - last) / 1000000;
  return seconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : seconds;
}

// One numeric column of the event table (the name, column 2, is text).
struct EventColumn {
  unsigned int column;
  u_char type;
  uint64_t (*read)(const EventRow& row);
};

const unsigned int kEventNameColumn = 2;
const EventColumn kEventColumns[] = {
    {3, ASN_COUNTER64, eventsReceivedOf},
    {4, ASN_COUNTER64, trapsSentOf},
    {5, ASN_GAUGE, lastEventAgeOf},
};

// Sets var to column of row; false (var untouched) for a column the table lacks.
bool setEventCell(netsnmp_variable_list* var, const EventRow& row, unsigned int column) {
  if (column == kEventNameColumn) {
    snmp_set_var_typed_value(var, ASN_OCTET_STR, row.word, strlen(row.word));
    return true;
  }
  for (const EventColumn& c : kEventColumns) {
    if (c.column != column) continue;
    setNumber(var, c.type, c.read(row));
    return true;
  }
  return false;
}

// The iterator's walk over kEventRows; the loop and data contexts are rows.
netsnmp_variable_list* eventRowAt(void** loopContext, void** dataContext,
                                  netsnmp_variable_list* index, size_t position) {
  if (position >= kEventRowCount) return nullptr;
  const EventRow* row = &kEventRows[position];
  *loopContext = const_cast<EventRow*>(row);
  *dataContext = const_cast<EventRow*>(row);
  const long number = static_cast<long>(position + 1);
  snmp_set_var_value(index, &number, sizeof number);
  return index;
}

netsnmp_variable_list* eventFirst(void** loopContext, void** dataContext,
                                  netsnmp_variable_list* index, netsnmp_iterator_info*) {
  return eventRowAt(loopContext, dataContext, index, 0);
}

netsnmp_variable_list* eventNext(void** loopContext, void** dataContext,
                                 netsnmp_variable_list* index, netsnmp_iterator_info*) {
  const EventRow* row = static_cast<const EventRow*>(*loopContext);
  return eventRowAt(loopContext, dataContext, index, static_cast<size_t>(row - kEventRows) + 1);
}

int tarnAgentEventTable_handler(netsnmp_mib_handler*, netsnmp_handler_registration*,
                                netsnmp_agent_request_info* reqinfo,
                                netsnmp_request_info* requests) {
  requestsServed++;
  if (reqinfo == nullptr || reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed) continue;
    const EventRow* row = static_cast<const EventRow*>(netsnmp_extract_iterator_context(request));
    netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
    if (row != nullptr && info != nullptr) setEventCell(request->requestvb, *row, info->colnum);
  }
  return SNMP_ERR_NOERROR;
}

// Registers the event table when the MIB names it.
void registerEventTable() {
  oid name[64];
  size_t length = 64;
  if (!read_objid("TARN-MIB:tarnAgentEventTable", name, &length)) {
    ts_print("Warning: object tarnAgentEventTable not found in MIB file.\n");
    return;
  }
  netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
      "tarnAgentEventTable", tarnAgentEventTable_handler, name, length, HANDLER_CAN_RONLY);
  netsnmp_table_registration_info* tinfo = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_iterator_info* iinfo = SNMP_MALLOC_TYPEDEF(netsnmp_iterator_info);
  if (reg == nullptr || tinfo == nullptr || iinfo == nullptr) {
    ts_print("Error: out of memory registering a MIB table.\n");
    return;
  }
  snmp_varlist_add_variable(&tinfo->indexes, nullptr, 0, ASN_INTEGER, nullptr, 0);
  tinfo->min_column = kEventNameColumn;
  tinfo->max_column = kEventColumns[sizeof kEventColumns / sizeof kEventColumns[0] - 1].column;
  iinfo->get_first_data_point = eventFirst;
  iinfo->get_next_data_point = eventNext;
  iinfo->flags |= NETSNMP_ITERATOR_FLAG_SORTED;
  iinfo->table_reginfo = tinfo;
  netsnmp_register_table_iterator(reg, iinfo);
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
  registerEventTable();
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
    if (!request->processed) setNumber(request->requestvb, scalar->type, scalar->read());
  }
  return SNMP_ERR_NOERROR;
}
