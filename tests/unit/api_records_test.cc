// The cluster records: defaults, assignment and the four merges.
#include "api/api_records.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

namespace {

template <class R>
R* add(std::vector<R*>* list, const char* key, char (R::*field)[RECORD_TEXT_SIZE] = &R::name) {
  R* r = new R(nullptr);
  snprintf(r->*field, RECORD_TEXT_SIZE, "%s", key);
  list->push_back(r);
  return r;
}

// "name=totalSpace/inConfig," for each record of list.
template <class R>
std::string rows(const std::vector<R*>& list) {
  std::string s;
  for (R* r : list)
    s += std::string(r->name) + "=" + std::to_string(r->totalSpace) + "/" +
         std::to_string(r->inConfig) + ",";
  return s;
}

// The cluster's assignment leaves both lists and its own two stamps.
TEST(Records, DefaultsAndAssignment) {
  EXPECT_STREQ(FilesystemInfo(nullptr).status, "unknown");
  EXPECT_STREQ(DiskInfo(nullptr).status, "unknown");
  EXPECT_STREQ(NodeInfo(nullptr).status, "");
  ClusterInfo src(nullptr), dst(nullptr);
  add(&src.nodes, "10.0.0.1", &NodeInfo::ip);
  add(&src.fileSystems, "fs1");
  src.clusterUpdateTime.tv_sec = 11;
  src.sdrUpdateTime.tv_sec = 12;
  src.fsPerfUpdateTime.tv_sec = 13;
  NodeInfo* keptNode = add(&dst.nodes, "10.0.0.9", &NodeInfo::ip);
  dst.clusterUpdateTime.tv_sec = 21;
  dst.sdrUpdateTime.tv_sec = 22;
  dst = src;
  EXPECT_EQ(dst.clusterUpdateTime.tv_sec, 21);
  EXPECT_EQ(dst.sdrUpdateTime.tv_sec, 22);
  EXPECT_EQ(dst.fsPerfUpdateTime.tv_sec, 13);
  ASSERT_EQ(dst.nodes.size(), 1u);
  EXPECT_EQ(dst.nodes[0], keptNode);
  EXPECT_TRUE(dst.fileSystems.empty());
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
  src.fsUpdateTime.tv_sec = 100;
  src.fsPerfUpdateTime.tv_sec = 101;
  dst.copyFS(&src);
  EXPECT_EQ(rows(dst.fileSystems), "A=10/0,C=30/0,D=40/0,");
  EXPECT_EQ(dst.fileSystems[0], a);
  EXPECT_EQ(dst.fileSystems[1], c);
  EXPECT_NE(dst.fileSystems[2], src.fileSystems[1]);  // a copy, never shared
  EXPECT_EQ(rows(c->pools), "old=0/0,");              // pools are left alone
  EXPECT_EQ(c->pools[0], keptPool);
  EXPECT_EQ(dst.fsUpdateTime.tv_sec, 100);
  EXPECT_EQ(dst.fsPerfUpdateTime.tv_sec, 101);

  // copyPools goes one level deep; an empty source empties and stamps.
  DiskInfo* keptDisk = add(&keptPool->disks, "d-old");
  add(&add(&src.fileSystems[0]->pools, "old")->disks, "d-new");
  c->copyPools(src.fileSystems[0]);
  EXPECT_EQ(rows(c->pools), "old=0/0,new=0/0,");
  EXPECT_EQ(rows(keptPool->disks), "d-old=0/0,");
  EXPECT_EQ(keptPool->disks[0], keptDisk);
  FilesystemInfo none(nullptr);
  none.poolUpdateTime.tv_sec = 9;
  c->copyPools(&none);
  EXPECT_TRUE(c->pools.empty());
  EXPECT_EQ(c->poolUpdateTime.tv_sec, 9);
}

TEST(Merge, LaterSameKeySourceWinsAndDestinationMarksSurvive) {
  StoragePoolInfo dst(nullptr), src(nullptr);
  add(&dst.disks, "d1")->inConfig = 255;
  add(&dst.disks, "gone");
  add(&src.disks, "d1")->totalSpace = 1;
  add(&src.disks, "d2")->inConfig = 255;
  add(&src.disks, "d3")->totalSpace = 2;
  add(&src.disks, "d2")->totalSpace = 3;
  src.diskUpdateTime.tv_sec = 3;
  src.diskPerfUpdateTime.tv_sec = 4;
  dst.copyDisks(&src);
  EXPECT_EQ(rows(dst.disks), "d1=1/255,d2=3/0,d3=2/0,");
  EXPECT_EQ(dst.diskUpdateTime.tv_sec, 3);
  EXPECT_EQ(dst.diskPerfUpdateTime.tv_sec, 4);
}

}  // namespace
