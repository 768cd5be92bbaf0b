// The refresh cache: keeps the SNMP side's copy of the cluster data
// (myCluster) fresh level by level. Each level (cluster, nodes, file systems,
// a file system's pools, a pool's disks) carries the time of its last poll;
// a table walk that touches a level older than STALE_SECONDS has the polling
// handler poll it again and merge the result into myCluster.
//
// Every function here runs on the main thread (start-up, then the SNMP
// request loop) and takes no lock: myCluster belongs to that thread. At
// start-up the polls run here; once the poll worker runs (startPollWorker),
// they run there and a request waits for them only until its deadline (see
// snmpPollWorker.h). Results are 0 (done, or nothing to do), 5 (a poll
// failed, or an index or list slot was unusable) or 6 (the poll goes on after
// the deadline: the request is answered from the data at hand).
#ifndef TNMIBD_MIB_SNMPREFRESH_H_
#define TNMIBD_MIB_SNMPREFRESH_H_

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

class ClusterInfo;

// A level is polled again once its time stamp is more than this many seconds old.
constexpr int STALE_SECONDS = 20;

// Result of a refresh function that failed.
constexpr int REFRESH_FAILED = 5;
// Result of a refresh function whose poll was not done by the deadline.
constexpr int REFRESH_PENDING = 6;

// How long a request waits for its polls unless setRequestBudget says
// otherwise: four fifths of the master's AgentX timeout as packaged (10 s).
constexpr int64_t kDefaultRequestBudgetMicros = 8000000;

// The current time as last read by shouldRefresh.
extern struct timeval curTime;

// Changes whenever a poll's end was booked into myCluster (its data merged,
// or a failure's stamp renewed): a reader that saw the same value before
// knows myCluster is as it was then. Main thread.
extern unsigned long tarnInfoGeneration;

// Reads the clock into curTime; true when stamp is more than STALE_SECONDS
// seconds old (seconds only; exactly STALE_SECONDS is still fresh).
bool shouldRefresh(struct timeval stamp);

// Sets how long one request may wait for polls, in microseconds. Main thread.
void setRequestBudget(int64_t micros);

// Starts a request's budget anew: the main loop calls it before each turn,
// and the turn's first wait for a poll sets the deadline. Main thread.
void newRequestTurn();

// Readies the poll worker (its thread is started on PollWorker::threadBody by
// the caller); 0, or -1. Main thread, after refreshTarnInfo.
int startPollWorker();

// Merges into myCluster the poll the worker has finished, if the polling
// handler is free at once: the main loop calls it when PollWorker::wakeFd is
// readable, and every second. Main thread.
void mergeFinishedPolls();

// Fills every level once (start-up): disk configuration records, cluster,
// nodes, file systems with statistics, all pools, all disks with statistics.
// Stops at, and returns, the first failure.
int refreshTarnInfo();

// Cluster attributes, when stale. norefresh goes to the polling handler.
int refreshTarnClusterInfo(int norefresh);

// Node list, when stale.
int refreshTarnNodeInfo(int norefresh);

// File system list, when stale; with perf non-zero a stale statistics stamp
// counts too and the poll collects the statistics. fsIndex is -1 in practice.
int refreshTarnFSInfo(int fsIndex, int perf);

// Pools: fsIndex -1 polls every file system's pools unconditionally; a
// position polls that file system's pools when stale.
int refreshTarnPoolInfo(int fsIndex);

// Disks: both indexes -1 poll every disk unconditionally; otherwise the disks
// of one pool (by positions) when stale, first re-polling the file system or
// pool list when an index lies past its end.
int refreshTarnDiskInfo(int fsIndex, int poolIndex, int perf);

// Polls made here that failed (or were refused) since start-up. Main thread.
uint64_t pollFailureCount();

// The levels of the cluster data.
enum DataLevel { DATA_CLUSTER, DATA_NODES, DATA_FILESYSTEMS, DATA_POOLS, DATA_DISKS, DATA_LEVELS };

// While the last poll of level failed: true, with *since set to the time its
// data was last polled successfully (0 for never). A failed poll renews the
// level's time stamp for the 20-second rule, so the stamp no longer tells how
// old the served data is. Main thread.
bool pollsFailingSince(DataLevel level, time_t* since);

// The polling operations the refresh functions call, one pointer each. The
// default set forwards to thePollingHandler; a test installs its own to watch
// and steer the polls.
struct RefreshPolls {
  int (*updateDiskSDRInfo)(int norefresh);
  int (*updateClusterInfo)(ClusterInfo* dst, int norefresh);
  int (*getClusterInfo)(ClusterInfo* dst);
  int (*updateNodeInfo)(ClusterInfo* dst, int norefresh);
  int (*updateFilesystemInfo)(ClusterInfo* dst, int perf);
  int (*updateStoragePoolInfo)(ClusterInfo* dst, const char* fsName);
  int (*updateDiskInfo)(ClusterInfo* dst, const char* fsName, const char* poolName, int perf);
};

// Installs polls (kept by pointer, not copied); null restores the polling
// handler's. Main thread, outside any walk, while the poll worker is not
// running.
void setRefreshPolls(const RefreshPolls* polls);

#endif  // TNMIBD_MIB_SNMPREFRESH_H_
