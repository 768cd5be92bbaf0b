// Test support for the refresh cache and the table walks: a hand-built
// myCluster and a set of polls that record each call (and can change the
// tree or fail, through a hook) instead of asking the daemon.
#ifndef TNMIBD_TESTS_UNIT_SNMPTABLES_TESTING_H_
#define TNMIBD_TESTS_UNIT_SNMPTABLES_TESTING_H_

#include <gtest/gtest.h>
#include <sys/time.h>

#include <functional>
#include <string>
#include <vector>

#include "agent/tarnInfo.h"
#include "agent/text.h"
#include "api/api_records.h"
#include "mib/snmpRefresh.h"

namespace tablestest {

// Every poll made, as text: "sdr 0", "cluster 1", "getcluster", "nodes 0",
// "fs perf=1", "pools *" or "pools NAME", "disks FS * perf=0" or "disks FS POOL perf=1".
inline std::vector<std::string>& pollCalls() {
  static std::vector<std::string> calls;
  return calls;
}

// Decides a poll's result (and may reshape myCluster); none means success.
inline std::function<int(const std::string&)>& pollHook() {
  static std::function<int(const std::string&)> hook;
  return hook;
}

// Runs the hook on the call's text, then logs the text built again: names
// handed to a poll must stay readable even when the hook destroyed the records.
inline int record(const std::function<std::string()>& describe) {
  const int result = pollHook() ? pollHook()(describe()) : 0;
  pollCalls().push_back(describe());
  return result;
}

inline std::string nameOrAll(const char* name) { return name != nullptr ? name : "*"; }

inline int fakeSdr(int norefresh) {
  return record([=] { return "sdr " + std::to_string(norefresh); });
}
inline int fakeCluster(ClusterInfo*, int norefresh) {
  return record([=] { return "cluster " + std::to_string(norefresh); });
}
inline int fakeGetCluster(ClusterInfo*) {
  return record([] { return std::string("getcluster"); });
}
inline int fakeNodes(ClusterInfo*, int norefresh) {
  return record([=] { return "nodes " + std::to_string(norefresh); });
}
inline int fakeFs(ClusterInfo*, int perf) {
  return record([=] { return "fs perf=" + std::to_string(perf); });
}
inline int fakePools(ClusterInfo*, const char* fsName) {
  return record([=] { return "pools " + nameOrAll(fsName); });
}
inline int fakeDisks(ClusterInfo*, const char* fsName, const char* poolName, int perf) {
  return record([=] {
    return "disks " + nameOrAll(fsName) + " " + nameOrAll(poolName) +
           " perf=" + std::to_string(perf);
  });
}

inline const RefreshPolls kFakePolls = {fakeSdr, fakeCluster, fakeGetCluster, fakeNodes,
                                        fakeFs,  fakePools,   fakeDisks};

// A time stamp secondsAgo seconds before now.
inline struct timeval stampAgo(int secondsAgo) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  now.tv_sec -= secondsAgo;
  return now;
}
inline struct timeval freshStamp() { return stampAgo(0); }
inline struct timeval staleStamp() { return stampAgo(STALE_SECONDS + 40); }

inline NodeInfo* addNode(ClusterInfo* cluster, const char* name) {
  MErrno err;
  NodeInfo* node = new NodeInfo(&err);
  copyText(node->name, name);
  cluster->nodes.push_back(node);
  return node;
}

inline FilesystemInfo* addFs(ClusterInfo* cluster, const char* name) {
  MErrno err;
  FilesystemInfo* fs = new FilesystemInfo(&err);
  copyText(fs->name, name);
  fs->poolUpdateTime = freshStamp();
  cluster->fileSystems.push_back(fs);
  return fs;
}

inline StoragePoolInfo* addPool(FilesystemInfo* fs, const char* name) {
  MErrno err;
  StoragePoolInfo* pool = new StoragePoolInfo(&err);
  copyText(pool->name, name);
  pool->diskUpdateTime = freshStamp();
  pool->diskPerfUpdateTime = freshStamp();
  fs->pools.push_back(pool);
  return pool;
}

inline DiskInfo* addDisk(StoragePoolInfo* pool, const char* name) {
  MErrno err;
  DiskInfo* disk = new DiskInfo(&err);
  copyText(disk->name, name);
  pool->disks.push_back(disk);
  return disk;
}

// A fresh, empty myCluster served through the recording polls; every level
// fresh so that only what a test makes stale is polled.
class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MErrno err;
    myCluster = new ClusterInfo(&err);
    myCluster->clusterUpdateTime = freshStamp();
    myCluster->nodeUpdateTime = freshStamp();
    myCluster->fsUpdateTime = freshStamp();
    myCluster->fsPerfUpdateTime = freshStamp();
    pollCalls().clear();
    pollHook() = nullptr;
    setRefreshPolls(&kFakePolls);
  }
  void TearDown() override {
    setRefreshPolls(nullptr);
    pollHook() = nullptr;
    delete myCluster;
    myCluster = nullptr;
  }
  const std::vector<std::string>& calls() { return pollCalls(); }
};

}  // namespace tablestest

#endif  // TNMIBD_TESTS_UNIT_SNMPTABLES_TESTING_H_
