// The cluster records: defaults, lookups, assignment and the four merges.
#include "api/api_records.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// Field lists of the records, as T(text field) and N(numeric field), so each
// test fills every field with a distinct value and checks assignment carried it.
// clang-format off
#define DISK_FIELDS(T, N) T(name) T(nodeName) T(status) T(availability) T(metadata) T(data) \
  T(diskWait) N(failureGroup) N(totalSpace) N(fullBlockFreeSpace) N(subBlockFreeSpace)       \
  N(readTime) N(writeTime) N(longestReadTime) N(longestWriteTime) N(shortestReadTime)        \
  N(shortestWriteTime) N(readBytes) N(writeBytes) N(readOps) N(writeOps) N(perfInstances)
#define POOL_FIELDS(T, N) T(name) T(status) N(numDisks) N(totalSpace) N(freeSpace) N(fsIndex)
#define FS_FIELDS(T, N) T(name) T(status) T(xstatus) T(util) T(threadWait) T(diskWait)       \
  N(readDuration) N(writeDuration) N(nsysmgt) N(mgrChangeCnt) N(totalSpace) N(numTotalInodes) \
  N(freeSpace) N(numFreeInodes) N(fullFreeSpace) N(fragFreeSpace) N(bytesRead) N(bytesCache)  \
  N(bytesWritten) N(reads) N(caches) N(writes) N(openCalls) N(closeCalls) N(readCalls)        \
  N(writeCalls) N(readdirCalls) N(inodesWritten) N(inodesRead) N(inodesDeleted)               \
  N(inodesCreated) N(statCacheHit) N(statCacheMiss) N(perfInstances)
#define NODE_FIELDS(T, N) T(name) T(ip) T(platform) T(type) T(admin) T(status) T(version)     \
  T(healthy) T(diagnosis) T(unmountOnDiskFail) N(failureCount) N(threadWait) N(pagePool)      \
  N(prefetchThreads) N(maxMbps) N(maxFilesToCache) N(maxStatCache) N(worker1Threads)          \
  N(dmapiEventTimeout) N(dmapiMountTimeout) N(dmapiSessFailureTimeout)                        \
  N(nsdServerWaitTimeWindowOnMount) N(nsdServerWaitTimeForMount)
#define CLUSTER_FIELDS(T, N) T(name) T(id) T(queryField3) T(minReleaseLevel) T(uidDomain)    \
  T(remoteShellCommand) T(remoteFileCopyCommand) T(primaryServer) T(secondaryServer)          \
  N(maxBlockSize) N(distributedTokenServer) N(failureDetectionTime) N(tcpPort)                \
  N(minMissedPingTimeout) N(maxMissedPingTimeout)
#define SET_TEXT(f) snprintf(r->f, sizeof r->f, "%s-%d", #f, seed++);
#define SET_NUM(f) r->f = seed++;
#define SAME_TEXT(f) EXPECT_STREQ(a.f, b.f) << #f;
#define SAME_NUM(f) EXPECT_EQ(a.f, b.f) << #f;
#define RECORD(R, FIELDS)                                                   \
  void fill(R* r, int seed) { FIELDS(SET_TEXT, SET_NUM) }                   \
  void expectSame(const R& a, const R& b) { FIELDS(SAME_TEXT, SAME_NUM) }
RECORD(DiskInfo, DISK_FIELDS)
RECORD(StoragePoolInfo, POOL_FIELDS)
RECORD(FilesystemInfo, FS_FIELDS)
RECORD(NodeInfo, NODE_FIELDS)
RECORD(ClusterInfo, CLUSTER_FIELDS)
// clang-format on

timeval stamp(long sec) { return timeval{sec, 7}; }

bool sameTime(const timeval& a, const timeval& b) {
  return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
}

// Appends a new record with key text to list and returns it.
template <class R>
R* add(std::vector<R*>* list, const char* key, char (R::*field)[RECORD_TEXT_SIZE]) {
  MErrno err = -1;
  R* r = new R(&err);
  EXPECT_EQ(err, 0);
  snprintf(r->*field, RECORD_TEXT_SIZE, "%s", key);
  list->push_back(r);
  return r;
}
FilesystemInfo* addFs(ClusterInfo* c, const char* n) {
  return add(&c->fileSystems, n, &FilesystemInfo::name);
}
StoragePoolInfo* addPool(FilesystemInfo* f, const char* n) {
  return add(&f->pools, n, &StoragePoolInfo::name);
}
DiskInfo* addDisk(StoragePoolInfo* p, const char* n) { return add(&p->disks, n, &DiskInfo::name); }
NodeInfo* addNode(ClusterInfo* c, const char* ip) { return add(&c->nodes, ip, &NodeInfo::ip); }

std::string fsNames(const ClusterInfo& c) {
  std::string s;
  for (FilesystemInfo* f : c.fileSystems) s += std::string(f->name) + ",";
  return s;
}

// Constructs an R, checking that it reports success through its error slot.
template <class R>
R* construct() {
  MErrno err = 42;
  R* r = new R(&err);
  EXPECT_EQ(err, 0);
  return r;
}

TEST(Records, DefaultsAndCapacities) {
  std::unique_ptr<ClusterInfo> c(construct<ClusterInfo>());
  EXPECT_STREQ(c->name, "");
  EXPECT_EQ(c->tcpPort, 0);
  EXPECT_EQ(c->sdrUpdateTime.tv_sec, 0);
  EXPECT_GE(c->nodes.capacity(), 1024u);
  EXPECT_GE(c->fileSystems.capacity(), 32u);
  std::unique_ptr<FilesystemInfo> fs(construct<FilesystemInfo>());
  EXPECT_STREQ(fs->status, "unknown");
  EXPECT_STREQ(fs->xstatus, "");
  EXPECT_EQ(fs->inConfig, 0);
  EXPECT_GE(fs->pools.capacity(), 256u);
  std::unique_ptr<StoragePoolInfo> pool(construct<StoragePoolInfo>());
  EXPECT_STREQ(pool->status, "");
  EXPECT_GE(pool->disks.capacity(), 1024u);
  std::unique_ptr<DiskInfo> d(construct<DiskInfo>());
  EXPECT_STREQ(d->status, "unknown");
  EXPECT_EQ(d->readTime, 0.0);
  EXPECT_EQ(d->readBytes, 0);
  EXPECT_EQ(d->perfInstances, 0);
  std::unique_ptr<NodeInfo> n(construct<NodeInfo>());
  EXPECT_STREQ(n->status, "");
  EXPECT_EQ(sizeof n->unmountOnDiskFail, 32u);
}

TEST(Records, ClearStatsTouchesOnlyStatistics) {
  DiskInfo d(nullptr);
  fill(&d, 1);
  d.clearStats();
  EXPECT_EQ(d.readTime + d.writeTime + d.longestReadTime + d.longestWriteTime + d.shortestReadTime +
                d.shortestWriteTime,
            0.0);
  EXPECT_EQ(d.readBytes | d.writeBytes | d.readOps | d.writeOps | d.perfInstances, 0);
  EXPECT_NE(d.totalSpace, 0);
  EXPECT_NE(d.failureGroup, 0);
  EXPECT_STRNE(d.status, "");

  FilesystemInfo f(nullptr);
  fill(&f, 1);
  f.clearStats();
  EXPECT_EQ(f.bytesRead | f.bytesCache | f.bytesWritten, 0);
  EXPECT_EQ(f.reads | f.caches | f.writes | f.openCalls | f.closeCalls | f.readCalls |
                f.writeCalls | f.readdirCalls | f.inodesWritten | f.inodesRead | f.inodesDeleted |
                f.inodesCreated | f.statCacheHit | f.statCacheMiss | f.perfInstances,
            0);
  EXPECT_NE(f.totalSpace, 0);
  EXPECT_NE(f.mgrChangeCnt, 0);
}

// Fills a, assigns it to b and checks every value field arrived.
template <class R>
void expectAssignCopies(R* a, R* b, int seed) {
  fill(a, seed);
  *b = *a;
  expectSame(*a, *b);
}

TEST(Assign, CopiesEveryValueField) {
  DiskInfo d1(nullptr), d2(nullptr);
  expectAssignCopies(&d1, &d2, 100);
  NodeInfo n1(nullptr), n2(nullptr);
  expectAssignCopies(&n1, &n2, 400);
  StoragePoolInfo p1(nullptr), p2(nullptr);
  p1.diskUpdateTime = stamp(5);
  p1.diskPerfUpdateTime = stamp(6);
  expectAssignCopies(&p1, &p2, 200);
  EXPECT_TRUE(sameTime(p2.diskUpdateTime, stamp(5)));
  EXPECT_TRUE(sameTime(p2.diskPerfUpdateTime, stamp(6)));
  FilesystemInfo f1(nullptr), f2(nullptr);
  f1.poolUpdateTime = stamp(8);
  expectAssignCopies(&f1, &f2, 300);
  EXPECT_TRUE(sameTime(f2.poolUpdateTime, stamp(8)));
  ClusterInfo c1(nullptr), c2(nullptr);
  c1.nodeUpdateTime = stamp(1);
  c1.fsUpdateTime = stamp(2);
  c1.fsPerfUpdateTime = stamp(3);
  expectAssignCopies(&c1, &c2, 500);
  EXPECT_TRUE(sameTime(c2.nodeUpdateTime, stamp(1)));
  EXPECT_TRUE(sameTime(c2.fsUpdateTime, stamp(2)));
  EXPECT_TRUE(sameTime(c2.fsPerfUpdateTime, stamp(3)));
}

TEST(Assign, LeavesListsMarksAndOwnStamps) {
  ClusterInfo src(nullptr), dst(nullptr);
  addNode(&src, "10.0.0.1");
  addFs(&src, "fs1");
  src.clusterUpdateTime = stamp(11);
  src.sdrUpdateTime = stamp(12);
  NodeInfo* keptNode = addNode(&dst, "10.0.0.9");
  dst.clusterUpdateTime = stamp(21);
  dst.sdrUpdateTime = stamp(22);
  dst = src;
  EXPECT_TRUE(sameTime(dst.clusterUpdateTime, stamp(21)));
  EXPECT_TRUE(sameTime(dst.sdrUpdateTime, stamp(22)));
  ASSERT_EQ(dst.nodes.size(), 1u);
  EXPECT_EQ(dst.nodes[0], keptNode);
  EXPECT_TRUE(dst.fileSystems.empty());

  FilesystemInfo f1(nullptr), f2(nullptr);
  addPool(&f1, "p1");
  f1.inConfig = 255;
  StoragePoolInfo* keptPool = addPool(&f2, "other");
  f2 = f1;
  ASSERT_EQ(f2.pools.size(), 1u);
  EXPECT_EQ(f2.pools[0], keptPool);
  EXPECT_EQ(f2.inConfig, 0);

  StoragePoolInfo p1(nullptr), p2(nullptr);
  addDisk(&p1, "d1");
  p2.inConfig = 255;
  p2 = p1;
  EXPECT_TRUE(p2.disks.empty());
  EXPECT_EQ(p2.inConfig, 255);

  DiskInfo d1(nullptr), d2(nullptr);
  d1.inConfig = 255;
  d2 = d1;
  EXPECT_EQ(d2.inConfig, 0);
}

TEST(Lookup, ExactCaseSensitiveFirstMatch) {
  ClusterInfo c(nullptr);
  EXPECT_EQ(c.getNodeInfoIndex("10.0.0.1"), -1);
  EXPECT_EQ(c.getFilesystemInfoIndex("fs1"), -1);
  addNode(&c, "10.0.0.1");
  NodeInfo* second = addNode(&c, "10.0.0.2");
  snprintf(second->name, sizeof second->name, "10.0.0.1");  // names are not the key
  EXPECT_EQ(c.getNodeInfoIndex("10.0.0.2"), 1);
  EXPECT_EQ(c.getNodeInfoIndex("10.0.0."), -1);
  addFs(&c, "fsA");
  addFs(&c, "fsa");
  addFs(&c, "fsa");
  EXPECT_EQ(c.getFilesystemInfoIndex("fsa"), 1);
  EXPECT_EQ(c.getFilesystemInfoIndex("FSA"), -1);
  EXPECT_EQ(c.getFilesystemInfoIndex(nullptr), -1);
  FilesystemInfo* f = c.fileSystems[0];
  addPool(f, "system");
  EXPECT_EQ(f->getStoragePoolInfoIndex("system"), 0);
  EXPECT_EQ(f->getStoragePoolInfoIndex("System"), -1);
  StoragePoolInfo* p = f->pools[0];
  addDisk(p, "d1");
  addDisk(p, "d2");
  EXPECT_EQ(p->getDiskInfoIndex("d2"), 1);
  EXPECT_EQ(p->getDiskInfoIndex("d3"), -1);
}

TEST(Merge, KeepsOrderAndIdentity) {
  ClusterInfo dst(nullptr), src(nullptr);
  FilesystemInfo* a = addFs(&dst, "A");
  addFs(&dst, "B");
  FilesystemInfo* c = addFs(&dst, "C");
  addFs(&src, "C")->totalSpace = 30;
  addFs(&src, "D")->totalSpace = 40;
  addFs(&src, "A")->totalSpace = 10;
  src.fsUpdateTime = stamp(100);
  src.fsPerfUpdateTime = stamp(101);
  dst.copyFS(&src);
  EXPECT_EQ(fsNames(dst), "A,C,D,");
  EXPECT_EQ(dst.fileSystems[0], a);
  EXPECT_EQ(dst.fileSystems[1], c);
  EXPECT_EQ(a->totalSpace, 10);
  EXPECT_EQ(c->totalSpace, 30);
  EXPECT_EQ(dst.fileSystems[2]->totalSpace, 40);
  EXPECT_NE(dst.fileSystems[2], src.fileSystems[1]);  // a copy, never shared
  EXPECT_TRUE(sameTime(dst.fsUpdateTime, stamp(100)));
  EXPECT_TRUE(sameTime(dst.fsPerfUpdateTime, stamp(101)));
  EXPECT_EQ(fsNames(src), "C,D,A,");
}

TEST(Merge, EmptySourceEmptiesDestinationAndCopiesStamps) {
  FilesystemInfo dst(nullptr), src(nullptr);
  addDisk(addPool(&dst, "p1"), "d1");
  addPool(&dst, "p2");
  src.poolUpdateTime = stamp(9);
  dst.copyPools(&src);
  EXPECT_TRUE(dst.pools.empty());
  EXPECT_TRUE(sameTime(dst.poolUpdateTime, stamp(9)));

  StoragePoolInfo pdst(nullptr), psrc(nullptr);
  addDisk(&pdst, "d1");
  psrc.diskUpdateTime = stamp(3);
  psrc.diskPerfUpdateTime = stamp(4);
  pdst.copyDisks(&psrc);
  EXPECT_TRUE(pdst.disks.empty());
  EXPECT_TRUE(sameTime(pdst.diskUpdateTime, stamp(3)));
  EXPECT_TRUE(sameTime(pdst.diskPerfUpdateTime, stamp(4)));
}

TEST(Merge, NodesAreCopiedInSourceOrderAndKeyedByAddress) {
  ClusterInfo dst(nullptr), src(nullptr);
  fill(addNode(&src, "10.0.0.3"), 1);
  snprintf(src.nodes[0]->ip, RECORD_TEXT_SIZE, "10.0.0.3");
  addNode(&src, "10.0.0.1");
  src.nodeUpdateTime = stamp(55);
  dst.copyNodes(&src);
  ASSERT_EQ(dst.nodes.size(), 2u);
  expectSame(*src.nodes[0], *dst.nodes[0]);
  EXPECT_STREQ(dst.nodes[1]->ip, "10.0.0.1");
  EXPECT_NE(dst.nodes[0], src.nodes[0]);
  EXPECT_TRUE(sameTime(dst.nodeUpdateTime, stamp(55)));
  // A record with the same address is updated in place even when renamed.
  NodeInfo* kept = dst.nodes[1];
  snprintf(src.nodes[1]->name, RECORD_TEXT_SIZE, "renamed");
  dst.copyNodes(&src);
  ASSERT_EQ(dst.nodes.size(), 2u);
  EXPECT_EQ(dst.nodes[1], kept);
  EXPECT_STREQ(kept->name, "renamed");
}

TEST(Merge, LaterSameKeySourceWinsAndDestinationMarksSurvive) {
  StoragePoolInfo dst(nullptr), src(nullptr);
  addDisk(&dst, "d1")->inConfig = 255;
  addDisk(&src, "d1")->totalSpace = 1;
  addDisk(&src, "d2")->inConfig = 255;
  addDisk(&src, "d3")->totalSpace = 2;
  addDisk(&src, "d2")->totalSpace = 3;
  dst.copyDisks(&src);
  ASSERT_EQ(dst.disks.size(), 3u);
  EXPECT_STREQ(dst.disks[1]->name, "d2");
  EXPECT_EQ(dst.disks[0]->totalSpace, 1);
  EXPECT_EQ(dst.disks[1]->totalSpace, 3);
  EXPECT_EQ(dst.disks[2]->totalSpace, 2);
  EXPECT_EQ(dst.disks[0]->inConfig, 255);
  EXPECT_EQ(dst.disks[1]->inConfig, 0);
}

TEST(Merge, CopyFsLeavesPoolsAlone) {
  ClusterInfo dst(nullptr), src(nullptr);
  FilesystemInfo* d = addFs(&dst, "fs1");
  StoragePoolInfo* keptPool = addPool(d, "old");
  FilesystemInfo* s = addFs(&src, "fs1");
  addPool(s, "new1");
  addPool(s, "new2");
  snprintf(s->status, RECORD_TEXT_SIZE, "mounted");
  addPool(addFs(&src, "fs2"), "p");
  dst.copyFS(&src);
  ASSERT_EQ(dst.fileSystems.size(), 2u);
  ASSERT_EQ(d->pools.size(), 1u);
  EXPECT_EQ(d->pools[0], keptPool);
  EXPECT_STREQ(d->status, "mounted");
  EXPECT_TRUE(dst.fileSystems[1]->pools.empty());

  FilesystemInfo fd(nullptr), fsrc(nullptr);
  StoragePoolInfo* pd = addPool(&fd, "p");
  DiskInfo* keptDisk = addDisk(pd, "d-old");
  addDisk(addPool(&fsrc, "p"), "d-new");
  fd.copyPools(&fsrc);
  ASSERT_EQ(pd->disks.size(), 1u);
  EXPECT_EQ(pd->disks[0], keptDisk);
}

TEST(Records, DestructorsSkipNullSlots) {
  auto* c = new ClusterInfo(nullptr);
  c->nodes.push_back(nullptr);
  addNode(c, "10.0.0.1");
  c->fileSystems.push_back(nullptr);
  addDisk(addPool(addFs(c, "fs"), "p"), "d");
  EXPECT_EQ(c->getNodeInfoIndex("10.0.0.1"), 1);
  delete c;  // the sanitizers report a leak or a bad free here
}

}  // namespace
