// The cluster records: defaults, assignment and the four merges.
#include "api/api_records.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

namespace {

timeval stamp(long sec) { return timeval{sec, 7}; }

bool sameTime(const timeval& a, const timeval& b) {
  return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
}

// Appends a new record with the given key to list and returns it.
template <class R>
R* add(std::vector<R*>* list, const char* key, char (R::*field)[RECORD_TEXT_SIZE] = &R::name) {
  R* r = new R(nullptr);
  snprintf(r->*field, RECORD_TEXT_SIZE, "%s", key);
  list->push_back(r);
  return r;
}

template <class R>
std::string names(const std::vector<R*>& list) {
  std::string s;
  for (R* r : list) s += std::string(r->name) + ",";
  return s;
}

// Defaults: texts empty but the file system's and disk's status; the
// assignments copy values and leave lists, marks and their own stamps.
TEST(Records, DefaultsAndAssignment) {
  MErrno err = 42;
  ClusterInfo src(&err), dst(nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_STREQ(FilesystemInfo(nullptr).status, "unknown");
  EXPECT_STREQ(DiskInfo(nullptr).status, "unknown");
  EXPECT_STREQ(StoragePoolInfo(nullptr).status, "");
  EXPECT_STREQ(NodeInfo(nullptr).status, "");
  snprintf(src.uidDomain, RECORD_TEXT_SIZE, "dom");
  src.maxMissedPingTimeout = 60;
  add(&src.nodes, "10.0.0.1", &NodeInfo::ip);
  add(&src.fileSystems, "fs1");
  src.clusterUpdateTime = stamp(11);
  src.sdrUpdateTime = stamp(12);
  src.fsPerfUpdateTime = stamp(13);
  NodeInfo* keptNode = add(&dst.nodes, "10.0.0.9", &NodeInfo::ip);
  dst.clusterUpdateTime = stamp(21);
  dst.sdrUpdateTime = stamp(22);
  dst = src;
  EXPECT_TRUE(sameTime(dst.clusterUpdateTime, stamp(21)));
  EXPECT_TRUE(sameTime(dst.sdrUpdateTime, stamp(22)));
  EXPECT_TRUE(sameTime(dst.fsPerfUpdateTime, stamp(13)));
  EXPECT_STREQ(dst.uidDomain, "dom");
  EXPECT_EQ(dst.maxMissedPingTimeout, 60);
  ASSERT_EQ(dst.nodes.size(), 1u);
  EXPECT_EQ(dst.nodes[0], keptNode);
  EXPECT_TRUE(dst.fileSystems.empty());

  FilesystemInfo f1(nullptr), f2(nullptr);
  add(&f1.pools, "p1");
  f1.inConfig = 255;
  f1.poolUpdateTime = stamp(8);
  f2 = f1;
  EXPECT_TRUE(f2.pools.empty());
  EXPECT_EQ(f2.inConfig, 0);
  EXPECT_TRUE(sameTime(f2.poolUpdateTime, stamp(8)));
  StoragePoolInfo p1(nullptr), p2(nullptr);
  add(&p1.disks, "d1");
  p1.diskPerfUpdateTime = stamp(6);
  p2.inConfig = 255;
  p2 = p1;
  EXPECT_TRUE(p2.disks.empty());
  EXPECT_EQ(p2.inConfig, 255);
  EXPECT_TRUE(sameTime(p2.diskPerfUpdateTime, stamp(6)));
}

TEST(Merge, KeepsOrderAndIdentityRemovesVanishedAndCopiesNew) {
  ClusterInfo dst(nullptr), src(nullptr);
  FilesystemInfo* a = add(&dst.fileSystems, "A");
  add(&dst.fileSystems, "B");
  FilesystemInfo* c = add(&dst.fileSystems, "C");
  StoragePoolInfo* keptPool = add(&c->pools, "old");
  add(&src.fileSystems, "C")->totalSpace = 30;
  add(&src.fileSystems, "D")->totalSpace = 40;
  add(&src.fileSystems, "A")->totalSpace = 10;
  add(&src.fileSystems[0]->pools, "new");
  src.fsUpdateTime = stamp(100);
  src.fsPerfUpdateTime = stamp(101);
  dst.copyFS(&src);
  EXPECT_EQ(names(dst.fileSystems), "A,C,D,");
  EXPECT_EQ(dst.fileSystems[0], a);
  EXPECT_EQ(dst.fileSystems[1], c);
  EXPECT_EQ(a->totalSpace, 10);
  EXPECT_EQ(c->totalSpace, 30);
  EXPECT_EQ(dst.fileSystems[2]->totalSpace, 40);
  EXPECT_NE(dst.fileSystems[2], src.fileSystems[1]);  // a copy, never shared
  EXPECT_EQ(names(c->pools), "old,");                 // pools are left alone
  EXPECT_EQ(c->pools[0], keptPool);
  EXPECT_TRUE(sameTime(dst.fsUpdateTime, stamp(100)));
  EXPECT_TRUE(sameTime(dst.fsPerfUpdateTime, stamp(101)));

  // Nodes are keyed by address: a renamed node is updated in place.
  add(&src.nodes, "10.0.0.3", &NodeInfo::ip);
  add(&src.nodes, "10.0.0.1", &NodeInfo::ip);
  src.nodeUpdateTime = stamp(55);
  dst.copyNodes(&src);
  NodeInfo* kept = dst.nodes[1];
  snprintf(src.nodes[1]->name, RECORD_TEXT_SIZE, "renamed");
  dst.copyNodes(&src);
  ASSERT_EQ(dst.nodes.size(), 2u);
  EXPECT_EQ(dst.nodes[1], kept);
  EXPECT_STREQ(kept->name, "renamed");
  EXPECT_STREQ(dst.nodes[0]->ip, "10.0.0.3");
  EXPECT_TRUE(sameTime(dst.nodeUpdateTime, stamp(55)));

  // copyPools goes one level deep; an empty source empties and stamps.
  FilesystemInfo fd(nullptr), fsrc(nullptr);
  DiskInfo* keptDisk = add(&add(&fd.pools, "p")->disks, "d-old");
  add(&add(&fsrc.pools, "p")->disks, "d-new");
  fd.copyPools(&fsrc);
  EXPECT_EQ(names(fd.pools[0]->disks), "d-old,");
  EXPECT_EQ(fd.pools[0]->disks[0], keptDisk);
  FilesystemInfo none(nullptr);
  none.poolUpdateTime = stamp(9);
  fd.copyPools(&none);
  EXPECT_TRUE(fd.pools.empty());
  EXPECT_TRUE(sameTime(fd.poolUpdateTime, stamp(9)));
}

TEST(Merge, LaterSameKeySourceWinsAndDestinationMarksSurvive) {
  StoragePoolInfo dst(nullptr), src(nullptr);
  add(&dst.disks, "d1")->inConfig = 255;
  add(&dst.disks, "gone");
  add(&src.disks, "d1")->totalSpace = 1;
  add(&src.disks, "d2")->inConfig = 255;
  add(&src.disks, "d3")->totalSpace = 2;
  add(&src.disks, "d2")->totalSpace = 3;
  src.diskUpdateTime = stamp(3);
  src.diskPerfUpdateTime = stamp(4);
  dst.copyDisks(&src);
  EXPECT_EQ(names(dst.disks), "d1,d2,d3,");
  EXPECT_EQ(dst.disks[0]->totalSpace, 1);
  EXPECT_EQ(dst.disks[1]->totalSpace, 3);
  EXPECT_EQ(dst.disks[2]->totalSpace, 2);
  EXPECT_EQ(dst.disks[0]->inConfig, 255);
  EXPECT_EQ(dst.disks[1]->inConfig, 0);
  EXPECT_TRUE(sameTime(dst.diskUpdateTime, stamp(3)));
  EXPECT_TRUE(sameTime(dst.diskPerfUpdateTime, stamp(4)));
}

}  // namespace
