// The walks of the five families over myCluster, in list order. The scan
// lookup hands them to the iterator, which restarts a walk at get-first for
// every varbind and visits every row; the sorted lookup (snmpTablesLookup.cc)
// walks them to build its rows and to make their refreshes. A step costs only
// index arithmetic and setting the index values: the refresh functions (a
// clock read each) are called at the start of a table and when the walk
// enters a file system or a pool, never per row.
//
// Rows come in list order. Within a pass the iterator hands get-next back the
// index variables it returned, so a step sets only the levels that changed
// (the disk's name, but not its file system's and pool's) unless a refresh
// ran, which may have moved other records into the same positions.
// A file system without pools, or a pool without
// disks, ends the pool and disk walks. A list slot without a record is
// stepped over.
#include <stddef.h>

#include <new>

#include "agent/tarnInfo.h"
#include "api/api_records.h"
#include "mib/snmpRefresh.h"
#include "mib/snmpTables.h"

namespace {

int countOf(const std::vector<FilesystemInfo*>& list) { return static_cast<int>(list.size()); }
int countOf(const std::vector<StoragePoolInfo*>& list) { return static_cast<int>(list.size()); }
int countOf(const std::vector<DiskInfo*>& list) { return static_cast<int>(list.size()); }

const FilesystemInfo* fileSystemAt(int index) {
  if (index < 0 || index >= countOf(myCluster->fileSystems)) return nullptr;
  return myCluster->fileSystems[index];
}

// A new zeroed loop context, handed over to the iterator.
TableLoopContext* startWalk(void** loopContext, int perf) {
  TableLoopContext* ctx = new (std::nothrow) TableLoopContext();
  if (ctx != nullptr) ctx->perf = perf;
  *loopContext = ctx;
  return ctx;
}

netsnmp_variable_list* putNames(netsnmp_variable_list* put, const char* a, const char* b = nullptr,
                                const char* c = nullptr) {
  const char* const names[3] = {a, b, c};
  setRowIndexes(put, names, c != nullptr ? 3 : b != nullptr ? 2 : 1);
  return put;
}

// Sets the index values of the levels from `first` on; the earlier levels
// already hold this row's names.
netsnmp_variable_list* putNamesFrom(netsnmp_variable_list* put, int first, const char* const* names,
                                    int count) {
  netsnmp_variable_list* var = put;
  for (int level = 0; level < first && var != nullptr; ++level) var = var->next_variable;
  setRowIndexes(var, names + first, count - first);
  return put;
}

// ---- Node and file system walks: one level, empty slots stepped over ----

template <typename Record>
const Record* seekRecord(const std::vector<Record*>& list, int32_t* index) {
  while (static_cast<uint32_t>(*index) < list.size()) {
    if (list[*index] != nullptr) return list[*index];
    ++*index;
  }
  return nullptr;
}

// ---- Pool walk ----

// Moves to the next pool position; false when it leaves the last file system.
// An empty file system slot counts as a list to leave.
bool stepPool(TableLoopContext* ctx, const FilesystemInfo* fs, int fsCount) {
  ++ctx->poolIndex;
  if (fs == nullptr || ctx->poolIndex == countOf(fs->pools)) {
    ctx->poolIndex = 0;
    ++ctx->fsIndex;
    if (ctx->fsIndex >= fsCount) return false;
  }
  return true;
}

// Steps from ctx's row to the next one that has records; null at the end.
// settled: put holds the names of ctx's row.
netsnmp_variable_list* nextPoolRow(TableLoopContext* ctx, netsnmp_variable_list* put,
                                   bool settled) {
  const int fsCount = countOf(myCluster->fileSystems);
  if (ctx->fsIndex >= fsCount) return nullptr;
  const int fromFs = ctx->fsIndex;
  const FilesystemInfo* fs = fileSystemAt(ctx->fsIndex);
  for (;;) {
    if (!stepPool(ctx, fs, fsCount)) return nullptr;
    if (ctx->poolIndex == 0) {
      refreshTarnPoolInfo(ctx->fsIndex);
      settled = false;
    }
    if (ctx->fsIndex >= countOf(myCluster->fileSystems)) return nullptr;
    fs = fileSystemAt(ctx->fsIndex);
    if (fs == nullptr) continue;
    if (ctx->poolIndex >= countOf(fs->pools)) return nullptr;
    const StoragePoolInfo* pool = fs->pools[ctx->poolIndex];
    if (pool == nullptr) continue;
    const char* const names[2] = {fs->name, pool->name};
    return putNamesFrom(put, settled && ctx->fsIndex == fromFs ? 1 : 0, names, 2);
  }
}

// ---- Disk walk ----

// Moves to the next disk position, carrying into the next pool and file
// system; empty pool or file system slots count as lists to leave.
void stepDisk(TableLoopContext* ctx, const FilesystemInfo* fs, const StoragePoolInfo* pool) {
  ++ctx->diskIndex;
  if (pool != nullptr && ctx->diskIndex != countOf(pool->disks)) return;
  ctx->diskIndex = 0;
  ++ctx->poolIndex;
  if (fs != nullptr && ctx->poolIndex != countOf(fs->pools)) return;
  ctx->poolIndex = 0;
  ++ctx->fsIndex;
}

// The pool at ctx's position of fs, or null (past the end or an empty slot).
const StoragePoolInfo* poolAt(const FilesystemInfo* fs, const TableLoopContext* ctx) {
  if (fs == nullptr || ctx->poolIndex >= countOf(fs->pools)) return nullptr;
  return fs->pools[ctx->poolIndex];
}

// Levels of put that still hold the right names after a step from
// (fromFs, fromPool) to ctx's row without a refresh.
int unchangedLevels(const TableLoopContext* ctx, int fromFs, int fromPool) {
  if (ctx->fsIndex != fromFs) return 0;
  return ctx->poolIndex != fromPool ? 1 : 2;
}

// Steps from ctx's row to the next one that has records; null at the end.
// On entering a file system its pools are refreshed, on entering a pool its
// disks; each refresh may reshape the lists, so records are looked up again.
// settled: put holds the names of ctx's row.
netsnmp_variable_list* nextDiskRow(TableLoopContext* ctx, const FilesystemInfo* fs,
                                   const StoragePoolInfo* pool, netsnmp_variable_list* put,
                                   bool settled) {
  const int fsCount = countOf(myCluster->fileSystems);
  const int fromFs = ctx->fsIndex, fromPool = ctx->poolIndex;
  for (;;) {
    stepDisk(ctx, fs, pool);
    if (ctx->fsIndex >= fsCount) return nullptr;
    if (ctx->diskIndex == 0) settled = false;  // a refresh follows
    if (ctx->poolIndex == 0 && ctx->diskIndex == 0) refreshTarnPoolInfo(ctx->fsIndex);
    if (ctx->fsIndex >= countOf(myCluster->fileSystems)) return nullptr;
    fs = fileSystemAt(ctx->fsIndex);
    pool = nullptr;
    if (fs == nullptr) continue;
    if (ctx->poolIndex >= countOf(fs->pools)) return nullptr;
    if (fs->pools[ctx->poolIndex] == nullptr) continue;
    if (ctx->diskIndex == 0) {
      refreshTarnDiskInfo(ctx->fsIndex, ctx->poolIndex, ctx->perf);
      fs = fileSystemAt(ctx->fsIndex);
    }
    pool = poolAt(fs, ctx);
    if (pool == nullptr) continue;
    if (ctx->diskIndex >= countOf(pool->disks)) return nullptr;
    const DiskInfo* disk = pool->disks[ctx->diskIndex];
    if (disk == nullptr) continue;
    const char* const names[3] = {fs->name, pool->name, disk->name};
    return putNamesFrom(put, settled ? unchangedLevels(ctx, fromFs, fromPool) : 0, names, 3);
  }
}

}  // namespace

// ---- Cluster family: one row ----

netsnmp_variable_list* tarnClusterTable_get_first_data_point(void**, void**,
                                                             netsnmp_variable_list* put,
                                                             netsnmp_iterator_info*) {
  refreshTarnClusterInfo(0);
  if (myCluster == nullptr) return nullptr;
  return putNames(put, myCluster->name);
}

netsnmp_variable_list* tarnClusterTable_get_next_data_point(void**, void**, netsnmp_variable_list*,
                                                            netsnmp_iterator_info*) {
  return nullptr;
}

// ---- Node family ----

netsnmp_variable_list* tarnNodeTable_get_first_data_point(void** loopContext, void**,
                                                          netsnmp_variable_list* put,
                                                          netsnmp_iterator_info*) {
  TableLoopContext* ctx = startWalk(loopContext, 0);
  refreshTarnNodeInfo(0);
  if (ctx == nullptr || myCluster == nullptr) return nullptr;
  const NodeInfo* node = seekRecord(myCluster->nodes, &ctx->nodeIndex);
  return node != nullptr ? putNames(put, node->name) : nullptr;
}

netsnmp_variable_list* tarnNodeTable_get_next_data_point(void** loopContext, void**,
                                                         netsnmp_variable_list* put,
                                                         netsnmp_iterator_info*) {
  TableLoopContext* ctx = static_cast<TableLoopContext*>(*loopContext);
  if (ctx == nullptr || myCluster == nullptr) return nullptr;
  ++ctx->nodeIndex;
  const NodeInfo* node = seekRecord(myCluster->nodes, &ctx->nodeIndex);
  return node != nullptr ? putNames(put, node->name) : nullptr;
}

// ---- File system family: the performance table asks for fresh statistics ----

netsnmp_variable_list* tarnFileSystemTable_get_first_data_point(void** loopContext, void**,
                                                                netsnmp_variable_list* put,
                                                                netsnmp_iterator_info* iinfo) {
  const int perf = iinfo != nullptr && iinfo == fsPerf_iinfo ? 1 : 0;
  TableLoopContext* ctx = startWalk(loopContext, perf);
  refreshTarnFSInfo(-1, perf);
  if (ctx == nullptr || myCluster == nullptr) return nullptr;
  const FilesystemInfo* fs = seekRecord(myCluster->fileSystems, &ctx->fsIndex);
  return fs != nullptr ? putNames(put, fs->name) : nullptr;
}

netsnmp_variable_list* tarnFileSystemTable_get_next_data_point(void** loopContext, void**,
                                                               netsnmp_variable_list* put,
                                                               netsnmp_iterator_info*) {
  TableLoopContext* ctx = static_cast<TableLoopContext*>(*loopContext);
  if (ctx == nullptr || myCluster == nullptr) return nullptr;
  ++ctx->fsIndex;
  const FilesystemInfo* fs = seekRecord(myCluster->fileSystems, &ctx->fsIndex);
  return fs != nullptr ? putNames(put, fs->name) : nullptr;
}

// ---- Storage pool family ----

netsnmp_variable_list* tarnStgPoolTable_get_first_data_point(void** loopContext, void**,
                                                             netsnmp_variable_list* put,
                                                             netsnmp_iterator_info*) {
  TableLoopContext* ctx = startWalk(loopContext, 0);
  refreshTarnPoolInfo(0);
  if (ctx == nullptr || myCluster == nullptr || myCluster->fileSystems.empty()) return nullptr;
  const FilesystemInfo* fs = myCluster->fileSystems[0];
  if (fs == nullptr) return nextPoolRow(ctx, put, false);
  if (fs->pools.empty()) return nullptr;
  if (fs->pools[0] == nullptr) return nextPoolRow(ctx, put, false);
  return putNames(put, fs->name, fs->pools[0]->name);
}

netsnmp_variable_list* tarnStgPoolTable_get_next_data_point(void** loopContext, void**,
                                                            netsnmp_variable_list* put,
                                                            netsnmp_iterator_info*) {
  TableLoopContext* ctx = static_cast<TableLoopContext*>(*loopContext);
  if (ctx == nullptr || myCluster == nullptr) return nullptr;
  return nextPoolRow(ctx, put, true);
}

// ---- Disk family: the performance table asks for fresh statistics ----

netsnmp_variable_list* tarnDiskTable_get_first_data_point(void** loopContext, void**,
                                                          netsnmp_variable_list* put,
                                                          netsnmp_iterator_info* iinfo) {
  const int perf = iinfo != nullptr && iinfo == diskPerf_iinfo ? 1 : 0;
  TableLoopContext* ctx = startWalk(loopContext, perf);
  refreshTarnPoolInfo(0);
  refreshTarnDiskInfo(0, 0, perf);
  if (ctx == nullptr || myCluster == nullptr || myCluster->fileSystems.empty()) return nullptr;
  const FilesystemInfo* fs = myCluster->fileSystems[0];
  if (fs == nullptr) return nextDiskRow(ctx, nullptr, nullptr, put, false);
  if (fs->pools.empty()) return nullptr;
  const StoragePoolInfo* pool = fs->pools[0];
  if (pool == nullptr) return nextDiskRow(ctx, fs, nullptr, put, false);
  if (pool->disks.empty()) return nullptr;
  if (pool->disks[0] == nullptr) return nextDiskRow(ctx, fs, pool, put, false);
  return putNames(put, fs->name, pool->name, pool->disks[0]->name);
}

netsnmp_variable_list* tarnDiskTable_get_next_data_point(void** loopContext, void**,
                                                         netsnmp_variable_list* put,
                                                         netsnmp_iterator_info*) {
  TableLoopContext* ctx = static_cast<TableLoopContext*>(*loopContext);
  if (ctx == nullptr || myCluster == nullptr) return nullptr;
  // The current row must still be a position in the lists.
  const FilesystemInfo* fs = nullptr;
  const StoragePoolInfo* pool = nullptr;
  if (ctx->fsIndex >= countOf(myCluster->fileSystems)) return nullptr;
  fs = fileSystemAt(ctx->fsIndex);
  if (fs != nullptr) {
    if (ctx->poolIndex >= countOf(fs->pools)) return nullptr;
    pool = fs->pools[ctx->poolIndex];
  }
  if (pool != nullptr && ctx->diskIndex > countOf(pool->disks)) return nullptr;
  return nextDiskRow(ctx, fs, pool, put, true);
}
