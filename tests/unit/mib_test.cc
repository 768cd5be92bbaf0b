// What the system tests cannot pin down in mib/: tables over a hand-built myCluster whose polls
// only record their calls; traps through the real Net-SNMP library, send_v2trap captured.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "agent/clock.h"
#include "agent/tarnInfo.h"
#include "agent/text.h"
#include "api/api_records.h"
#include "mib/snmpHealth.h"
#include "mib/snmpTables.h"
#include "mib/snmpTraps.h"
#include "snmp/dl.h"
#include "tests/unit/api_conn_test_util.h"

// The agent defines the served cluster record; the unit tests bring their own.
__attribute__((weak)) ClusterInfo* myCluster = nullptr;

namespace {

// The polls made ("nodes 0", "fs perf=1", "pools FS", "disks FS POOL perf=0", ...), joined by "; ".
std::string calls;
// Decides a poll's result (and may reshape myCluster); none means success.
std::function<int(const std::string&)> hook;

int poll(const std::string& call) {
  calls += (calls.empty() ? "" : "; ") + call;
  return hook ? hook(call) : 0;
}
std::string text(const char* name) { return name != nullptr ? name : "*"; }

const RefreshPolls kFakePolls = {
    [](int n) { return poll("sdr " + std::to_string(n)); },
    [](ClusterInfo*, int n) { return poll("cluster " + std::to_string(n)); },
    [](ClusterInfo*) { return poll("getcluster"); },
    [](ClusterInfo*, int n) { return poll("nodes " + std::to_string(n)); },
    [](ClusterInfo*, int perf) { return poll("fs perf=" + std::to_string(perf)); },
    [](ClusterInfo*, const char* fs) { return poll("pools " + text(fs)); },
    [](ClusterInfo*, const char* fs, const char* pool, int perf) {
      return poll("disks " + text(fs) + " " + text(pool) + " perf=" + std::to_string(perf));
    }};

struct timeval now() {
  struct timeval stamp;
  stampTime(&stamp);
  return stamp;
}
const struct timeval kStale = {1000, 0};
const char kEveryLevel[] = "cluster nodes fs fsperf pools disks diskperf";

// Sets the stamps of the levels named (see kEveryLevel) in every record.
void setStamps(const std::string& levels, struct timeval stamp) {
  std::istringstream words(levels);
  for (std::string level; words >> level;) {
    if (level == "cluster") myCluster->clusterUpdateTime = stamp;
    if (level == "nodes") myCluster->nodeUpdateTime = stamp;
    if (level == "fs") myCluster->fsUpdateTime = stamp;
    if (level == "fsperf") myCluster->fsPerfUpdateTime = stamp;
    for (FilesystemInfo* fs : myCluster->fileSystems) {
      if (fs == nullptr) continue;
      if (level == "pools") fs->poolUpdateTime = stamp;
      for (StoragePoolInfo* pool : fs->pools) {
        if (pool != nullptr && level == "disks") pool->diskUpdateTime = stamp;
        if (pool != nullptr && level == "diskperf") pool->diskPerfUpdateTime = stamp;
      }
    }
  }
}
void makeStale(const std::string& levels) { setStamps(levels, kStale); }

// Appends a record unless the last one has that name ("-": an empty slot); returns the last.
template <class T>
T* add(std::vector<T*>* list, const std::string& name) {
  if (name == "-") {
    list->push_back(nullptr);
  } else if (list->empty() || list->back() == nullptr || name != list->back()->name) {
    MErrno err;
    list->push_back(new T(&err));
    copyText(list->back()->name, name.c_str());
  }
  return list->back();
}

// Adds "@NODE", "FS", "FS/POOL" and "FS/POOL/DISK" (space-separated) to myCluster, fresh.
void build(const std::string& paths) {
  std::istringstream words(paths);
  for (std::string path; words >> path;) {
    if (path[0] == '@') add(&myCluster->nodes, path.substr(1));
    if (path[0] == '@') continue;
    std::istringstream parts(path);
    std::string name;
    std::getline(parts, name, '/');
    FilesystemInfo* fs = add(&myCluster->fileSystems, name);
    if (!std::getline(parts, name, '/')) continue;
    StoragePoolInfo* pool = add(&fs->pools, name);
    if (std::getline(parts, name)) add(&pool->disks, name);
  }
  setStamps(kEveryLevel, now());
}

enum Family { kCluster, kNodes, kFs, kPools, kDisks };
const struct {
  Netsnmp_First_Data_Point* first;
  Netsnmp_Next_Data_Point* next;
  int levels;
} kWalks[] = {
    {tarnClusterTable_get_first_data_point, tarnClusterTable_get_next_data_point, 1},
    {tarnNodeTable_get_first_data_point, tarnNodeTable_get_next_data_point, 1},
    {tarnFileSystemTable_get_first_data_point, tarnFileSystemTable_get_next_data_point, 1},
    {tarnStgPoolTable_get_first_data_point, tarnStgPoolTable_get_next_data_point, 2},
    {tarnDiskTable_get_first_data_point, tarnDiskTable_get_next_data_point, 3}};

class Tables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (dlib.snmp_set_var_value == nullptr) {
      dlib.open_dep_dlibs();
      ASSERT_EQ(dlib.open_netsnmp_dlibs(), 0);
    }
  }
  void SetUp() override {
    fsPerf_iinfo = &fsPerf;
    diskPerf_iinfo = &diskPerf;
    setRefreshPolls(&kFakePolls);
    restart();
  }
  void TearDown() override {
    setRefreshPolls(nullptr);
    delete myCluster;
    myCluster = nullptr;
  }
  // An empty myCluster, every level fresh: only what a test makes stale is polled.
  void restart() {
    delete myCluster;
    MErrno err;
    myCluster = new ClusterInfo(&err);
    setStamps(kEveryLevel, now());
    calls.clear();
    hook = nullptr;
    ++tarnInfoGeneration;  // what a lookup kept from an earlier test is out of date
  }
  // Installs on info the lookup the environment chooses (null: unset), as registration does.
  void install(netsnmp_iterator_info* info, Family family, const char* lookup) {
    if (lookup != nullptr) setenv(TABLE_LOOKUP_ENV, lookup, 1);
    const auto& w = kWalks[family];
    netsnmp_handler_registration reg = {};
    reg.rootoid_len = 10;  // a table under enterprises.32473: 116 sub-identifiers left for an index
    setUpLookup(FamilySpec{nullptr, w.levels, w.first, w.next, nullptr, 0}, &reg, info);
    unsetenv(TABLE_LOOKUP_ENV);
  }
  // The rows of a walk through info's lookup (else the list-order walk), "@FS.POOL.DISK" if asked.
  std::string walk(Family family, netsnmp_iterator_info* info, bool positions = false) {
    auto* first = info->get_first_data_point ? info->get_first_data_point : kWalks[family].first;
    auto* next = info->get_next_data_point ? info->get_next_data_point : kWalks[family].next;
    auto* done = info->free_loop_context_at_end ? info->free_loop_context_at_end
                                                : tarnMgmt_free_loop_context;
    netsnmp_variable_list* put = nullptr;  // the table's index variables
    for (int i = 0; i < kWalks[family].levels; ++i) {
      snmp_varlist_add_variable(&put, nullptr, 0, ASN_OCTET_STR, nullptr, 0);
    }
    void *loop = nullptr, *data = nullptr;
    std::string rows;
    for (auto* var = first(&loop, &data, put, info); var != nullptr && rows.size() < 9999;
         var = next(&loop, &data, put, info)) {
      rows += rows.empty() ? "" : " ";
      for (auto* index = put; index != nullptr; index = index->next_variable) {
        rows += (index != put ? "/" : "") +
                std::string(reinterpret_cast<const char*>(index->val.string), index->val_len);
      }
      const auto* at = static_cast<const TableLoopContext*>(loop);
      if (positions)
        rows += "@" + std::to_string(at->fsIndex) + "." + std::to_string(at->poolIndex) + "." +
                std::to_string(at->diskIndex);
    }
    done(loop, info);
    snmp_free_varbind(put);
    return rows;
  }
  netsnmp_iterator_info status = {}, fsPerf = {}, diskPerf = {};
};

TEST(ShouldRefresh, StaleOnlyAfterMoreThanTwentyWholeSeconds) {
  // {whole seconds old, microseconds of the stamp, stale}
  static const std::tuple<int, int, bool> kCases[] = {
      {STALE_SECONDS, 0, false}, {STALE_SECONDS + 1, 999999, true}, {-100, 0, false}};
  for (const auto& [age, usec, stale] : kCases) {
    for (bool done = false; !done;) {  // again when the clock's second changed during the call
      const struct timeval before = now();
      const bool got = shouldRefresh(timeval{before.tv_sec - age, usec});
      done = now().tv_sec == before.tv_sec;
      EXPECT_EQ(done ? got : stale, stale) << age << " s";
    }
  }
}

// A failed poll renews its level's stamp, so requests in the next 20 s do not poll (and warn)
// again; the level counts as failing since its last good poll, until a poll succeeds.
TEST_F(Tables, AFailedPollCountsForTheTwentySecondsOfItsLevel) {
  build("A/system");
  static const std::tuple<DataLevel, const char*, int (*)()> kLevels[] = {
      {DATA_CLUSTER, "cluster 0", [] { return refreshTarnClusterInfo(0); }},
      {DATA_NODES, "nodes 0", [] { return refreshTarnNodeInfo(0); }},
      {DATA_FILESYSTEMS, "fs perf=1", [] { return refreshTarnFSInfo(-1, 1); }},
      {DATA_POOLS, "pools A", [] { return refreshTarnPoolInfo(0); }},
      {DATA_DISKS, "disks A system perf=1", [] { return refreshTarnDiskInfo(0, 0, 1); }},
  };
  for (const auto& [level, call, refresh] : kLevels) {
    SCOPED_TRACE(call);
    calls.clear();
    makeStale(kEveryLevel);
    hook = [](const std::string&) { return 1; };
    EXPECT_EQ(refresh(), 5);
    EXPECT_EQ(refresh(), 0);
    EXPECT_EQ(calls, call);
    time_t since = 0;
    EXPECT_TRUE(pollsFailingSince(level, &since));
    EXPECT_EQ(since, kStale.tv_sec);
    makeStale(kEveryLevel);
    hook = nullptr;
    EXPECT_EQ(refresh(), 0);
    EXPECT_FALSE(pollsFailingSince(level, &since));
  }
}

TEST_F(Tables, RefreshOfAPositionWithoutARecordFailsWithoutPolling) {
  build("A - B C");
  makeStale("fs pools");
  FilesystemInfo* gone = myCluster->fileSystems.back();
  myCluster->fileSystems.pop_back();  // a list that shrank: its old last slot still holds C
  for (int position : {1, 3, -2}) EXPECT_EQ(refreshTarnPoolInfo(position), 5) << position;
  delete gone;
  EXPECT_EQ(calls, "");
  EXPECT_EQ(refreshTarnDiskInfo(3, 0, 0), 5);  // past the end of a stale list: polled again first
  EXPECT_EQ(refreshTarnFSInfo(-1, 0), 5);      // the list polled has an empty slot
  EXPECT_EQ(calls, "fs perf=0; fs perf=0");
}

TEST_F(Tables, ListOrderWalksStepOverEmptySlotsAndStopAtAnEmptyFileSystemOrPool) {
  static const std::tuple<const char*, Family, const char*> kCases[] = {
      {"@- @node1 @- @c5n2 @-", kNodes, "node1 c5n2"},
      {"fs1 - fs2", kFs, "fs1 fs2"},
      {"- A/- A/system A/- A/data1 A/- B/system", kPools, "A/system A/data1 B/system"},
      {"A B/system", kPools, ""},
      {"- A/- A/system/- A/system/d1 A/system/- A/system/d2 A/data1/d3 B/system/d4", kDisks,
       "A/system/d1 A/system/d2 A/data1/d3 B/system/d4"},
      {"A/system/d1 A/data1 A/data2/d5", kDisks, "A/system/d1"},
      {"A/system/d1 A/data2/d5 B C/system/d9", kDisks, "A/system/d1 A/data2/d5"},
  };
  for (const auto& [tree, family, rows] : kCases) {
    restart();
    build(tree);
    EXPECT_EQ(walk(family, &status), rows) << tree;
    EXPECT_EQ(walk(family, family == kFs ? &fsPerf : &diskPerf), rows) << tree;
    EXPECT_EQ(calls, "") << tree;
  }
}

// A walk refreshes a level on entering it, then goes on with the lists as the refresh left them.
TEST_F(Tables, WalksRefreshALevelOnEnteringItAndGoOnWithTheListsItReshaped) {
  build("A/system/d1 A/system/d2 A/data1/d3 B/system/d4");
  makeStale("pools disks");
  hook = [](const std::string& call) {
    if (call == "pools B") add(&myCluster->fileSystems[1]->pools, "data2");
    if (call == "disks A data1 perf=0") copyText(myCluster->fileSystems[0]->name, "Z");
    return 0;
  };
  EXPECT_EQ(walk(kPools, &status), "A/system A/data1 B/system B/data2");
  EXPECT_EQ(walk(kDisks, &status), "A/system/d1 A/system/d2 Z/data1/d3 B/system/d4");
  EXPECT_EQ(calls,
            "pools A; pools B; pools A; disks A system perf=0; disks A data1 perf=0; "
            "pools B; disks B system perf=0; disks B data2 perf=0");
}

// The sorted lookup serves the walk's rows in SNMP index order (a name's length first); equal
// indexes keep their list order, so the first in list order answers, as with the scan. A request
// first makes the refreshes a walk of its table would make.
TEST_F(Tables, SortedLookupServesTheWalksRowsInIndexOrderAfterTheWalksRefreshes) {
  build("B/p/d - AA/q/- AA/q/e AA/p/d B/p/d C D/p/d");
  install(&status, kDisks, nullptr);
  install(&diskPerf, kDisks, "sorted");
  EXPECT_TRUE((status.flags & NETSNMP_ITERATOR_FLAG_SORTED) != 0);  // the default
  const std::string rows = "B/p/d@0.0.0 B/p/d@3.0.0 AA/p/d@2.1.0 AA/q/e@2.0.1";
  EXPECT_EQ(walk(kDisks, &status, true), rows);
  hook = [](const std::string&) {
    setStamps(kEveryLevel, now());
    return 0;
  };
  makeStale("diskperf");
  EXPECT_EQ(walk(kDisks, &status, true), rows);
  EXPECT_EQ(calls, "");
  EXPECT_EQ(walk(kDisks, &diskPerf, true), rows);
  makeStale("disks");
  walk(kDisks, &status);
  EXPECT_EQ(calls, "disks B p perf=1; disks B p perf=0");
}

// One warning, though both lookups meet the row after two polls each: at most one a minute.
TEST_F(Tables, RowsWhoseIndexDoesNotFitInAnOidAreLeftOutWithAWarningAtMostOnceAMinute) {
  const std::string fits(115, 'f'), over(116, 'o');  // with their length: 116 and 117
  build(over + " " + fits + " z");
  testing::internal::CaptureStderr();
  for (const std::string lookup : {"scan", "sorted"}) {
    netsnmp_iterator_info info = {};
    install(&info, kFs, lookup.c_str());
    for (int walks = 0; walks < 4; ++walks) {
      if (walks % 2 == 0) ++tarnInfoGeneration;  // a poll
      EXPECT_EQ(walk(kFs, &info), lookup == "scan" ? fits + " z" : "z " + fits);
    }
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("Warning: file system " + over +
                     " left out of the tables: its index needs "
                     "117 sub-identifiers, an OID has room for 116.\n"),
            std::string::npos);
}

TEST_F(Tables, DataAgeIsTheOldestStampOfALevelOrTheAgeOfTheLevelAbove) {
  const auto ages = [] {  // at 130 s, of every level
    std::string out;
    for (int level = 0; level < DATA_LEVELS; ++level) {
      out += std::to_string(dataAge(myCluster, DataLevel(level), 130)) + " ";
    }
    return out;
  };
  setStamps("cluster", timeval{100, 0});
  setStamps("nodes", timeval{129, 0});
  setStamps("fs", timeval{110, 0});
  setStamps("fsperf", timeval{90, 0});  // statistics older than the list: they decide
  EXPECT_EQ(ages(), "30 1 40 40 40 ");  // no file system: as old as their list
  myCluster->fileSystems = {nullptr};
  add(&myCluster->fileSystems, "A")->poolUpdateTime = timeval{125, 0};
  add(&myCluster->fileSystems, "B")->poolUpdateTime = timeval{115, 0};
  EXPECT_EQ(ages(), "30 1 40 15 15 ");  // no pool: as old as the pools
  for (int fs : {1, 2}) add(&myCluster->fileSystems[fs]->pools, "p");
  setStamps("disks diskperf", timeval{127, 0});
  myCluster->fileSystems[2]->pools[0]->diskPerfUpdateTime = timeval{105, 0};
  EXPECT_EQ(ages(), "30 1 40 15 25 ");
  EXPECT_EQ(dataAge(myCluster, DATA_NODES, 100), 0u);  // a stamp ahead of the clock
}

// The notification of each trap sent, without "TARN-MIB::tarn" (the system tests check bindings).
std::vector<std::string> captured;
void capture(netsnmp_variable_list* vars) {
  static auto* print = reinterpret_cast<int (*)(char*, size_t, const oid*, size_t)>(
      dlsym(dlib.libnetsnmp, "snprint_objid"));
  char text[256] = "";
  if (vars != nullptr) print(text, sizeof text, vars->val.objid, vars->val_len / sizeof(oid));
  captured.push_back(strncmp(text, "TARN-MIB::tarn", 14) == 0 ? text + 14 : text);
}

class Traps : public Tables {
 protected:
  static void SetUpTestSuite() {
    Tables::SetUpTestSuite();
    setenv("MIBDIRS", TN_BUILD_DIR "/base-mibs:" TN_SOURCE_DIR "/mibs", 1);
    setenv("MIBS", "SNMPv2-MIB", 1);
    init_mib();
    ASSERT_NE(read_mib(TN_SOURCE_DIR "/mibs/TARN-MIB.txt"), nullptr);
  }
  void SetUp() override {
    captured.clear();
    setTrapSendFunction(capture);
  }
  void TearDown() override {
    discardQueuedTraps();
    setTrapSendFunction(nullptr);
  }
};

TEST_F(Traps, LeaveOnTheMainLoopInTheOrderQueuedAtMostTheNumberAsked) {
  send_tarnChangeDiskTrap_trap(new ChdiskEvent("n", "f", "d", "s", "a", "g", "m", "x"), nullptr);
  send_tarnHungThreadTrap_trap(new HungThreadEvent("n", 5, "w"), nullptr);
  EXPECT_EQ(queuedTrapCount(), 2u);
  EXPECT_TRUE(captured.empty());  // nothing is sent on the sender's thread
  EXPECT_EQ(deliverQueuedTraps(1), 1);
  EXPECT_EQ(deliverQueuedTraps(10), 1);
  EXPECT_EQ(captured, (std::vector<std::string>{"ChangeDiskTrap", "HungThreadTrap"}));
}

// Past its bound the queue deletes new records, counts them, and warns once a minute at most.
TEST_F(Traps, AFullQueueDropsCountsAndWarnsOnce) {
  const size_t bound = 50000;
  for (size_t i = 0; i < bound; i++)
    send_tarnNodeFailureTrap_trap(new NodeStatusEvent("q"), nullptr);
  const uint64_t droppedBefore = trapsDroppedCount();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; i++) send_tarnNodeFailureTrap_trap(new NodeStatusEvent("x"), nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(queuedTrapCount(), bound);
  EXPECT_EQ(trapsDroppedCount() - droppedBefore, 5u);
  const size_t warning =
      log.find("Warning: trap queue full (50000 traps waiting for the master), 1 traps dropped");
  EXPECT_TRUE(warning != std::string::npos && warning == log.rfind("Warning")) << log;
  EXPECT_EQ(discardQueuedTraps(), bound);
  EXPECT_EQ(trapsDroppedCount() - droppedBefore, 5u + bound);
}

// TCP_NODELAY once, on TCP only; the trap pacing's measure of what the master has not read, over
// TCP (socket diagnostics) and a UNIX socket (SIOCOUTQ).
TEST(AgentXWatch, SetsNoDelayOnceAndCountsWhatTheMasterHasNotRead) {
  for (int family : {AF_INET, AF_UNIX}) {
    int pair[2];  // [0] the agent's end, [1] the master's
    if (family == AF_UNIX) {
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    } else {
      conntest::Listener listener;
      struct sockaddr_in address = {AF_INET, htons(listener.port()), {htonl(INADDR_LOOPBACK)}, {}};
      pair[0] = socket(AF_INET, SOCK_STREAM, 0);
      ASSERT_EQ(connect(pair[0], reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
      pair[1] = listener.acceptPeer();
    }
    EXPECT_EQ(watchAgentXConnection(pair[0]), family == AF_INET ? 1 : 0) << family;
    EXPECT_EQ(watchAgentXConnection(pair[0]), 0) << family;  // already set, or not TCP
    EXPECT_EQ(agentXMasterBacklog(), 0u) << family;
    char trap[300] = {};
    ASSERT_EQ(write(pair[0], trap, sizeof trap), static_cast<ssize_t>(sizeof trap));
    EXPECT_GE(agentXMasterBacklog(), sizeof trap) << family;
    ASSERT_EQ(read(pair[1], trap, sizeof trap), static_cast<ssize_t>(sizeof trap));
    EXPECT_EQ(agentXMasterBacklog(), 0u) << family;
    watchAgentXConnection(-1);
    for (int fd : pair) close(fd);
  }
}

}  // namespace
