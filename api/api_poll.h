// The polling handler: the one object that gathers cluster data. It owns the
// master ClusterInfo tree, fills it from daemon commands (through the
// process-wide command wrapper) and from the configuration query tool. At
// start-up each poll also copies the polled level into the caller's tree (the
// SNMP side's copy); afterwards the polls run on the poll worker with no
// tree, and the SNMP side copies from the master itself (snmpPollWorker.h).
//
// DESIGN: one connection to the daemon carries every command, so every
// operation that sends a command or reads or writes the master tree holds
// handlerMutex from start to end: the polls (the poll worker's thread; the
// main thread at start-up), the node-list refresh (refresh thread), the disk
// configuration scan (the main thread at start-up, then the events handler's
// send thread), getClusterInfo, and the SNMP side's copy from the master,
// which only tries the mutex and never waits on it. The mutex is not
// recursive; none of these operations calls another that takes it.
#ifndef TNMIBD_API_API_POLL_H_
#define TNMIBD_API_API_POLL_H_

#include <pthread.h>

#include "api/api_records.h"
#include "api/merrno.h"

class TnperfWrapperUtils;

class PollingHandler {
 public:
  // Creates the handler and stores it in thePollingHandler; 0, or the
  // constructor's error number (then thePollingHandler stays null). Main thread.
  static int init(int debug);
  // Destroys the handler (if any) and clears thePollingHandler. Main thread.
  static void term();

  // Sets *err to 0, then to TnperfWrapperUtils::init's result; only when that
  // is 0 does it create the master tree and set up the daemon's node list.
  PollingHandler(MErrno* err, int debug);
  // Tears the daemon's node list down, destroys the master tree, ends the wrapper.
  ~PollingHandler();
  PollingHandler(const PollingHandler&) = delete;
  PollingHandler& operator=(const PollingHandler&) = delete;

  // Sends one daemon command, again for as long as the wrapper answers 2.
  // Returns the wrapper's last result; a -1 (refused, or an answer that
  // failed and cost the connection) also sets answerFailed. Caller holds
  // handlerMutex.
  int processCommand(const char* command);
  // Rebuilds the daemon's node list; returns 0. Caller holds handlerMutex.
  int initNodeList();
  // Tears the daemon's node list down; returns 0. Caller holds handlerMutex.
  int cleanupNodeList();
  // initNodeList under handlerMutex, then stamps clusterUpdateTime; returns 0.
  int refreshClusterRecipe();

  // Cluster poll: configuration query plus "get clusterinfo" into the master,
  // then the master's values (not its lists) onto dst. 0; 1 when the query
  // tool cannot be started, runs too long or fails (its output is then not
  // applied: the master keeps its last good configuration); or the failing
  // daemon command's result.
  int updateClusterInfo(ClusterInfo* dst, int norefresh);
  // Copies the master's cluster values, nodes and file systems into dst
  // (one level deep: pools are merged by the pool and disk polls). Returns 0.
  int getClusterInfo(ClusterInfo* dst);
  // The polls that checkFailedNode guards, for its warning.
  enum { POLL_LEVEL_FS = 0, POLL_LEVEL_POOLS = 1, POLL_LEVEL_DISKS = 2, POLL_LEVEL_COUNT = 3 };
  // 1 when the master has no node or one whose status names a failed node;
  // else 0. "Warning: failed node" is logged at most once per level every
  // kFailedNodeWarnSeconds. Caller holds handlerMutex.
  int checkFailedNode(int level = POLL_LEVEL_FS);

  // Node poll: adds the nodes the query lists, removes those it no longer
  // lists, and merges the master's nodes into dst on success. 0; 1 when the
  // query tool fails as for updateClusterInfo (nothing changes); or the
  // failing daemon command's result.
  int updateNodeInfo(ClusterInfo* dst, int norefresh);
  // The file system, pool and disk polls send one command per record and
  // stop at the first that fails: they then return 1 and merge nothing, so
  // a daemon that stops answering costs one answer's time-out, not one per
  // record, and no half-read answer reaches the tables.
  //
  // File system poll (statistics too when perf is non-zero); merges the file
  // systems into dst. 0, or 1 when checkFailedNode refuses or a command failed.
  int updateFilesystemInfo(ClusterInfo* dst, int perf);
  // Disk configuration scan: creates and removes the master's file systems,
  // pools and disks after the query tool's disk records. 0, or 1 when the
  // tool fails as for updateClusterInfo, changing nothing. Any thread.
  int updateDiskSDRInfo(int norefresh);
  // Pool poll for fsName, or every file system when fsName is null; merges
  // file systems and pools into dst. 0, or 1 (unknown file system, failed
  // node, failed command).
  int updateStoragePoolInfo(ClusterInfo* dst, const char* fsName);
  // Disk poll for poolName of fsName, or every pool of fsName when poolName is
  // null (statistics too when perf is non-zero); merges file systems, pools
  // and disks into dst. 0, or 1 (unknown file system or pool, failed node,
  // failed command).
  int updateDiskInfo(ClusterInfo* dst, const char* fsName, const char* poolName, int perf);

  // The process-wide command wrapper; owned through TnperfWrapperUtils::term.
  TnperfWrapperUtils* utils;
  // The master tree, owned. Read or written only under handlerMutex.
  ClusterInfo* clusterInfo;
  pthread_mutex_t handlerMutex;
  // Non-zero echoes daemon responses and prints debug and warning lines.
  int debug;
  // Set by processCommand when a command fails; each poll clears it first.
  bool answerFailed = false;

 private:
  static constexpr int kFailedNodeWarnSeconds = 20;
  void warnFailedNode(int level);
  // Monotonic second of each level's last failed-node warning; 0 for none.
  int64_t failedNodeWarned[POLL_LEVEL_COUNT] = {};
};

// How long one run of the configuration query tool may take before it is
// killed and its poll fails.
constexpr int kQueryLimitMillis = 30000;

// Kills a running configuration query and fails every later one, so that a
// hung tool cannot hold the agent's stop. Async-signal-safe; any thread.
void stopQueries();

// Sets the query run limit (0 restores kQueryLimitMillis) and lifts a
// stopQueries. For tests.
void setQueryTimeLimit(int millis);

// The one polling handler, null before PollingHandler::init and after term.
extern PollingHandler* thePollingHandler;

#endif  // TNMIBD_API_API_POLL_H_
