#include "mib/snmpRefresh.h"

#include <stddef.h>
#include <sys/time.h>

#include "agent/clock.h"
#include "agent/tarnInfo.h"
#include "agent/text.h"
#include "api/api_poll.h"
#include "api/api_records.h"

struct timeval curTime;
unsigned long tarnInfoGeneration = 0;

namespace {

// The default polls: the polling handler's operations (failure without one).
int pollDiskSDR(int norefresh) {
  return thePollingHandler ? thePollingHandler->updateDiskSDRInfo(norefresh) : 1;
}
int pollCluster(ClusterInfo* dst, int norefresh) {
  return thePollingHandler ? thePollingHandler->updateClusterInfo(dst, norefresh) : 1;
}
int copyCluster(ClusterInfo* dst) {
  return thePollingHandler ? thePollingHandler->getClusterInfo(dst) : 1;
}
int pollNodes(ClusterInfo* dst, int norefresh) {
  return thePollingHandler ? thePollingHandler->updateNodeInfo(dst, norefresh) : 1;
}
int pollFileSystems(ClusterInfo* dst, int perf) {
  return thePollingHandler ? thePollingHandler->updateFilesystemInfo(dst, perf) : 1;
}
int pollPools(ClusterInfo* dst, const char* fsName) {
  return thePollingHandler ? thePollingHandler->updateStoragePoolInfo(dst, fsName) : 1;
}
int pollDisks(ClusterInfo* dst, const char* fsName, const char* poolName, int perf) {
  return thePollingHandler ? thePollingHandler->updateDiskInfo(dst, fsName, poolName, perf) : 1;
}

const RefreshPolls kHandlerPolls = {pollDiskSDR,     pollCluster, copyCluster, pollNodes,
                                    pollFileSystems, pollPools,   pollDisks};

const RefreshPolls* polls = &kHandlerPolls;

uint64_t pollFailures = 0;

// Counts a failed poll; returns its result.
int counted(int pollResult) {
  if (pollResult != 0) ++pollFailures;
  return pollResult;
}

int failedIf(int pollResult) { return counted(pollResult) != 0 ? REFRESH_FAILED : 0; }

// Per level, whether its last poll failed, and since when its data is old.
struct Failing {
  bool on;
  time_t since;
};
Failing failing[DATA_LEVELS] = {};

// A poll of level succeeded: its data is fresh again. Returns 0.
int polledWell(DataLevel level) {
  failing[level].on = false;
  return 0;
}

// A failed or refused poll counts for its level's 20 seconds as a good one
// does: otherwise every varbind of a walk would poll again, take the polling
// handler's mutex and log again until the cause goes away. The level then
// shows its last good data until its next poll. Returns REFRESH_FAILED.
int failedAt(DataLevel level, struct timeval* stamp, struct timeval* perfStamp, int perf) {
  if (!failing[level].on) failing[level] = Failing{true, stamp->tv_sec};
  stampTime(stamp);
  if (perf != 0 && perfStamp != nullptr) *perfStamp = *stamp;
  return REFRESH_FAILED;
}

// The file system at position index of myCluster, or null (past the end or an
// empty slot). The index is compared unsigned, so a negative one is past the end.
FilesystemInfo* fileSystemAt(int index) {
  if (static_cast<unsigned>(index) >= myCluster->fileSystems.size()) return nullptr;
  return myCluster->fileSystems[index];
}

StoragePoolInfo* poolAt(const FilesystemInfo* fs, int index) {
  if (static_cast<unsigned>(index) >= fs->pools.size()) return nullptr;
  return fs->pools[index];
}

// Every file system's disks, fresh or not. The count is taken at entry; a
// position that a poll's merge has emptied counts as a slot without a record.
int refreshAllDisks(int perf) {
  const size_t count = myCluster->fileSystems.size();
  for (size_t i = 0; i < count; ++i) {
    const FilesystemInfo* fs = fileSystemAt(static_cast<int>(i));
    if (fs == nullptr) return REFRESH_FAILED;
    // The merge may replace the record whose name is passed: hand over a copy.
    char fsName[RECORD_TEXT_SIZE];
    copyText(fsName, fs->name);
    if (failedIf(polls->updateDiskInfo(myCluster, fsName, nullptr, perf)) != 0) {
      return REFRESH_FAILED;
    }
  }
  return 0;
}

}  // namespace

uint64_t pollFailureCount() { return pollFailures; }

bool pollsFailingSince(DataLevel level, time_t* since) {
  if (level < 0 || level >= DATA_LEVELS || !failing[level].on) return false;
  *since = failing[level].since;
  return true;
}

void setRefreshPolls(const RefreshPolls* replacement) {
  polls = replacement != nullptr ? replacement : &kHandlerPolls;
}

bool shouldRefresh(struct timeval stamp) {
  stampTime(&curTime);
  const bool stale = curTime.tv_sec - stamp.tv_sec > STALE_SECONDS;
  if (stale) ++tarnInfoGeneration;  // every poll on the walks' paths follows a stale stamp
  return stale;
}

int refreshTarnInfo() {
  ++tarnInfoGeneration;
  if (failedIf(polls->updateDiskSDRInfo(0)) != 0) return REFRESH_FAILED;
  int result = refreshTarnClusterInfo(1);
  if (result == 0) result = refreshTarnNodeInfo(1);
  if (result == 0) result = refreshTarnFSInfo(-1, 1);
  if (result == 0) result = refreshTarnPoolInfo(-1);
  if (result == 0) result = refreshTarnDiskInfo(-1, -1, 1);
  return result;
}

int refreshTarnClusterInfo(int norefresh) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (!shouldRefresh(myCluster->clusterUpdateTime)) return 0;
  if (counted(polls->updateClusterInfo(myCluster, norefresh)) != 0 ||
      counted(polls->getClusterInfo(myCluster)) != 0)
    return failedAt(DATA_CLUSTER, &myCluster->clusterUpdateTime, nullptr, 0);
  return polledWell(DATA_CLUSTER);
}

int refreshTarnNodeInfo(int norefresh) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (!shouldRefresh(myCluster->nodeUpdateTime)) return 0;
  if (counted(polls->updateNodeInfo(myCluster, norefresh)) != 0)
    return failedAt(DATA_NODES, &myCluster->nodeUpdateTime, nullptr, 0);
  return polledWell(DATA_NODES);
}

int refreshTarnFSInfo(int fsIndex, int perf) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  bool stale = shouldRefresh(myCluster->fsUpdateTime);
  if (!stale && perf != 0) stale = shouldRefresh(myCluster->fsPerfUpdateTime);
  if (!stale) return 0;
  if (counted(polls->updateFilesystemInfo(myCluster, perf)) != 0)
    return failedAt(DATA_FILESYSTEMS, &myCluster->fsUpdateTime, &myCluster->fsPerfUpdateTime, perf);
  polledWell(DATA_FILESYSTEMS);
  if (fsIndex != -1) return 0;
  for (const FilesystemInfo* fs : myCluster->fileSystems) {
    if (fs == nullptr) return REFRESH_FAILED;
  }
  return 0;
}

int refreshTarnPoolInfo(int fsIndex) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (fsIndex == -1) return failedIf(polls->updateStoragePoolInfo(myCluster, nullptr));
  if (fsIndex < -1) return REFRESH_FAILED;
  const FilesystemInfo* fs = fileSystemAt(fsIndex);
  if (fs == nullptr) return REFRESH_FAILED;
  if (!shouldRefresh(fs->poolUpdateTime)) return 0;
  char fsName[RECORD_TEXT_SIZE];
  copyText(fsName, fs->name);
  if (counted(polls->updateStoragePoolInfo(myCluster, fsName)) == 0) return polledWell(DATA_POOLS);
  FilesystemInfo* after = fileSystemAt(fsIndex);
  return after != nullptr ? failedAt(DATA_POOLS, &after->poolUpdateTime, nullptr, 0)
                          : REFRESH_FAILED;
}

int refreshTarnDiskInfo(int fsIndex, int poolIndex, int perf) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (fsIndex == -1 && poolIndex == -1) return refreshAllDisks(perf);
  // Each poll may reshape the lists, so records are looked up again after it.
  if (static_cast<unsigned>(fsIndex) >= myCluster->fileSystems.size() &&
      shouldRefresh(myCluster->fsUpdateTime)) {
    counted(polls->updateFilesystemInfo(myCluster, perf));
  }
  const FilesystemInfo* fs = fileSystemAt(fsIndex);
  if (fs == nullptr) return REFRESH_FAILED;
  char fsName[RECORD_TEXT_SIZE];
  copyText(fsName, fs->name);
  if (static_cast<unsigned>(poolIndex) >= fs->pools.size() && shouldRefresh(fs->poolUpdateTime)) {
    counted(polls->updateStoragePoolInfo(myCluster, fsName));
    fs = fileSystemAt(fsIndex);
    if (fs == nullptr) return REFRESH_FAILED;
  }
  const StoragePoolInfo* pool = poolAt(fs, poolIndex);
  if (pool == nullptr) return REFRESH_FAILED;
  bool stale = shouldRefresh(pool->diskUpdateTime);
  if (!stale && perf != 0) stale = shouldRefresh(pool->diskPerfUpdateTime);
  if (!stale) return 0;
  char poolName[RECORD_TEXT_SIZE];
  copyText(poolName, pool->name);
  if (counted(polls->updateDiskInfo(myCluster, fsName, poolName, perf)) == 0) {
    return polledWell(DATA_DISKS);
  }
  fs = fileSystemAt(fsIndex);
  StoragePoolInfo* after = fs != nullptr ? poolAt(fs, poolIndex) : nullptr;
  if (after == nullptr) return REFRESH_FAILED;
  return failedAt(DATA_DISKS, &after->diskUpdateTime, &after->diskPerfUpdateTime, perf);
}
