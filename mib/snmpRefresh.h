// The refresh cache: keeps the SNMP side's copy of the cluster data
// (myCluster) fresh level by level. Each level (cluster, nodes, file systems,
// a file system's pools, a pool's disks) carries the time of its last poll;
// a table walk that touches a level older than STALE_SECONDS has the polling
// handler poll it again and merge the result into myCluster.
//
// Every function here runs on the main thread (start-up, then the SNMP
// request loop) and takes no lock: myCluster belongs to that thread, and the
// polling handler serialises its own work. Results are 0 (done, or nothing
// to do) or 5 (a poll failed, or an index or list slot was unusable).
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

// The current time as last read by shouldRefresh.
extern struct timeval curTime;

// Changes whenever a refresh function may have polled, and so changed
// myCluster: a reader that saw the same value before knows myCluster is as it
// was then. Main thread.
extern unsigned long tarnInfoGeneration;

// Reads the clock into curTime; true when stamp is more than STALE_SECONDS
// seconds old (seconds only; exactly STALE_SECONDS is still fresh).
bool shouldRefresh(struct timeval stamp);

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
// handler's. Main thread, outside any walk.
void setRefreshPolls(const RefreshPolls* polls);

#endif  // TNMIBD_MIB_SNMPREFRESH_H_
