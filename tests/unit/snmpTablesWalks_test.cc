// The table walks over a hand-built myCluster: rows and their order, the walk
// quirks, empty slots, and which levels each walk refreshes and when.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "mib/snmpTables.h"
#include "snmp/dl.h"
#include "snmpTables_testing.h"

namespace {

using namespace tablestest;  // NOLINT(build/namespaces)
using Rows = std::vector<std::string>;
using Calls = std::vector<std::string>;

// The last record named `name` in the list, else a new one made by add; "-"
// appends an empty slot instead.
template <class T, class Add>
T* ensure(std::vector<T*>* list, const std::string& name, Add add) {
  if (name == "-") {
    list->push_back(nullptr);
    return nullptr;
  }
  for (auto it = list->rbegin(); it != list->rend(); ++it) {
    if (*it != nullptr && name == (*it)->name) return *it;
  }
  return add(name.c_str());
}

// Adds to myCluster the space-separated paths "FS", "FS/POOL", "FS/POOL/DISK".
void build(const std::string& paths) {
  std::istringstream words(paths);
  for (std::string path; words >> path;) {
    std::istringstream parts(path);
    std::string fsName, poolName, diskName;
    std::getline(parts, fsName, '/');
    FilesystemInfo* fs =
        ensure(&myCluster->fileSystems, fsName, [](const char* n) { return addFs(myCluster, n); });
    if (!std::getline(parts, poolName, '/')) continue;
    StoragePoolInfo* pool =
        ensure(&fs->pools, poolName, [&](const char* n) { return addPool(fs, n); });
    if (std::getline(parts, diskName)) {
      ensure(&pool->disks, diskName, [&](const char* n) { return addDisk(pool, n); });
    }
  }
}

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
  enum Table { kCluster, kNodes, kFs, kPools, kDisks, kFsPerf, kDiskPerf };
  Rows walk(Table table) {
    static const struct {
      Netsnmp_First_Data_Point* first;
      Netsnmp_Next_Data_Point* next;
      int levels;
    } kTables[] = {
        {tarnClusterTable_get_first_data_point, tarnClusterTable_get_next_data_point, 1},
        {tarnNodeTable_get_first_data_point, tarnNodeTable_get_next_data_point, 1},
        {tarnFileSystemTable_get_first_data_point, tarnFileSystemTable_get_next_data_point, 1},
        {tarnStgPoolTable_get_first_data_point, tarnStgPoolTable_get_next_data_point, 2},
        {tarnDiskTable_get_first_data_point, tarnDiskTable_get_next_data_point, 3},
        {tarnFileSystemTable_get_first_data_point, tarnFileSystemTable_get_next_data_point, 1},
        {tarnDiskTable_get_first_data_point, tarnDiskTable_get_next_data_point, 3}};
    const auto& [first, next, levels] = kTables[table];
    netsnmp_iterator_info* iinfo = table == kFs || table == kDisks ? &statusInfo_ : nullptr;
    if (table == kFsPerf || table == kDiskPerf)
      iinfo = table == kFsPerf ? fsPerf_iinfo : diskPerf_iinfo;
    void* loop = nullptr;
    void* data = nullptr;
    Rows rows;
    for (netsnmp_variable_list* var = first(&loop, &data, put_, iinfo);
         var != nullptr && rows.size() < 1000; var = next(&loop, &data, put_, iinfo)) {
      EXPECT_EQ(var, put_);
      std::string joined;
      netsnmp_variable_list* index = put_;
      for (int i = 0; i < levels && index != nullptr; ++i, index = index->next_variable) {
        joined += (i > 0 ? "/" : "") +
                  std::string(reinterpret_cast<const char*>(index->val.string), index->val_len);
      }
      rows.push_back(joined);
    }
    EXPECT_EQ(data, nullptr);  // the walks never hand out a data context
    tarnMgmt_free_loop_context(loop, nullptr);
    return rows;
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
  EXPECT_EQ(walk(kCluster), (Rows{"tarn cluster.example"}));
  EXPECT_TRUE(calls().empty());
  myCluster->clusterUpdateTime = staleStamp();
  walk(kCluster);
  EXPECT_EQ(calls(), (Calls{"cluster 0", "getcluster"}));
}

TEST_F(Walk, NodesInListOrderStepOverEmptySlots) {
  EXPECT_EQ(walk(kNodes), Rows{});
  myCluster->nodes.push_back(nullptr);
  addNode(myCluster, "node 1");
  myCluster->nodes.push_back(nullptr);
  addNode(myCluster, "c5n2");
  myCluster->nodes.push_back(nullptr);
  EXPECT_EQ(walk(kNodes), (Rows{"node 1", "c5n2"}));
  myCluster->nodeUpdateTime = staleStamp();
  walk(kNodes);
  EXPECT_EQ(calls(), (Calls{"nodes 0"}));  // once per walk, not per row
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

TEST_F(Walk, RowsInOrderSteppingOverEmptySlotsUntilALevelIsEmpty) {
  static const struct {
    const char* tree;
    Table table;
    const char* rows;
  } kCases[] = {
      {"fs1 - fs2", kFs, "fs1 fs2"},
      {"fs1 - fs2", kFsPerf, "fs1 fs2"},
      {"-", kFs, ""},
      {"", kPools, ""},
      {"- A/- A/system A/- A/data1 A/- B/system", kPools, "A/system A/data1 B/system"},
      {"A B/system", kPools, ""},  // a file system without pools ends the walk
      {"B/system A C/system", kPools, "B/system"},
      {"- A/- A/system/- A/system/d1 A/system/- A/system/d2 A/data1/d3 B/system/d4", kDisks,
       "A/system/d1 A/system/d2 A/data1/d3 B/system/d4"},
      {"A/system/d1 A/system/d2 A/data1/d3 B/system/d4", kDiskPerf,
       "A/system/d1 A/system/d2 A/data1/d3 B/system/d4"},
      {"", kDisks, ""},
      {"A", kDisks, ""},
      {"A/system", kDisks, ""},
      {"A/system/d1 A/data1 A/data2/d5", kDisks, "A/system/d1"},  // a pool without disks
      {"A/system/d1 A/data2/d5 B C/system/d9", kDisks, "A/system/d1 A/data2/d5"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.tree << " in table " << c.table);
    ClusterTest::TearDown();
    ClusterTest::SetUp();
    build(c.tree);
    EXPECT_EQ(joined(walk(c.table), " "), c.rows);
    EXPECT_TRUE(calls().empty());
  }
}

// Makes stale, in every record: "fs", "fsperf", "pools", "disks", "diskperf".
void makeStale(const std::string& levels) {
  std::istringstream words(levels);
  for (std::string level; words >> level;) {
    if (level == "fs") myCluster->fsUpdateTime = staleStamp();
    if (level == "fsperf") myCluster->fsPerfUpdateTime = staleStamp();
    for (FilesystemInfo* fs : myCluster->fileSystems) {
      if (level == "pools") fs->poolUpdateTime = staleStamp();
      for (StoragePoolInfo* pool : fs->pools) {
        if (level == "disks") pool->diskUpdateTime = staleStamp();
        if (level == "diskperf") pool->diskPerfUpdateTime = staleStamp();
      }
    }
  }
}

TEST_F(Walk, LevelsRefreshedOnceOnEnteringAndStatisticsOnlyForPerformance) {
  static const struct {
    const char* tree;
    const char* stale;
    Table table;
    const char* calls;
  } kCases[] = {
      {"fs1", "fsperf", kFs, ""},
      {"fs1", "fsperf", kFsPerf, "fs perf=1"},
      {"fs1", "fs", kFs, "fs perf=0"},
      {"A/system A/data1 B/system", "pools", kPools, "pools A; pools B"},
      {"A/system/d1 A/system/d2 A/data1/d3 B/system/d4", "pools disks", kDisks,
       "pools A; disks A system perf=0; disks A data1 perf=0; pools B; disks B system perf=0"},
      {"A/system/d1 A/data1/d2", "diskperf", kDisks, ""},
      {"A/system/d1 A/data1/d2", "diskperf", kDiskPerf,
       "disks A system perf=1; disks A data1 perf=1"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.tree << ", stale " << c.stale << ", table " << c.table);
    ClusterTest::TearDown();
    ClusterTest::SetUp();
    build(c.tree);
    makeStale(c.stale);
    pollHook() = freshenPolledLevel;
    walk(c.table);
    EXPECT_EQ(joined(calls(), "; "), c.calls);
  }
}

TEST_F(Walk, FileSystemEnteredIsWalkedWithItsRefreshedPools) {
  build("A/system B/system");
  myCluster->fileSystems[1]->poolUpdateTime = staleStamp();
  pollHook() = [](const std::string& call) {
    if (call == "pools B") build("B/data2");
    return freshenPolledLevel(call);
  };
  EXPECT_EQ(walk(kPools), (Rows{"A/system", "B/system", "B/data2"}));
}

TEST_F(Walk, RefreshOnEnteringAPoolRewritesEveryIndexLevel) {
  // A refresh may put another file system into the same position.
  build("A/system/d1 A/system/d2 A/data1/d3");
  myCluster->fileSystems[0]->pools[1]->diskUpdateTime = staleStamp();
  pollHook() = [](const std::string& call) {
    if (call == "disks A data1 perf=0") copyText(myCluster->fileSystems[0]->name, "Z");
    return freshenPolledLevel(call);
  };
  EXPECT_EQ(walk(kDisks), (Rows{"A/system/d1", "A/system/d2", "Z/data1/d3"}));
}

TEST_F(Walk, PositionsLeftBehindByAShrunkenListEndTheWalk) {
  build("A/system/d1 A/data1");
  // Past the end of the disks, not just at it.
  static const struct {
    Netsnmp_Next_Data_Point* next;
    TableLoopContext ctx;
  } kCases[] = {{tarnDiskTable_get_next_data_point, {0, 5, 0, 0, 0}},
                {tarnDiskTable_get_next_data_point, {0, 0, 7, 0, 0}},
                {tarnDiskTable_get_next_data_point, {0, 0, 0, 5, 0}},
                {tarnStgPoolTable_get_next_data_point, {0, 3, 0, 0, 0}},
                {tarnNodeTable_get_next_data_point, {7, 0, 0, 0, 0}}};
  for (const auto& c : kCases) {
    TableLoopContext ctx = c.ctx;
    void* loop = &ctx;
    void* data = nullptr;
    EXPECT_EQ(c.next(&loop, &data, put_, nullptr), nullptr)
        << c.ctx.nodeIndex << "/" << c.ctx.fsIndex << "/" << c.ctx.poolIndex << "/"
        << c.ctx.diskIndex;
  }
}

}  // namespace
