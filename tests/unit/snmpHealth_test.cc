// The age of each level of the served data, from the copy's time stamps.
#include "mib/snmpHealth.h"

#include <gtest/gtest.h>

#include "api/api_records.h"

namespace {

struct timeval at(time_t seconds) {
  return {seconds, 0};
}

TEST(DataAge, OldestStampOfEachLevelWithFallbacksAndClamps) {
  MErrno err;
  ClusterInfo c(&err);
  c.clusterUpdateTime = at(100);
  c.nodeUpdateTime = at(129);
  c.fsUpdateTime = at(110);
  c.fsPerfUpdateTime = at(90);  // statistics older than the list: they decide
  EXPECT_EQ(dataAge(&c, DATA_CLUSTER, 130), 30u);
  EXPECT_EQ(dataAge(&c, DATA_NODES, 130), 1u);
  EXPECT_EQ(dataAge(&c, DATA_FILESYSTEMS, 130), 40u);
  // No file system: pools and disks are as old as the file system level.
  EXPECT_EQ(dataAge(&c, DATA_POOLS, 130), 40u);
  EXPECT_EQ(dataAge(&c, DATA_DISKS, 130), 40u);

  FilesystemInfo* fsa = new FilesystemInfo(&err);
  FilesystemInfo* fsb = new FilesystemInfo(&err);
  fsa->poolUpdateTime = at(125);
  fsb->poolUpdateTime = at(115);
  c.fileSystems = {fsa, nullptr, fsb};  // an empty slot is passed over
  EXPECT_EQ(dataAge(&c, DATA_POOLS, 130), 15u);
  EXPECT_EQ(dataAge(&c, DATA_DISKS, 130), 15u);  // no pool yet: the pool age

  StoragePoolInfo* p1 = new StoragePoolInfo(&err);
  StoragePoolInfo* p2 = new StoragePoolInfo(&err);
  p1->diskUpdateTime = p1->diskPerfUpdateTime = at(128);
  p2->diskUpdateTime = at(127);
  p2->diskPerfUpdateTime = at(105);
  fsa->pools = {p1};
  fsb->pools = {p2};
  EXPECT_EQ(dataAge(&c, DATA_DISKS, 130), 25u);

  // Never polled counts from the epoch, clamped to 32 bits; a stamp ahead of
  // the clock is 0 seconds old.
  c.clusterUpdateTime = at(0);
  EXPECT_EQ(dataAge(&c, DATA_CLUSTER, 130), 130u);
  EXPECT_EQ(dataAge(&c, DATA_CLUSTER, static_cast<time_t>(1) << 33), 0xFFFFFFFFu);
  EXPECT_EQ(dataAge(&c, DATA_NODES, 100), 0u);
  EXPECT_EQ(dataAge(nullptr, DATA_NODES, 100), 0xFFFFFFFFu);
}

}  // namespace
