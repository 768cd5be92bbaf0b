// The table walks over a hand-built myCluster: the rows and their order, the
// walk quirks (a file system without pools, a pool without disks, ends the
// walk), empty slots, and which levels each walk refreshes and when.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "mib/snmpTables.h"
#include "snmp/dl.h"
#include "snmpTables_testing.h"

namespace {

using tablestest::addDisk;
using tablestest::addFs;
using tablestest::addNode;
using tablestest::addPool;
using tablestest::freshStamp;
using tablestest::pollHook;
using tablestest::staleStamp;
using Rows = std::vector<std::string>;
using Calls = std::vector<std::string>;

// A poll hook that does what a successful poll does to the time stamps: the
// level it polled becomes fresh.
int freshenPolledLevel(const std::string& call) {
  std::istringstream words(call);
  std::string what, fsName, poolName;
  words >> what >> fsName >> poolName;
  for (FilesystemInfo* fs : myCluster->fileSystems) {
    if (fs == nullptr || fs->name != fsName) continue;
    if (what == "pools") fs->poolUpdateTime = freshStamp();
    if (what != "disks") continue;
    for (StoragePoolInfo* pool : fs->pools) {
      if (pool == nullptr || pool->name != poolName) continue;
      pool->diskUpdateTime = freshStamp();
      if (call.find("perf=1") != std::string::npos) pool->diskPerfUpdateTime = freshStamp();
    }
  }
  if (what == "fs") myCluster->fsUpdateTime = freshStamp();
  if (call == "fs perf=1") myCluster->fsPerfUpdateTime = freshStamp();
  return 0;
}

class Walk : public tablestest::ClusterTest {
 protected:
  static void SetUpTestSuite() {
    if (dlib.snmp_set_var_value == nullptr) {
      dlib.open_dep_dlibs();
      ASSERT_EQ(dlib.open_netsnmp_dlibs(), 0);
    }
  }
  void SetUp() override {
    ClusterTest::SetUp();
    for (int i = 0; i < 3; ++i) {
      snmp_varlist_add_variable(&put_, nullptr, 0, ASN_OCTET_STR, nullptr, 0);
    }
    savedFsPerf_ = fsPerf_iinfo;
    savedDiskPerf_ = diskPerf_iinfo;
    fsPerf_iinfo = &fsPerfInfo_;
    diskPerf_iinfo = &diskPerfInfo_;
  }
  void TearDown() override {
    snmp_free_varbind(put_);
    fsPerf_iinfo = savedFsPerf_;
    diskPerf_iinfo = savedDiskPerf_;
    ClusterTest::TearDown();
  }

  // Runs one walk to its end; each row as its index values joined by "/".
  Rows walk(Netsnmp_First_Data_Point* first, Netsnmp_Next_Data_Point* next, int levels,
            netsnmp_iterator_info* iinfo = nullptr) {
    void* loop = nullptr;
    void* data = nullptr;
    Rows rows;
    netsnmp_variable_list* var = first(&loop, &data, put_, iinfo);
    while (var != nullptr && rows.size() < 1000) {
      EXPECT_EQ(var, put_);
      rows.push_back(indexes(levels));
      var = next(&loop, &data, put_, iinfo);
    }
    EXPECT_EQ(data, nullptr);  // the walks never hand out a data context
    tarnMgmt_free_loop_context(loop, nullptr);
    return rows;
  }
  Rows walkNodes() {
    return walk(tarnNodeTable_get_first_data_point, tarnNodeTable_get_next_data_point, 1);
  }
  Rows walkFs(netsnmp_iterator_info* iinfo) {
    return walk(tarnFileSystemTable_get_first_data_point, tarnFileSystemTable_get_next_data_point,
                1, iinfo);
  }
  Rows walkPools() {
    return walk(tarnStgPoolTable_get_first_data_point, tarnStgPoolTable_get_next_data_point, 2);
  }
  Rows walkDisks(netsnmp_iterator_info* iinfo) {
    return walk(tarnDiskTable_get_first_data_point, tarnDiskTable_get_next_data_point, 3, iinfo);
  }

  std::string indexes(int levels) {
    std::string joined;
    netsnmp_variable_list* var = put_;
    for (int i = 0; i < levels && var != nullptr; ++i, var = var->next_variable) {
      if (i > 0) joined += "/";
      joined.append(reinterpret_cast<const char*>(var->val.string), var->val_len);
    }
    return joined;
  }

  netsnmp_variable_list* put_ = nullptr;
  netsnmp_iterator_info fsPerfInfo_ = {};
  netsnmp_iterator_info diskPerfInfo_ = {};
  netsnmp_iterator_info statusInfo_ = {};
  netsnmp_iterator_info* savedFsPerf_ = nullptr;
  netsnmp_iterator_info* savedDiskPerf_ = nullptr;
};

TEST_F(Walk, ClusterHasOneRowNamedAfterTheCluster) {
  copyText(myCluster->name, "tarn cluster.example");
  EXPECT_EQ(walk(tarnClusterTable_get_first_data_point, tarnClusterTable_get_next_data_point, 1),
            (Rows{"tarn cluster.example"}));
  EXPECT_TRUE(calls().empty());
  myCluster->clusterUpdateTime = staleStamp();
  walk(tarnClusterTable_get_first_data_point, tarnClusterTable_get_next_data_point, 1);
  EXPECT_EQ(calls(), (Calls{"cluster 0", "getcluster"}));
}

TEST_F(Walk, NodesInListOrderStepOverEmptySlots) {
  EXPECT_EQ(walkNodes(), Rows{});
  myCluster->nodes.push_back(nullptr);
  addNode(myCluster, "node 1");
  myCluster->nodes.push_back(nullptr);
  addNode(myCluster, "c5n2");
  myCluster->nodes.push_back(nullptr);
  EXPECT_EQ(walkNodes(), (Rows{"node 1", "c5n2"}));
  myCluster->nodeUpdateTime = staleStamp();
  walkNodes();
  EXPECT_EQ(calls(), (Calls{"nodes 0"}));  // once per walk, not per row
}

TEST_F(Walk, FileSystemsOnlyThePerformanceTableAsksForStatistics) {
  addFs(myCluster, "fs1");
  myCluster->fileSystems.push_back(nullptr);
  addFs(myCluster, "fs2");
  myCluster->fsPerfUpdateTime = staleStamp();
  EXPECT_EQ(walkFs(&statusInfo_), (Rows{"fs1", "fs2"}));
  EXPECT_TRUE(calls().empty());
  pollHook() = freshenPolledLevel;
  EXPECT_EQ(walkFs(fsPerf_iinfo), (Rows{"fs1", "fs2"}));
  EXPECT_EQ(calls(), (Calls{"fs perf=1"}));
  myCluster->fsUpdateTime = staleStamp();
  walkFs(&statusInfo_);
  EXPECT_EQ(calls().back(), "fs perf=0");
  for (FilesystemInfo* fs : myCluster->fileSystems) delete fs;
  myCluster->fileSystems.assign(1, nullptr);
  EXPECT_EQ(walkFs(&statusInfo_), Rows{});
}

TEST_F(Walk, PoolsOfEveryFileSystemInOrder) {
  FilesystemInfo* a = addFs(myCluster, "A");
  addPool(a, "system");
  addPool(a, "data1");
  addPool(addFs(myCluster, "B"), "system");
  EXPECT_EQ(walkPools(), (Rows{"A/system", "A/data1", "B/system"}));
}

TEST_F(Walk, FileSystemWithoutPoolsEndsThePoolWalk) {
  EXPECT_EQ(walkPools(), Rows{});
  addFs(myCluster, "A");
  addPool(addFs(myCluster, "B"), "system");
  EXPECT_EQ(walkPools(), Rows{});  // the first file system has no pools
  delete myCluster->fileSystems[0];
  myCluster->fileSystems.erase(myCluster->fileSystems.begin());
  addFs(myCluster, "A");
  addPool(addFs(myCluster, "C"), "system");
  EXPECT_EQ(walkPools(), (Rows{"B/system"}));
}

TEST_F(Walk, PoolsRefreshedOnceOnEnteringEachFileSystem) {
  FilesystemInfo* a = addFs(myCluster, "A");
  addPool(a, "system");
  addPool(a, "data1");
  FilesystemInfo* b = addFs(myCluster, "B");
  addPool(b, "system");
  a->poolUpdateTime = staleStamp();
  b->poolUpdateTime = staleStamp();
  pollHook() = freshenPolledLevel;
  walkPools();
  EXPECT_EQ(calls(), (Calls{"pools A", "pools B"}));
}

TEST_F(Walk, FileSystemEnteredIsWalkedWithItsRefreshedPools) {
  addPool(addFs(myCluster, "A"), "system");
  addPool(addFs(myCluster, "B"), "system");
  myCluster->fileSystems[1]->poolUpdateTime = staleStamp();
  pollHook() = [](const std::string& call) {
    if (call == "pools B") addPool(myCluster->fileSystems[1], "data2");
    return freshenPolledLevel(call);
  };
  EXPECT_EQ(walkPools(), (Rows{"A/system", "B/system", "B/data2"}));
}

TEST_F(Walk, PoolWalkStepsOverEmptySlots) {
  myCluster->fileSystems.push_back(nullptr);
  FilesystemInfo* a = addFs(myCluster, "A");
  a->pools.push_back(nullptr);
  addPool(a, "system");
  a->pools.push_back(nullptr);
  addPool(addFs(myCluster, "B"), "data1");
  EXPECT_EQ(walkPools(), (Rows{"A/system", "B/data1"}));
}

TEST_F(Walk, DisksOfEveryPoolInOrder) {
  FilesystemInfo* a = addFs(myCluster, "A");
  StoragePoolInfo* system = addPool(a, "system");
  addDisk(system, "d1");
  addDisk(system, "d2");
  addDisk(addPool(a, "data1"), "d3");
  addDisk(addPool(addFs(myCluster, "B"), "system"), "d4");
  const Rows expected = {"A/system/d1", "A/system/d2", "A/data1/d3", "B/system/d4"};
  EXPECT_EQ(walkDisks(&statusInfo_), expected);
  EXPECT_EQ(walkDisks(diskPerf_iinfo), expected);
}

TEST_F(Walk, PoolWithoutDisksOrFileSystemWithoutPoolsEndsTheDiskWalk) {
  EXPECT_EQ(walkDisks(&statusInfo_), Rows{});
  FilesystemInfo* a = addFs(myCluster, "A");
  EXPECT_EQ(walkDisks(&statusInfo_), Rows{});
  StoragePoolInfo* system = addPool(a, "system");
  EXPECT_EQ(walkDisks(&statusInfo_), Rows{});
  addDisk(system, "d1");
  addPool(a, "data1");
  addDisk(addPool(a, "data2"), "d5");
  EXPECT_EQ(walkDisks(&statusInfo_), (Rows{"A/system/d1"}));
  delete a->pools[1];
  a->pools.erase(a->pools.begin() + 1);
  addFs(myCluster, "B");
  addDisk(addPool(addFs(myCluster, "C"), "system"), "d9");
  EXPECT_EQ(walkDisks(&statusInfo_), (Rows{"A/system/d1", "A/data2/d5"}));
}

TEST_F(Walk, DiskWalkRefreshesOnEnteringFileSystemsAndPools) {
  FilesystemInfo* a = addFs(myCluster, "A");
  StoragePoolInfo* system = addPool(a, "system");
  addDisk(system, "d1");
  addDisk(system, "d2");
  StoragePoolInfo* data1 = addPool(a, "data1");
  addDisk(data1, "d3");
  FilesystemInfo* b = addFs(myCluster, "B");
  StoragePoolInfo* bsys = addPool(b, "system");
  addDisk(bsys, "d4");
  for (FilesystemInfo* fs : {a, b}) fs->poolUpdateTime = staleStamp();
  for (StoragePoolInfo* pool : {system, data1, bsys}) pool->diskUpdateTime = staleStamp();
  pollHook() = freshenPolledLevel;
  walkDisks(&statusInfo_);
  EXPECT_EQ(calls(), (Calls{"pools A", "disks A system perf=0", "disks A data1 perf=0", "pools B",
                            "disks B system perf=0"}));
}

TEST_F(Walk, OnlyTheDiskPerformanceTableAsksForStatistics) {
  FilesystemInfo* a = addFs(myCluster, "A");
  StoragePoolInfo* system = addPool(a, "system");
  addDisk(system, "d1");
  StoragePoolInfo* data1 = addPool(a, "data1");
  addDisk(data1, "d2");
  system->diskPerfUpdateTime = staleStamp();
  data1->diskPerfUpdateTime = staleStamp();
  pollHook() = freshenPolledLevel;
  walkDisks(&statusInfo_);
  walkDisks(diskPerf_iinfo);
  EXPECT_EQ(calls(), (Calls{"disks A system perf=1", "disks A data1 perf=1"}));
}

TEST_F(Walk, RefreshOnEnteringAPoolRewritesEveryIndexLevel) {
  // Rows of one pool share their file system's and pool's names; a refresh
  // may put another file system into the same position, so after one the
  // names are set again.
  FilesystemInfo* a = addFs(myCluster, "A");
  StoragePoolInfo* system = addPool(a, "system");
  addDisk(system, "d1");
  addDisk(system, "d2");
  addDisk(addPool(a, "data1"), "d3");
  a->pools[1]->diskUpdateTime = staleStamp();
  pollHook() = [](const std::string& call) {
    if (call == "disks A data1 perf=0") copyText(myCluster->fileSystems[0]->name, "Z");
    return freshenPolledLevel(call);
  };
  EXPECT_EQ(walkDisks(&statusInfo_), (Rows{"A/system/d1", "A/system/d2", "Z/data1/d3"}));
}

TEST_F(Walk, DiskWalkStepsOverEmptySlotsAtEveryLevel) {
  myCluster->fileSystems.push_back(nullptr);
  FilesystemInfo* a = addFs(myCluster, "A");
  a->pools.push_back(nullptr);
  StoragePoolInfo* system = addPool(a, "system");
  system->disks.push_back(nullptr);
  addDisk(system, "d1");
  system->disks.push_back(nullptr);
  addDisk(addPool(a, "data1"), "d2");
  EXPECT_EQ(walkDisks(&statusInfo_), (Rows{"A/system/d1", "A/data1/d2"}));
}

TEST_F(Walk, PositionsLeftBehindByAShrunkenListEndTheWalk) {
  addDisk(addPool(addFs(myCluster, "A"), "system"), "d1");
  addPool(myCluster->fileSystems[0], "data1");
  TableLoopContext ctx = {0, 5, 0, 0, 0};
  void* loop = &ctx;
  void* data = nullptr;
  EXPECT_EQ(tarnDiskTable_get_next_data_point(&loop, &data, put_, nullptr), nullptr);
  ctx = {0, 0, 7, 0, 0};
  EXPECT_EQ(tarnDiskTable_get_next_data_point(&loop, &data, put_, nullptr), nullptr);
  ctx = {0, 0, 0, 5, 0};  // past the end of the disks (not just at it)
  EXPECT_EQ(tarnDiskTable_get_next_data_point(&loop, &data, put_, nullptr), nullptr);
  ctx = {0, 3, 0, 0, 0};
  EXPECT_EQ(tarnStgPoolTable_get_next_data_point(&loop, &data, put_, nullptr), nullptr);
  ctx = {7, 0, 0, 0, 0};
  EXPECT_EQ(tarnNodeTable_get_next_data_point(&loop, &data, put_, nullptr), nullptr);
}

}  // namespace
