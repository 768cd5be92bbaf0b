// The five families as data: which column objects each table looks up (and
// into which slot), which columns each handler answers and from which field,
// in matching order. One registration routine and one handler routine
// (snmpTables.cc) read these rows.
#include <stddef.h>
#include <stdint.h>

#include "api/api_records.h"
#include "mib/snmpTables.h"

// Each family's column table also has slots, after those of its other
// columns, for the Counter64 column beside each L/H pair: monitoring systems
// cannot join two halves, and halves read at two moments tear when the low
// one wraps.
int clusterColTable[19];
int nodeColTable[26];
int fsColTable[34];
int stgPoolColTable[7];
int diskColTable[37];

namespace {

#define TN_COUNT(array) (sizeof(array) / sizeof((array)[0]))

// Column rows: the slot, the kind, and an expression of the row records r.
#define TN_TEXT(slot, value)                                                    \
  {                                                                             \
    slot, COL_TEXT, [](const RowRecords& r) { return FieldValue{value, 0}; }, 0 \
  }
#define TN_NUMBER(slot, value)                                      \
  {                                                                 \
    slot, COL_NUMBER,                                               \
        [](const RowRecords& r) {                                   \
          return FieldValue{nullptr, static_cast<uint32_t>(value)}; \
        },                                                          \
        0                                                           \
  }
// A 64-bit field: L gets the low half, H the high half, the 64-bit column
// (slot wide) the whole value; with COL_LOW_PAIR, H is always 0.
#define TN_WIDE(slot, kind, wide, value)                            \
  {                                                                 \
    slot, kind,                                                     \
        [](const RowRecords& r) {                                   \
          return FieldValue{nullptr, static_cast<uint64_t>(value)}; \
        },                                                          \
        wide                                                        \
  }
#define TN_PAIR64(slot, wide, value) TN_WIDE(slot, COL_PAIR, wide, value)
// Pool sizes and inode counts: their L/H pairs have always given the low 32
// bits and an H of 0, and keep doing so; the 64-bit column gives the whole value.
#define TN_LOW_PAIR(slot, wide, value) TN_WIDE(slot, COL_LOW_PAIR, wide, value)
// A disk time in seconds, published in microseconds as a pair.
#define TN_TIME(slot, wide, field) TN_PAIR64(slot, wide, diskTimeMicros(r.disk->field))

// ---- Cluster family: one row, read straight from myCluster ----

const ColumnLookup kClusterStatusLookups[] = {
    {"tarnClusterName", 0, false},
    {"tarnClusterId", 1, false},
    {"tarnClusterMinReleaseLevel", 3, false},
    {"tarnClusterNumNodes", 4, false},
    {"tarnClusterNumFileSystems", 5, false},
};
const ColumnLookup kClusterConfigLookups[] = {
    {"tarnClusterUidDomain", 7, false},
    {"tarnClusterRemoteShellCommand", 10, false},
    {"tarnClusterRemoteFileCopyCommand", 11, false},
    {"tarnClusterPrimaryServer", 8, false},
    {"tarnClusterSecondaryServer", 9, false},
    {"tarnClusterMaxBlockSize", 13, false},
    {"tarnClusterDistributedTokenServer", 14, false},
    {"tarnClusterFailureDetectionTime", 15, false},
    {"tarnClusterTCPPort", 16, false},
    {"tarnClusterMinMissedPingTimeout", 17, false},
    {"tarnClusterMaxMissedPingTimeout", 18, false},
};
const ColumnRow kClusterStatusColumns[] = {
    TN_TEXT(0, r.cluster->name),
    TN_TEXT(1, r.cluster->id),
    TN_TEXT(3, r.cluster->minReleaseLevel),
    TN_NUMBER(4, r.cluster->nodes.size()),
    TN_NUMBER(5, r.cluster->fileSystems.size()),
};
const ColumnRow kClusterConfigColumns[] = {
    TN_TEXT(7, r.cluster->uidDomain),
    TN_TEXT(8, r.cluster->primaryServer),
    TN_TEXT(9, r.cluster->secondaryServer),
    TN_TEXT(10, r.cluster->remoteShellCommand),
    TN_TEXT(11, r.cluster->remoteFileCopyCommand),
    TN_NUMBER(13, r.cluster->maxBlockSize),
    TN_NUMBER(14, r.cluster->distributedTokenServer),
    TN_NUMBER(15, r.cluster->failureDetectionTime),
    TN_NUMBER(16, r.cluster->tcpPort),
    TN_NUMBER(17, r.cluster->minMissedPingTimeout),
    TN_NUMBER(18, r.cluster->maxMissedPingTimeout),
};

// ---- Node family ----

// tarnNodeAdmin is looked up with the status table but answered by the
// configuration handler.
const ColumnLookup kNodeStatusLookups[] = {
    {"tarnNodeName", 0, false},       {"tarnNodeIP", 1, false},
    {"tarnNodePlatform", 2, false},   {"tarnNodeAdmin", 5, false},
    {"tarnNodeStatus", 6, false},     {"tarnNodeFailureCount", 7, false},
    {"tarnNodeThreadWait", 8, false}, {"tarnNodeHealthy", 9, false},
    {"tarnNodeDiagnosis", 10, false}, {"tarnNodeVersion", 18, false},
};
const ColumnLookup kNodeConfigLookups[] = {
    {"tarnNodeConfigName", 11, false},
    {"tarnNodeType", 4, false},
    {"tarnNodePagePoolL", 12, true},
    {"tarnNodePrefetchThreads", 13, false},
    {"tarnNodeMaxMbps", 14, false},
    {"tarnNodeMaxFilesToCache", 15, false},
    {"tarnNodeMaxStatCache", 16, false},
    {"tarnNodeWorker1Threads", 17, false},
    {"tarnNodeDmapiEventTimeout", 19, false},
    {"tarnNodeDmapiMountTimeout", 20, false},
    {"tarnNodeDmapiSessFailureTimeout", 21, false},
    {"tarnNodeNsdServerWaitTimeWindowOnMount", 22, false},
    {"tarnNodeNsdServerWaitTimeForMount", 23, false},
    {"tarnNodeUnmountOnDiskFail", 24, false},
    {"tarnNodePagePool", 25, false},
};
const ColumnRow kNodeStatusColumns[] = {
    TN_TEXT(0, r.node->name),           TN_TEXT(1, r.node->ip),
    TN_TEXT(2, r.node->platform),       TN_TEXT(6, r.node->status),
    TN_NUMBER(7, r.node->failureCount), TN_NUMBER(8, r.node->threadWait),
    TN_TEXT(9, r.node->healthy),        TN_TEXT(10, r.node->diagnosis),
    TN_TEXT(18, r.node->version),
};
const ColumnRow kNodeConfigColumns[] = {
    TN_TEXT(11, r.node->name),
    TN_TEXT(4, r.node->type),
    TN_TEXT(5, r.node->admin),
    TN_PAIR64(12, 25, r.node->pagePool),
    TN_NUMBER(13, r.node->prefetchThreads),
    TN_NUMBER(14, r.node->maxMbps),
    TN_NUMBER(15, r.node->maxFilesToCache),
    TN_NUMBER(16, r.node->maxStatCache),
    TN_NUMBER(17, r.node->worker1Threads),
    TN_NUMBER(19, r.node->dmapiEventTimeout),
    TN_NUMBER(20, r.node->dmapiMountTimeout),
    TN_NUMBER(21, r.node->dmapiSessFailureTimeout),
    TN_NUMBER(22, r.node->nsdServerWaitTimeWindowOnMount),
    TN_NUMBER(23, r.node->nsdServerWaitTimeForMount),
    TN_TEXT(24, r.node->unmountOnDiskFail),
};

// ---- File system family ----

const ColumnLookup kFsStatusLookups[] = {
    {"tarnFileSystemName", 0, false},
    {"tarnFileSystemStatus", 1, false},
    {"tarnFileSystemXstatus", 2, false},
    {"tarnFileSystemTotalSpaceL", 3, true},
    {"tarnFileSystemNumTotalInodesL", 4, true},
    {"tarnFileSystemFreeSpaceL", 5, true},
    {"tarnFileSystemNumFreeInodesL", 6, true},
    {"tarnFileSystemTotalSpace", 27, false},
    {"tarnFileSystemNumTotalInodes", 28, false},
    {"tarnFileSystemFreeSpace", 29, false},
    {"tarnFileSystemNumFreeInodes", 30, false},
};
const ColumnLookup kFsPerfLookups[] = {
    {"tarnFileSystemPerfName", 9, false},       {"tarnFileSystemBytesReadL", 10, true},
    {"tarnFileSystemBytesCacheL", 11, true},    {"tarnFileSystemBytesWrittenL", 12, true},
    {"tarnFileSystemReads", 13, false},         {"tarnFileSystemCaches", 14, false},
    {"tarnFileSystemWrites", 15, false},        {"tarnFileSystemOpenCalls", 16, false},
    {"tarnFileSystemCloseCalls", 17, false},    {"tarnFileSystemReadCalls", 18, false},
    {"tarnFileSystemWriteCalls", 19, false},    {"tarnFileSystemReaddirCalls", 20, false},
    {"tarnFileSystemInodesWritten", 21, false}, {"tarnFileSystemInodesRead", 22, false},
    {"tarnFileSystemInodesDeleted", 23, false}, {"tarnFileSystemInodesCreated", 24, false},
    {"tarnFileSystemStatCacheHit", 25, false},  {"tarnFileSystemStatCacheMiss", 26, false},
    {"tarnFileSystemBytesRead", 31, false},     {"tarnFileSystemBytesCache", 32, false},
    {"tarnFileSystemBytesWritten", 33, false},
};
const ColumnRow kFsStatusColumns[] = {
    TN_TEXT(0, r.fs->name),
    TN_TEXT(1, r.fs->status),
    TN_TEXT(2, r.fs->xstatus),
    TN_PAIR64(3, 27, r.fs->totalSpace),
    TN_LOW_PAIR(4, 28, r.fs->numTotalInodes),
    TN_PAIR64(5, 29, r.fs->freeSpace),
    TN_LOW_PAIR(6, 30, r.fs->numFreeInodes),
};
const ColumnRow kFsPerfColumns[] = {
    TN_TEXT(9, r.fs->name),
    TN_PAIR64(10, 31, r.fs->bytesRead),
    TN_PAIR64(11, 32, r.fs->bytesCache),
    TN_PAIR64(12, 33, r.fs->bytesWritten),
    TN_NUMBER(13, r.fs->reads),
    TN_NUMBER(14, r.fs->caches),
    TN_NUMBER(15, r.fs->writes),
    TN_NUMBER(16, r.fs->openCalls),
    TN_NUMBER(17, r.fs->closeCalls),
    TN_NUMBER(18, r.fs->readCalls),
    TN_NUMBER(19, r.fs->writeCalls),
    TN_NUMBER(20, r.fs->readdirCalls),
    TN_NUMBER(21, r.fs->inodesWritten),
    TN_NUMBER(22, r.fs->inodesRead),
    TN_NUMBER(23, r.fs->inodesDeleted),
    TN_NUMBER(24, r.fs->inodesCreated),
    TN_NUMBER(25, r.fs->statCacheHit),
    TN_NUMBER(26, r.fs->statCacheMiss),
};

// ---- Storage pool family ----

const ColumnLookup kPoolLookups[] = {
    {"tarnStgPoolFSName", 0, false},     {"tarnStgPoolName", 1, false},
    {"tarnStgPoolTotalSpaceL", 2, true}, {"tarnStgPoolFreeSpaceL", 3, true},
    {"tarnStgPoolNumDisks", 4, false},   {"tarnStgPoolTotalSpace", 5, false},
    {"tarnStgPoolFreeSpace", 6, false},
};
const ColumnRow kPoolColumns[] = {
    TN_TEXT(0, r.fs->name),
    TN_TEXT(1, r.pool->name),
    TN_LOW_PAIR(2, 5, r.pool->totalSpace),
    TN_LOW_PAIR(3, 6, r.pool->freeSpace),
    TN_NUMBER(4, r.pool->numDisks),
};

// ---- Disk family ----

const ColumnLookup kDiskStatusLookups[] = {
    {"tarnDiskName", 0, false},
    {"tarnDiskFSName", 1, false},
    {"tarnDiskStgPoolName", 2, false},
    {"tarnDiskStatus", 3, false},
    {"tarnDiskAvailability", 4, false},
    {"tarnDiskTotalSpaceL", 5, true},
    {"tarnDiskFullBlockFreeSpaceL", 6, true},
    {"tarnDiskSubBlockFreeSpaceL", 7, true},
    {"tarnDiskTotalSpace", 26, false},
    {"tarnDiskFullBlockFreeSpace", 27, false},
    {"tarnDiskSubBlockFreeSpace", 28, false},
};
const ColumnLookup kDiskConfigLookups[] = {
    {"tarnDiskConfigName", 8, false},
    {"tarnDiskConfigFSName", 9, false},
    {"tarnDiskConfigStgPoolName", 10, false},
    {"tarnDiskMetadata", 11, false},
    {"tarnDiskData", 12, false},
};
const ColumnLookup kDiskPerfLookups[] = {
    {"tarnDiskPerfName", 13, false},          {"tarnDiskPerfFSName", 14, false},
    {"tarnDiskPerfStgPoolName", 15, false},   {"tarnDiskReadTimeL", 16, true},
    {"tarnDiskWriteTimeL", 17, true},         {"tarnDiskLongestReadTimeL", 18, true},
    {"tarnDiskLongestWriteTimeL", 19, true},  {"tarnDiskShortestReadTimeL", 20, true},
    {"tarnDiskShortestWriteTimeL", 21, true}, {"tarnDiskReadBytesL", 22, true},
    {"tarnDiskWriteBytesL", 23, true},        {"tarnDiskReadOps", 24, false},
    {"tarnDiskWriteOps", 25, false},          {"tarnDiskReadTime", 29, false},
    {"tarnDiskWriteTime", 30, false},         {"tarnDiskLongestReadTime", 31, false},
    {"tarnDiskLongestWriteTime", 32, false},  {"tarnDiskShortestReadTime", 33, false},
    {"tarnDiskShortestWriteTime", 34, false}, {"tarnDiskReadBytes", 35, false},
    {"tarnDiskWriteBytes", 36, false},
};
const ColumnRow kDiskStatusColumns[] = {
    TN_TEXT(0, r.disk->name),
    TN_TEXT(1, r.fs->name),
    TN_TEXT(2, r.pool->name),
    TN_TEXT(3, r.disk->status),
    TN_TEXT(4, r.disk->availability),
    TN_PAIR64(5, 26, r.disk->totalSpace),
    TN_PAIR64(6, 27, r.disk->fullBlockFreeSpace),
    TN_PAIR64(7, 28, r.disk->subBlockFreeSpace),
};
const ColumnRow kDiskConfigColumns[] = {
    TN_TEXT(8, r.disk->name),      TN_TEXT(9, r.fs->name),    TN_TEXT(10, r.pool->name),
    TN_TEXT(11, r.disk->metadata), TN_TEXT(12, r.disk->data),
};
const ColumnRow kDiskPerfColumns[] = {
    TN_TEXT(13, r.disk->name),
    TN_TEXT(14, r.fs->name),
    TN_TEXT(15, r.pool->name),
    TN_TIME(16, 29, readTime),
    TN_TIME(17, 30, writeTime),
    TN_TIME(18, 31, longestReadTime),
    TN_TIME(19, 32, longestWriteTime),
    TN_TIME(20, 33, shortestReadTime),
    TN_TIME(21, 34, shortestWriteTime),
    TN_PAIR64(22, 35, r.disk->readBytes),
    TN_PAIR64(23, 36, r.disk->writeBytes),
    TN_NUMBER(24, r.disk->readOps),
    TN_NUMBER(25, r.disk->writeOps),
};

// Error status for a request whose row is gone: the node tables answer
// noSuchName, the file system, pool and disk tables badValue.
#define TN_HANDLER(columns, colTable, level, status) \
  { columns, TN_COUNT(columns), colTable, level, status }

const HandlerSpec kClusterStatusHandler =
    TN_HANDLER(kClusterStatusColumns, clusterColTable, ROW_CLUSTER, SNMP_ERR_NOERROR);
const HandlerSpec kClusterConfigHandler =
    TN_HANDLER(kClusterConfigColumns, clusterColTable, ROW_CLUSTER, SNMP_ERR_NOERROR);
const HandlerSpec kNodeStatusHandler =
    TN_HANDLER(kNodeStatusColumns, nodeColTable, ROW_NODE, SNMP_ERR_NOSUCHNAME);
const HandlerSpec kNodeConfigHandler =
    TN_HANDLER(kNodeConfigColumns, nodeColTable, ROW_NODE, SNMP_ERR_NOSUCHNAME);
const HandlerSpec kFsStatusHandler =
    TN_HANDLER(kFsStatusColumns, fsColTable, ROW_FS, SNMP_ERR_BADVALUE);
const HandlerSpec kFsPerfHandler =
    TN_HANDLER(kFsPerfColumns, fsColTable, ROW_FS, SNMP_ERR_BADVALUE);
const HandlerSpec kPoolHandler =
    TN_HANDLER(kPoolColumns, stgPoolColTable, ROW_POOL, SNMP_ERR_BADVALUE);
const HandlerSpec kDiskStatusHandler =
    TN_HANDLER(kDiskStatusColumns, diskColTable, ROW_DISK, SNMP_ERR_BADVALUE);
const HandlerSpec kDiskConfigHandler =
    TN_HANDLER(kDiskConfigColumns, diskColTable, ROW_DISK, SNMP_ERR_BADVALUE);
const HandlerSpec kDiskPerfHandler =
    TN_HANDLER(kDiskPerfColumns, diskColTable, ROW_DISK, SNMP_ERR_BADVALUE);

#define TN_TABLE(name, lookups, keep) \
  { #name, name##_handler, lookups, TN_COUNT(lookups), keep }

const TableSpec kClusterTables[] = {
    TN_TABLE(tarnClusterStatusTable, kClusterStatusLookups, nullptr),
    TN_TABLE(tarnClusterConfigTable, kClusterConfigLookups, nullptr),
};
const TableSpec kNodeTables[] = {
    TN_TABLE(tarnNodeStatusTable, kNodeStatusLookups, nullptr),
    TN_TABLE(tarnNodeConfigTable, kNodeConfigLookups, nullptr),
};
const TableSpec kFsTables[] = {
    TN_TABLE(tarnFileSystemStatusTable, kFsStatusLookups, nullptr),
    TN_TABLE(tarnFileSystemPerfTable, kFsPerfLookups, &fsPerf_iinfo),
};
const TableSpec kPoolTables[] = {
    TN_TABLE(tarnStgPoolTable, kPoolLookups, nullptr),
};
const TableSpec kDiskTables[] = {
    TN_TABLE(tarnDiskStatusTable, kDiskStatusLookups, nullptr),
    TN_TABLE(tarnDiskConfigTable, kDiskConfigLookups, nullptr),
    TN_TABLE(tarnDiskPerfTable, kDiskPerfLookups, &diskPerf_iinfo),
};

#define TN_FAMILY(colTable, levels, walk, tables)                                      \
  {                                                                                    \
    colTable, levels, walk##_get_first_data_point, walk##_get_next_data_point, tables, \
        TN_COUNT(tables)                                                               \
  }

const FamilySpec kClusterFamily = TN_FAMILY(clusterColTable, 1, tarnClusterTable, kClusterTables);
const FamilySpec kNodeFamily = TN_FAMILY(nodeColTable, 1, tarnNodeTable, kNodeTables);
const FamilySpec kFsFamily = TN_FAMILY(fsColTable, 1, tarnFileSystemTable, kFsTables);
const FamilySpec kPoolFamily = TN_FAMILY(stgPoolColTable, 2, tarnStgPoolTable, kPoolTables);
const FamilySpec kDiskFamily = TN_FAMILY(diskColTable, 3, tarnDiskTable, kDiskTables);

}  // namespace

void initialize_table_tarnClusterTable() { registerFamily(kClusterFamily); }
void initialize_table_tarnNodeTable() { registerFamily(kNodeFamily); }
void initialize_table_tarnFileSystemTable() { registerFamily(kFsFamily); }
void initialize_table_tarnStgPoolTable() { registerFamily(kPoolFamily); }
void initialize_table_tarnDiskTable() { registerFamily(kDiskFamily); }

// The handlers: one shared routine over each table's column rows.
#define TN_HANDLER_FUNCTION(name, spec)                                                     \
  int name##_handler(netsnmp_mib_handler*, netsnmp_handler_registration*,                   \
                     netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) { \
    return serveRequests(spec, reqinfo, requests);                                          \
  }

TN_HANDLER_FUNCTION(tarnClusterStatusTable, kClusterStatusHandler)
TN_HANDLER_FUNCTION(tarnClusterConfigTable, kClusterConfigHandler)
TN_HANDLER_FUNCTION(tarnNodeStatusTable, kNodeStatusHandler)
TN_HANDLER_FUNCTION(tarnNodeConfigTable, kNodeConfigHandler)
TN_HANDLER_FUNCTION(tarnFileSystemStatusTable, kFsStatusHandler)
TN_HANDLER_FUNCTION(tarnFileSystemPerfTable, kFsPerfHandler)
TN_HANDLER_FUNCTION(tarnStgPoolTable, kPoolHandler)
TN_HANDLER_FUNCTION(tarnDiskStatusTable, kDiskStatusHandler)
TN_HANDLER_FUNCTION(tarnDiskConfigTable, kDiskConfigHandler)
TN_HANDLER_FUNCTION(tarnDiskPerfTable, kDiskPerfHandler)
