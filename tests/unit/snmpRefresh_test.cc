// The refresh cache: the staleness rule, which levels each refresh function
// polls and with what, and its results.
#include "mib/snmpRefresh.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "snmpTables_testing.h"

// The agent defines the served cluster record; the unit tests bring their own.
__attribute__((weak)) ClusterInfo* myCluster = nullptr;

namespace {

using namespace tablestest;  // NOLINT(build/namespaces)
using Calls = std::vector<std::string>;

// Poll hooks: fail only the call named, or every call.
std::function<int(const std::string&)> failOn(const std::string& failing) {
  return [failing](const std::string& call) { return call == failing ? 1 : 0; };
}
int failAll(const std::string&) { return 1; }

// shouldRefresh for a stamp `age` whole seconds old (microseconds usec),
// retried until the clock's second did not change during the call.
bool refreshAtAge(int age, long usec) {
  for (;;) {
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    struct timeval stamp = before;
    stamp.tv_sec -= age;
    if (usec >= 0) stamp.tv_usec = usec;
    const bool result = shouldRefresh(stamp);
    gettimeofday(&after, nullptr);
    if (before.tv_sec == after.tv_sec) return result;
  }
}

TEST(ShouldRefresh, StaleOnlyAfterMoreThanTwentyWholeSeconds) {
  static const struct {
    int age;
    long usec;  // -1: the clock's own
    bool stale;
  } kCases[] = {{0, -1, false},
                {STALE_SECONDS, -1, false},
                {STALE_SECONDS + 1, -1, true},
                {-100, -1, false},                   // from the future
                {STALE_SECONDS, 0, false},           // most of a second more by the microseconds
                {STALE_SECONDS + 1, 999999, true}};  // only just over by the microseconds
  for (const auto& c : kCases) {
    EXPECT_EQ(refreshAtAge(c.age, c.usec), c.stale) << c.age << " s, " << c.usec << " us";
  }
}

TEST(ShouldRefresh, NeverPolledIsStaleAndCurTimeFollowsTheClock) {
  struct timeval zero = {0, 0};
  curTime = zero;
  EXPECT_TRUE(shouldRefresh(zero));
  struct timeval now;
  gettimeofday(&now, nullptr);
  EXPECT_GE(curTime.tv_sec, now.tv_sec - 1);
  EXPECT_LE(curTime.tv_sec, now.tv_sec);
}

using RefreshCluster = ClusterTest;

TEST_F(RefreshCluster, PollsThenCopiesOnlyWhenStale) {
  EXPECT_EQ(refreshTarnClusterInfo(0), 0);
  EXPECT_TRUE(calls().empty());
  myCluster->clusterUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnClusterInfo(1), 0);
  EXPECT_EQ(calls(), (Calls{"cluster 1", "getcluster"}));
}

TEST_F(RefreshCluster, FailedPollSkipsTheCopy) {
  myCluster->clusterUpdateTime = staleStamp();
  pollHook() = failOn("cluster 0");
  EXPECT_EQ(refreshTarnClusterInfo(0), 5);
  EXPECT_EQ(calls(), (Calls{"cluster 0"}));
  myCluster->clusterUpdateTime = staleStamp();
  pollHook() = failOn("getcluster");
  EXPECT_EQ(refreshTarnClusterInfo(0), 5);
}

// A failed or refused poll renews its level's stamp: the next request within
// 20 seconds is served from the copy instead of polling (and warning) again.
TEST_F(ClusterTest, FailedPollCountsForTheTwentySecondsOfItsLevel) {
  StoragePoolInfo* pool = addPool(addFs(myCluster, "A"), "system");
  FilesystemInfo* fs = myCluster->fileSystems[0];
  static const struct {
    const char* call;
    struct timeval* (*stamp)(ClusterInfo*);
    int (*refresh)();
  } kLevels[] = {
      {"cluster 0", [](ClusterInfo* c) { return &c->clusterUpdateTime; },
       [] { return refreshTarnClusterInfo(0); }},
      {"nodes 0", [](ClusterInfo* c) { return &c->nodeUpdateTime; },
       [] { return refreshTarnNodeInfo(0); }},
      {"fs perf=1", [](ClusterInfo* c) { return &c->fsPerfUpdateTime; },
       [] { return refreshTarnFSInfo(-1, 1); }},
      {"pools A", [](ClusterInfo* c) { return &c->fileSystems[0]->poolUpdateTime; },
       [] { return refreshTarnPoolInfo(0); }},
      {"disks A system perf=1",
       [](ClusterInfo* c) { return &c->fileSystems[0]->pools[0]->diskPerfUpdateTime; },
       [] { return refreshTarnDiskInfo(0, 0, 1); }},
  };
  pollHook() = failAll;
  for (const auto& level : kLevels) {
    pollCalls().clear();
    *level.stamp(myCluster) = staleStamp();
    EXPECT_EQ(level.refresh(), 5) << level.call;
    EXPECT_EQ(level.refresh(), 0) << level.call;
    EXPECT_EQ(calls(), (Calls{level.call})) << level.call;
  }
  EXPECT_EQ(fs->pools[0], pool);
}

TEST_F(RefreshCluster, NodesPolledWithTheirFlagWhenStale) {
  EXPECT_EQ(refreshTarnNodeInfo(0), 0);
  myCluster->nodeUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnNodeInfo(1), 0);
  pollHook() = [](const std::string&) { return 2; };
  EXPECT_EQ(refreshTarnNodeInfo(0), 5);
  EXPECT_EQ(calls(), (Calls{"nodes 1", "nodes 0"}));
}

using RefreshFs = ClusterTest;

TEST_F(RefreshFs, StatisticsStampCountsOnlyWithPerf) {
  myCluster->fsPerfUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnFSInfo(-1, 0), 0);
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(refreshTarnFSInfo(-1, 1), 0);
  EXPECT_EQ(calls(), (Calls{"fs perf=1"}));
  myCluster->fsUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnFSInfo(-1, 0), 0);
  EXPECT_EQ(calls().back(), "fs perf=0");
}

TEST_F(RefreshFs, EmptySlotAfterThePollFailsTheWholeListRefresh) {
  myCluster->fsUpdateTime = staleStamp();
  addFs(myCluster, "A");
  myCluster->fileSystems.push_back(nullptr);
  EXPECT_EQ(refreshTarnFSInfo(-1, 0), 5);
  EXPECT_EQ(refreshTarnFSInfo(0, 0), 0);  // one position: the poll alone decides
  pollHook() = failAll;
  myCluster->fileSystems.pop_back();
  EXPECT_EQ(refreshTarnFSInfo(-1, 0), 5);
}

using RefreshPools = ClusterTest;

TEST_F(RefreshPools, AllFileSystemsArePolledFreshOrNot) {
  addFs(myCluster, "A");
  EXPECT_EQ(refreshTarnPoolInfo(-1), 0);
  EXPECT_EQ(refreshTarnPoolInfo(-1), 0);
  EXPECT_EQ(calls(), (Calls{"pools *", "pools *"}));
  pollHook() = failAll;
  EXPECT_EQ(refreshTarnPoolInfo(-1), 5);
}

TEST_F(RefreshPools, OnePositionPolledByNameWhenStale) {
  addFs(myCluster, "A");
  addFs(myCluster, "B")->poolUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnPoolInfo(0), 0);
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(refreshTarnPoolInfo(1), 0);
  EXPECT_EQ(calls(), (Calls{"pools B"}));
}

TEST_F(RefreshPools, BadPositionsFailWithoutPolling) {
  addFs(myCluster, "A")->poolUpdateTime = staleStamp();
  addFs(myCluster, "B")->poolUpdateTime = staleStamp();
  for (int position : {3, 2, -2}) EXPECT_EQ(refreshTarnPoolInfo(position), 5) << position;
  myCluster->fileSystems.push_back(nullptr);
  EXPECT_EQ(refreshTarnPoolInfo(2), 5);
  EXPECT_TRUE(calls().empty());
}

TEST_F(RefreshPools, NameHandedToThePollOutlivesTheRecord) {
  // The poll may destroy the record whose name it was given (AddressSanitizer
  // catches a name read from it afterwards).
  addFs(myCluster, "A")->poolUpdateTime = staleStamp();
  pollHook() = [](const std::string&) {
    delete myCluster->fileSystems[0];
    myCluster->fileSystems.clear();
    return 0;
  };
  EXPECT_EQ(refreshTarnPoolInfo(0), 0);
  EXPECT_EQ(calls(), (Calls{"pools A"}));
}

using RefreshDisks = ClusterTest;

TEST_F(RefreshDisks, EverythingPollsEveryFileSystemByName) {
  addPool(addFs(myCluster, "A"), "system");
  addFs(myCluster, "B");
  EXPECT_EQ(refreshTarnDiskInfo(-1, -1, 1), 0);
  EXPECT_EQ(refreshTarnDiskInfo(-1, -1, 0), 0);
  EXPECT_EQ(calls(), (Calls{"disks A * perf=1", "disks B * perf=1", "disks A * perf=0",
                            "disks B * perf=0"}));
}

TEST_F(RefreshDisks, EverythingStopsAtTheFirstFailureEmptySlotOrShrinking) {
  addFs(myCluster, "A");
  addFs(myCluster, "B");
  pollHook() = failOn("disks A * perf=0");
  EXPECT_EQ(refreshTarnDiskInfo(-1, -1, 0), 5);
  EXPECT_EQ(calls(), (Calls{"disks A * perf=0"}));
  pollHook() = nullptr;
  myCluster->fileSystems.insert(myCluster->fileSystems.begin() + 1, nullptr);
  EXPECT_EQ(refreshTarnDiskInfo(-1, -1, 0), 5);
  EXPECT_EQ(calls().back(), "disks A * perf=0");
  myCluster->fileSystems.erase(myCluster->fileSystems.begin() + 1);
  pollHook() = [](const std::string&) {  // a failure, not an overrun
    delete myCluster->fileSystems.back();
    myCluster->fileSystems.pop_back();
    return 0;
  };
  EXPECT_EQ(refreshTarnDiskInfo(-1, -1, 0), 5);
}

TEST_F(RefreshDisks, OnePoolPolledWhenItsDisksOrStatisticsAreStale) {
  StoragePoolInfo* pool = addPool(addFs(myCluster, "A"), "system");
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 1), 0);
  EXPECT_TRUE(calls().empty());
  pool->diskPerfUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 0), 0);
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 1), 0);
  pool->diskUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 0), 0);
  pollHook() = failAll;
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 0), 5);
  EXPECT_EQ(calls(),
            (Calls{"disks A system perf=1", "disks A system perf=0", "disks A system perf=0"}));
}

TEST_F(RefreshDisks, FileSystemPastTheEndRepollsTheStaleListFirst) {
  addFs(myCluster, "A");
  addFs(myCluster, "B");
  EXPECT_EQ(refreshTarnDiskInfo(2, 0, 0), 5);
  EXPECT_TRUE(calls().empty());  // list fresh: nothing to learn
  myCluster->fsUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnDiskInfo(2, 0, 0), 5);
  EXPECT_EQ(calls(), (Calls{"fs perf=0"}));
}

TEST_F(RefreshDisks, ListsThatGrowOnTheRepollAreUsed) {
  myCluster->fsUpdateTime = staleStamp();
  addFs(myCluster, "A");
  pollHook() = [](const std::string& call) {
    if (call == "fs perf=1") addFs(myCluster, "B")->poolUpdateTime = staleStamp();
    if (call == "pools B") {
      addPool(myCluster->fileSystems[1], "data1")->diskUpdateTime = staleStamp();
    }
    return 1;  // the results of the list re-polls do not matter
  };
  EXPECT_EQ(refreshTarnDiskInfo(1, 0, 1), 5);  // the disk poll itself failed
  EXPECT_EQ(calls(), (Calls{"fs perf=1", "pools B", "disks B data1 perf=1"}));
}

TEST_F(RefreshDisks, PoolPastTheEndOrEmptyFails) {
  FilesystemInfo* fs = addFs(myCluster, "A");
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 0), 5);
  EXPECT_EQ(refreshTarnDiskInfo(0, -1, 0), 5);
  fs->pools.push_back(nullptr);
  EXPECT_EQ(refreshTarnDiskInfo(0, 0, 0), 5);
  EXPECT_TRUE(calls().empty());
  fs->poolUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnDiskInfo(0, 1, 0), 5);
  EXPECT_EQ(calls(), (Calls{"pools A"}));
}

using RefreshAll = ClusterTest;

TEST_F(RefreshAll, PollsEveryLevelInOrderEvenWhenFreshStoppingAtAFailure) {
  addPool(addFs(myCluster, "A"), "system");
  myCluster->clusterUpdateTime = myCluster->nodeUpdateTime = staleStamp();
  myCluster->fsUpdateTime = staleStamp();
  EXPECT_EQ(refreshTarnInfo(), 0);
  EXPECT_EQ(calls(), (Calls{"sdr 0", "cluster 1", "getcluster", "nodes 1", "fs perf=1", "pools *",
                            "disks A * perf=1"}));
  static const struct {
    const char* failing;
    Calls made;
  } kFailures[] = {{"nodes 1", {"sdr 0", "nodes 1"}}, {"sdr 0", {"sdr 0"}}};
  myCluster->clusterUpdateTime = freshStamp();
  for (const auto& f : kFailures) {
    pollCalls().clear();
    pollHook() = failOn(f.failing);
    EXPECT_EQ(refreshTarnInfo(), 5) << f.failing;
    EXPECT_EQ(calls(), f.made) << f.failing;
  }
}

TEST(RefreshWithoutCluster, FailsInsteadOfCrashing) {
  ASSERT_EQ(myCluster, nullptr);
  EXPECT_EQ(refreshTarnClusterInfo(0), 5);
  EXPECT_EQ(refreshTarnNodeInfo(0), 5);
  EXPECT_EQ(refreshTarnFSInfo(-1, 1), 5);
  EXPECT_EQ(refreshTarnPoolInfo(-1), 5);
  EXPECT_EQ(refreshTarnDiskInfo(-1, -1, 0), 5);
}

}  // namespace
