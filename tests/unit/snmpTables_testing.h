// Test support for the refresh cache and the table walks: a hand-built
// myCluster and polls that record each call (and can change the tree or
// fail, through a hook) instead of asking the daemon.
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

// Runs the hook, then logs the text built again: names handed to a poll must
// stay readable even when the hook destroyed the records.
inline int record(const std::function<std::string()>& describe) {
  const int result = pollHook() ? pollHook()(describe()) : 0;
  pollCalls().push_back(describe());
  return result;
}

inline std::string text(const char* name) { return name != nullptr ? name : "*"; }
inline std::string text(int n) { return std::to_string(n); }

inline const RefreshPolls kFakePolls = {
    [](int n) { return record([=] { return "sdr " + text(n); }); },
    [](ClusterInfo*, int n) { return record([=] { return "cluster " + text(n); }); },
    [](ClusterInfo*) { return record([] { return std::string("getcluster"); }); },
    [](ClusterInfo*, int n) { return record([=] { return "nodes " + text(n); }); },
    [](ClusterInfo*, int perf) { return record([=] { return "fs perf=" + text(perf); }); },
    [](ClusterInfo*, const char* fs) { return record([=] { return "pools " + text(fs); }); },
    [](ClusterInfo*, const char* fs, const char* pool, int perf) {
      return record([=] { return "disks " + text(fs) + " " + text(pool) + " perf=" + text(perf); });
    }};

inline struct timeval stampAgo(int secondsAgo) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  now.tv_sec -= secondsAgo;
  return now;
}
inline struct timeval freshStamp() { return stampAgo(0); }
inline struct timeval staleStamp() { return stampAgo(STALE_SECONDS + 40); }

template <class T>
T* addTo(std::vector<T*>* list, const char* name) {
  MErrno err;
  T* record = new T(&err);
  copyText(record->name, name);
  list->push_back(record);
  return record;
}
inline NodeInfo* addNode(ClusterInfo* cluster, const char* name) {
  return addTo(&cluster->nodes, name);
}
inline FilesystemInfo* addFs(ClusterInfo* cluster, const char* name) {
  FilesystemInfo* fs = addTo(&cluster->fileSystems, name);
  fs->poolUpdateTime = freshStamp();
  return fs;
}
inline StoragePoolInfo* addPool(FilesystemInfo* fs, const char* name) {
  StoragePoolInfo* pool = addTo(&fs->pools, name);
  pool->diskUpdateTime = pool->diskPerfUpdateTime = freshStamp();
  return pool;
}
inline DiskInfo* addDisk(StoragePoolInfo* pool, const char* name) {
  return addTo(&pool->disks, name);
}

// A fresh, empty myCluster served through the recording polls; every level
// fresh so that only what a test makes stale is polled.
class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MErrno err;
    myCluster = new ClusterInfo(&err);
    myCluster->clusterUpdateTime = myCluster->nodeUpdateTime = freshStamp();
    myCluster->fsUpdateTime = myCluster->fsPerfUpdateTime = freshStamp();
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
