#include "mib/snmpRefresh.h"

#include <stddef.h>
#include <string.h>
#include <sys/time.h>

#include <string>
#include <unordered_map>

#include "agent/clock.h"
#include "agent/scoped.h"
#include "agent/tarnInfo.h"
#include "agent/text.h"
#include "api/api_poll.h"
#include "api/api_records.h"
#include "mib/snmpPollWorker.h"

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

// How long a request may wait for its polls, and the deadline of the request
// being served (0 until its first wait).
int64_t requestBudget = kDefaultRequestBudgetMicros;
int64_t turnDeadline = 0;
// While the last poll to finish failed, a request does not wait for polls:
// the daemon is not answering, and the data at hand is all there is.
bool lastPollFailed = false;

const char* nameOrAll(const char* name) { return name[0] != '\0' ? name : nullptr; }

// Runs one job's poll and copies the level into tree: null on the poll
// worker (the level stays in the master), myCluster on the main thread before
// the worker starts.
int runJob(const PollJob& job, ClusterInfo* tree) {
  switch (job.level) {
    case DATA_CLUSTER: {
      const int result = polls->updateClusterInfo(tree, job.flag);
      return result != 0 ? result : polls->getClusterInfo(tree);
    }
    case DATA_NODES:
      return polls->updateNodeInfo(tree, job.flag);
    case DATA_FILESYSTEMS:
      return polls->updateFilesystemInfo(tree, job.flag);
    case DATA_POOLS:
      return polls->updateStoragePoolInfo(tree, nameOrAll(job.fsName));
    default:
      return polls->updateDiskInfo(tree, job.fsName, nameOrAll(job.poolName), job.flag);
  }
}

int runOnWorker(const PollJob& job) { return runJob(job, nullptr); }

FilesystemInfo* fileSystemNamed(const char* name) {
  const int32_t at = myCluster->getFilesystemInfoIndex(name);
  return at >= 0 ? myCluster->fileSystems[at] : nullptr;
}

// Calls visit on every disk of myCluster that a disk job covers.
template <typename Visit>
void forJobDisks(const PollJob& job, Visit visit) {
  const FilesystemInfo* fs = fileSystemNamed(job.fsName);
  if (fs == nullptr) return;
  for (StoragePoolInfo* pool : fs->pools) {
    if (pool == nullptr || (job.poolName[0] != '\0' && strcmp(pool->name, job.poolName) != 0)) {
      continue;
    }
    for (DiskInfo* disk : pool->disks) {
      if (disk != nullptr) visit(disk);
    }
  }
}

// A disk poll without statistics zeroes them in the master: they hold one
// pass of the statistics poll, or nothing. Copied as they are, they would
// serve zeros to a statistics request answered from the data at hand before
// its own poll ends. So the served disks keep the statistics of their last
// statistics poll, which their pool's diskPerfUpdateTime dates. (A request
// that waits for its poll never sees the difference: a poll without
// statistics finds the statistics stamp stale too.)
void mergeDisksKeepingStatistics(const PollJob& job, ClusterInfo* master) {
  std::unordered_map<std::string, DiskStats> kept;
  forJobDisks(job, [&kept](DiskInfo* disk) { kept[disk->name] = disk->stats(); });
  myCluster->copyDisks(master, job.fsName, nameOrAll(job.poolName));
  forJobDisks(job, [&kept](DiskInfo* disk) {
    const auto found = kept.find(disk->name);
    if (found != kept.end()) disk->setStats(found->second);
  });
}

// Carries the level a job polled from the master tree into myCluster.
// Caller holds the polling handler's mutex.
void mergeJob(const PollJob& job, ClusterInfo* master) {
  switch (job.level) {
    case DATA_CLUSTER:
      *myCluster = *master;
      myCluster->copyNodes(master);
      myCluster->copyFS(master);
      myCluster->clusterUpdateTime = master->clusterUpdateTime;
      break;
    case DATA_NODES:
      myCluster->copyNodes(master);
      break;
    case DATA_FILESYSTEMS:
      myCluster->copyFS(master);
      break;
    case DATA_POOLS:
      myCluster->copyPools(master, nameOrAll(job.fsName));
      break;
    default:
      if (job.flag != 0) {
        myCluster->copyDisks(master, job.fsName, nameOrAll(job.poolName));
      } else {
        mergeDisksKeepingStatistics(job, master);
      }
      break;
  }
}

// A failed job: its level's records are looked up by name, as the lists may
// have changed since it was made. Polls of every file system or every pool
// (start-up) renew no stamp.
int failedJob(const PollJob& job) {
  switch (job.level) {
    case DATA_CLUSTER:
      return failedAt(DATA_CLUSTER, &myCluster->clusterUpdateTime, nullptr, 0);
    case DATA_NODES:
      return failedAt(DATA_NODES, &myCluster->nodeUpdateTime, nullptr, 0);
    case DATA_FILESYSTEMS:
      return failedAt(DATA_FILESYSTEMS, &myCluster->fsUpdateTime, &myCluster->fsPerfUpdateTime,
                      job.flag);
    default:
      break;
  }
  FilesystemInfo* fs = job.fsName[0] != '\0' ? fileSystemNamed(job.fsName) : nullptr;
  if (fs == nullptr) return REFRESH_FAILED;
  if (job.level == DATA_POOLS) return failedAt(DATA_POOLS, &fs->poolUpdateTime, nullptr, 0);
  const int32_t at = job.poolName[0] != '\0' ? fs->getStoragePoolInfoIndex(job.poolName) : -1;
  StoragePoolInfo* pool = at >= 0 ? fs->pools[at] : nullptr;
  if (pool == nullptr) return REFRESH_FAILED;
  return failedAt(DATA_DISKS, &pool->diskUpdateTime, &pool->diskPerfUpdateTime, job.flag);
}

// Books a finished job, whose data is in myCluster, and returns its refresh
// result.
int finishJob(const PollJob& job, int result) {
  ++tarnInfoGeneration;
  lastPollFailed = counted(result) != 0;
  return result != 0 ? failedJob(job) : polledWell(job.level);
}

// What mergeDoneJob found.
enum Taken { NOTHING_DONE, MASTER_BUSY, TOOK_OTHER, TOOK_IT };

// Takes the job the worker has done, merging its level when the polling
// handler's mutex is free at once (else it stays, for a later turn). TOOK_IT
// when that job has ticket, with its refresh result in *result.
Taken mergeDoneJob(uint64_t ticket, int* result) {
  PollDone done;
  if (!PollWorker::peekDone(&done)) return NOTHING_DONE;
  PollingHandler* handler = thePollingHandler;
  if (done.result == 0 && handler != nullptr) {
    ScopedTryLock master(&handler->handlerMutex);
    if (!master.locked()) return MASTER_BUSY;
    mergeJob(done.job, handler->clusterInfo);
  }
  PollWorker::takeDone();
  const int booked = finishJob(done.job, done.result);
  if (done.ticket != ticket) return TOOK_OTHER;
  *result = booked;
  return TOOK_IT;
}

int64_t requestDeadline() {
  if (turnDeadline == 0) turnDeadline = monotonicMicros() + requestBudget;
  return turnDeadline;
}

// Polls a level: on the worker when it runs, waiting for the job until the
// request's deadline; else here, into myCluster.
int poll(DataLevel level, int flag, const char* fsName = "", const char* poolName = "") {
  PollJob job = {level, flag, {}, {}};
  copyText(job.fsName, fsName);
  copyText(job.poolName, poolName);
  if (!PollWorker::running()) return finishJob(job, runJob(job, myCluster));
  const uint64_t ticket = PollWorker::submit(job);
  // The jobs ahead of this one are taken as they end: the worker runs the
  // next only once the last is taken.
  for (;;) {
    int result = REFRESH_PENDING;
    const Taken taken = mergeDoneJob(ticket, &result);
    if (taken == TOOK_IT) return result;
    if (taken == MASTER_BUSY || lastPollFailed) return REFRESH_PENDING;
    if (taken == NOTHING_DONE && !PollWorker::wait(ticket, requestDeadline())) {
      return REFRESH_PENDING;
    }
  }
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
    const int result = poll(DATA_DISKS, perf, fs->name);
    if (result != 0) return result;
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
  return curTime.tv_sec - stamp.tv_sec > STALE_SECONDS;
}

void setRequestBudget(int64_t micros) { requestBudget = micros; }

void newRequestTurn() { turnDeadline = 0; }

void mergeFinishedPolls() {
  int unused;
  while (mergeDoneJob(0, &unused) == TOOK_OTHER) {
  }
}

int startPollWorker() { return PollWorker::init(runOnWorker); }

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
  return poll(DATA_CLUSTER, norefresh);
}

int refreshTarnNodeInfo(int norefresh) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (!shouldRefresh(myCluster->nodeUpdateTime)) return 0;
  return poll(DATA_NODES, norefresh);
}

int refreshTarnFSInfo(int fsIndex, int perf) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  bool stale = shouldRefresh(myCluster->fsUpdateTime);
  if (!stale && perf != 0) stale = shouldRefresh(myCluster->fsPerfUpdateTime);
  if (!stale) return 0;
  const int result = poll(DATA_FILESYSTEMS, perf);
  if (result != 0 || fsIndex != -1) return result;
  for (const FilesystemInfo* fs : myCluster->fileSystems) {
    if (fs == nullptr) return REFRESH_FAILED;
  }
  return 0;
}

int refreshTarnPoolInfo(int fsIndex) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (fsIndex == -1) return poll(DATA_POOLS, 0);
  if (fsIndex < -1) return REFRESH_FAILED;
  const FilesystemInfo* fs = fileSystemAt(fsIndex);
  if (fs == nullptr) return REFRESH_FAILED;
  if (!shouldRefresh(fs->poolUpdateTime)) return 0;
  return poll(DATA_POOLS, 0, fs->name);
}

int refreshTarnDiskInfo(int fsIndex, int poolIndex, int perf) {
  if (myCluster == nullptr) return REFRESH_FAILED;
  if (fsIndex == -1 && poolIndex == -1) return refreshAllDisks(perf);
  // Each poll may reshape the lists, so records are looked up again after it.
  if (static_cast<unsigned>(fsIndex) >= myCluster->fileSystems.size() &&
      shouldRefresh(myCluster->fsUpdateTime)) {
    poll(DATA_FILESYSTEMS, perf);
  }
  const FilesystemInfo* fs = fileSystemAt(fsIndex);
  if (fs == nullptr) return REFRESH_FAILED;
  if (static_cast<unsigned>(poolIndex) >= fs->pools.size() && shouldRefresh(fs->poolUpdateTime)) {
    poll(DATA_POOLS, 0, fs->name);
    fs = fileSystemAt(fsIndex);
    if (fs == nullptr) return REFRESH_FAILED;
  }
  const StoragePoolInfo* pool = poolAt(fs, poolIndex);
  if (pool == nullptr) return REFRESH_FAILED;
  bool stale = shouldRefresh(pool->diskUpdateTime);
  if (!stale && perf != 0) stale = shouldRefresh(pool->diskPerfUpdateTime);
  if (!stale) return 0;
  return poll(DATA_DISKS, perf, fs->name, pool->name);
}
