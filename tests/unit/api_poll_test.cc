// The polling handler against the daemon simulator on its sample model, with
// the query stand-in or a scripted query tool. Needs the test sandbox.
#include "api/api_poll.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "agent/scoped.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

using conntest::run;
using conntest::Simulator;

const std::string kQueryStandIn = std::string(Simulator::kDir) + "tncfgdump";
const char kTool[] = "/usr/lpp/tarnfs/bin/tncfgdump";
const char kScratch[] = "/var/tarnfs/polltest-scratch";

bool writeFile(const char* path, const std::string& text, mode_t mode) {
  unlink(path);
  ScopedFile f(fopen(path, "w"));
  return f.get() != nullptr && fputs(text.c_str(), f.get()) >= 0 && chmod(path, mode) == 0;
}

template <class... A>
std::string join(const A&... values) {
  std::ostringstream out;
  ((out << values << ' '), ...);
  return out.str();
}

size_t countOf(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) n++;
  return n;
}

std::string treeShape(ClusterInfo* c) {
  std::string s;
  for (FilesystemInfo* f : c->fileSystems) {
    s += std::string(f->name) + "(";
    for (StoragePoolInfo* p : f->pools) {
      s += std::string(p->name) + "[";
      for (DiskInfo* d : p->disks) s += std::string(d->name) + " ";
      s += "]";
    }
    s += ")";
  }
  return s;
}

class PollTest : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    unlink(kTool);
    ASSERT_EQ(symlink(kQueryStandIn.c_str(), kTool), 0);
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(PollingHandler::init(0), 0);
    h = thePollingHandler;
    master = h->clusterInfo;
  }
  void TearDown() override {
    PollingHandler::term();
    unlink(kTool);
    unlink(kScratch);
  }

  void scanAndPollNodes() {
    ASSERT_EQ(h->updateDiskSDRInfo(0), 0);
    ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
    ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  }

  Simulator sim;
  PollingHandler* h = nullptr;
  ClusterInfo* master = nullptr;
  ClusterInfo dst{nullptr};
};

TEST_F(PollTest, QueryRecordsShortMalformedAndOverlong) {
  EXPECT_NE(Simulator::ctl("log").find("tnperf n + *\ntnperf ng ~\ntnperf ng + *\n"),
            std::string::npos);
  const std::string x(500, 'x');
  const std::pair<int, std::vector<std::string>> records[] = {
      {10, {"cluster_info:1:2:::c9:id9:q3:" + x}},
      {20,
       {"node_info:node records follow",
        "node_info:1:2:::short:10.0.0.1:", "node_info:1:2:::noaddress::x:true:true:7:p:",
        "node_info:1:2:::" + x + ":10.0.0.2:a:true:true:7:p:",
        "node_info:1:2:::n3:10.0.0.3:a:true:x:7:aix:"}},
      {30,
       {"nsd_info:1:2:::d1:fs1:system:dataOnly:", "nsd_info:1:2:::fd1:free_disk:system:dataOnly:",
        "nsd_info:1:2:::d2:fs1:system", "node_info:1:2:::d3:fs1:system:dataOnly:"}}};
  std::string script = "#!/bin/sh\necho \"$*\" >> " + std::string(kScratch) + "\ncase $1 in\n";
  for (const auto& [query, lines] : records) {
    script += std::to_string(query) + ")";
    for (const std::string& line : lines) script += " echo 'tncfgdump:sdrq_" + line + "';";
    script += ";\n";
  }
  ASSERT_TRUE(writeFile(kTool, script + "esac\n", 0755));
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  // The line is cut at 399 characters, inside uidDomain, which is cut to its field.
  EXPECT_EQ(join(dst.name, dst.id, dst.queryField3, dst.uidDomain, dst.tcpPort),
            join("c9", "id9", "q3", std::string(127, 'x'), 0));
  // The header and the record without an address add nothing; the line that
  // stops after the address gives empty texts; the overlong one loses its address.
  ASSERT_EQ(h->updateNodeInfo(&dst, 1), 0);
  std::string nodes;
  for (NodeInfo* n : master->nodes) nodes += join(n->ip, n->name, n->type, n->platform, ".");
  EXPECT_EQ(nodes, "10.0.0.1 short client-nonquorum  . 10.0.0.3 n3 manager-nonquorum aix . ");
  EXPECT_STREQ(master->nodes[0]->status, "active");  // the daemon's part still arrives
  // Free disks, short records and other records change nothing.
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  EXPECT_EQ(treeShape(master), "fs1(system[d1 ])");
  EXPECT_EQ(run("cat " + std::string(kScratch)),
            "10 1001:1002:1003:1008:1006:1007:1011:1004:1005\n"
            "20 2003:2004:2005:2006:2007:2008:2010 all norefresh\n"
            "30 3001:3004:3005:3006 all norefresh\n");
}

TEST_F(PollTest, ScanCreatesKeepsAndSweepsAndOnlyItCreatesDisks) {
  scanAndPollNodes();
  EXPECT_EQ(treeShape(master), "fs1(system[nsd1 nsd2 ]data1[nsd3 nsd4 ])fs2(system[nsd5 nsd6 ])");
  DiskInfo* nsd1 = master->fileSystems[0]->pools[0]->disks[0];
  EXPECT_EQ(join(nsd1->metadata, nsd1->data, nsd1->inConfig + 0), "y y 0 ");
  ASSERT_CTL("add disk fs1 system new");
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", nullptr, 0), 0);
  // The disk poll adds no disk, and carries only the disks of the file system it polled.
  EXPECT_EQ(treeShape(&dst), "fs1(system[nsd1 nsd2 ]data1[nsd3 nsd4 ])fs2(system[])");
  for (const char* removal : {"disk fs1 system nsd2", "pool fs1 data1", "fs fs2"})
    ASSERT_CTL(std::string("remove ") + removal);
  ASSERT_CTL("set disk fs1 system nsd1 usage strange");
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", nullptr, 0), 0);
  EXPECT_EQ(treeShape(&dst), "fs1(system[nsd1 new ])");
  EXPECT_EQ(master->fileSystems[0]->pools[0]->disks[0], nsd1);  // the same record, kept
  EXPECT_STREQ(nsd1->data, "y");                                // an unknown usage changes nothing
  EXPECT_STREQ(dst.fileSystems[0]->pools[0]->disks[1]->status, "ready");
}

std::string nodeList(ClusterInfo* c) {
  std::string s;
  for (NodeInfo* n : c->nodes) s += std::string(n->ip) + " ";
  return s;
}

// The failed runs print the records of a changed configuration (or none):
// none of it may reach the master.
TEST_F(PollTest, AFailedQueryChangesNothingWarnsOnceAndAGoodOneRemovesWhatItLacks) {
  // The same faults of the disk scan are the system tests' (test_daemon_faults.py).
  scanAndPollNodes();
  const std::string nodes = nodeList(master);
  ASSERT_CTL("remove node 10.0.0.2");
  for (const char* fault : {"cfgdump exit 1", "cfgdump signal 9", "clear"}) {
    ASSERT_CTL(std::string("fault ") + fault);
    if (strcmp(fault, "clear") == 0) unlink(kTool);
    std::string err = conntest::capturedBy([&] { EXPECT_EQ(h->updateNodeInfo(&dst, 1), 1); });
    EXPECT_EQ(countOf(err, "\n"), 1u) << err;
    EXPECT_EQ(countOf(err, "tncfgdump 20"), 1u) << err;
    EXPECT_EQ(nodeList(master), nodes);
  }
  // A node the query no longer lists leaves both trees.
  ASSERT_EQ(symlink(kQueryStandIn.c_str(), kTool), 0);
  ASSERT_EQ(h->updateNodeInfo(&dst, 1), 0);
  EXPECT_EQ(nodeList(master), "10.0.0.1 10.0.0.3 10.0.0.4 ");
  EXPECT_EQ(nodeList(&dst), nodeList(master));
  ASSERT_TRUE(writeFile(kTool, "#!/bin/sh\nexit 0\n", 0755));
  EXPECT_EQ(h->updateDiskSDRInfo(1), 0);
  EXPECT_EQ(h->updateNodeInfo(&dst, 1), 0);
  EXPECT_EQ(treeShape(master) + nodeList(&dst), "");
}

// 300 pools of one disk in "big", 9000 disks in one pool of "wide": each
// file system keeps what fits and one warning per limit tells of the rest.
TEST_F(PollTest, ConfigurationsPastThePoolAndDiskLimitsAreCutWithOneWarningEach) {
  ASSERT_TRUE(writeFile(kTool,
                        "#!/bin/sh\n[ \"$1\" = 30 ] || exit 0\nr=tncfgdump:sdrq_nsd_info:1:1:::\n"
                        "seq 300 | sed \"s/.*/${r}bd&:big:p&:dataOnly:/\"\n"
                        "seq 9000 | sed \"s/.*/${r}d&:wide:p:dataOnly:/\"\n",
                        0755));
  testing::internal::CaptureStderr();
  for (int scan = 0; scan < 2; scan++) ASSERT_EQ(h->updateDiskSDRInfo(0), 0);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(master->fileSystems.size(), 2u);
  EXPECT_EQ(master->fileSystems[0]->pools.size(), size_t{MAX_POOLS_PER_FS});
  EXPECT_STREQ(master->fileSystems[0]->pools.back()->disks[0]->name, "bd256");
  EXPECT_EQ(master->fileSystems[1]->pools[0]->disks.size(), size_t{MAX_DISKS_PER_FS});
  EXPECT_EQ(countOf(err, "Warning: file system big has more than 256 storage pools"), 1u) << err;
  EXPECT_EQ(countOf(err, "Warning: file system wide has more than 8192 disks"), 1u) << err;
  EXPECT_EQ(countOf(err, "\n"), 2u) << err;
}

// Each pass sums its serving nodes' statistics from zero, and a pass without statistics leaves
// them at zero; the sums against the model are the table tests' (test_tables.py).
TEST_F(PollTest, DiskStatisticsStartFromZeroAtEachPass) {
  scanAndPollNodes();
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
  for (int pass = 0; pass < 2; pass++) ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 1), 0);
  DiskInfo* nsd1 = dst.fileSystems[0]->pools[0]->disks[0];
  EXPECT_EQ(join(nsd1->readTime, nsd1->perfInstances), "4 2 ");
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 0), 0);
  EXPECT_EQ(join(nsd1->readTime, nsd1->perfInstances), "0 0 ");
}

TEST_F(PollTest, AFailedNodeOrUnknownNameRefusesWithoutSendingAndWarnsOncePerLevel) {
  ASSERT_EQ(h->updateDiskSDRInfo(0), 0);
  EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 1);  // no node yet: refused
  ASSERT_CTL("set node 10.0.0.2 status -failed");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  Simulator::ctl("log clear");
  testing::internal::CaptureStderr();
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 1);
    EXPECT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 1);
    EXPECT_EQ(h->updateDiskInfo(&dst, "fs1", nullptr, 1), 1);
  }
  EXPECT_EQ(h->updateDiskInfo(&dst, "fs1", "nopool", 1), 1);
  EXPECT_EQ(h->updateDiskInfo(&dst, "nofs", nullptr, 1), 1);
  EXPECT_EQ(h->updateStoragePoolInfo(&dst, "nofs"), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(err, "Warning: failed node"), 3u) << err;
  EXPECT_EQ(Simulator::ctl("log"), "");
  EXPECT_TRUE(dst.fileSystems.empty());
  ASSERT_CTL("set node 10.0.0.2 status failed");  // the word follows a marker character
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_EQ(h->updateFilesystemInfo(&dst, 0), 0);
}

// An answer that never ends: the poll sends nothing more and merges nothing.
TEST_F(PollTest, AFailedAnswerFailsThePollInProgressAndMergesNothing) {
  scanAndPollNodes();
  const std::function<int(ClusterInfo*)> polls[] = {
      [&](ClusterInfo* to) { return h->updateFilesystemInfo(to, 1); },
      [&](ClusterInfo* to) { return h->updateStoragePoolInfo(to, nullptr); },
      [&](ClusterInfo* to) { return h->updateDiskInfo(to, "fs1", nullptr, 1); }};
  for (const auto& poll : polls) {
    ASSERT_CTL("fault unended");
    Simulator::ctl("log clear");
    ClusterInfo fresh(nullptr);
    EXPECT_EQ(poll(&fresh), 1);
    EXPECT_EQ(countOf(Simulator::ctl("log"), "\n"), 1u);
    EXPECT_TRUE(fresh.fileSystems.empty());
    EXPECT_EQ(poll(&fresh), 0);
    EXPECT_EQ(fresh.fileSystems.size(), 2u);
  }
}

// The polling thread blocks signals and ignores SIGPIPE as the agent's threads do.
TEST_F(PollTest, TheQueryToolGetsDefaultSignalsAndIsKilledAfterItsBound) {
  ASSERT_TRUE(writeFile(kTool,
                        std::string("#!/bin/sh\ngrep -E '^Sig(Blk|Ign)' /proc/self/status > ") +
                            kScratch + "\nsleep 60 &\necho $! >> " + kScratch + "\nwait\n",
                        0755));
  setQueryTimeLimit(3000);
  int rc = -1;
  std::thread worker([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    signal(SIGPIPE, SIG_IGN);
    rc = h->updateNodeInfo(&dst, 0);
  });
  worker.join();
  signal(SIGPIPE, SIG_DFL);
  setQueryTimeLimit(0);
  EXPECT_EQ(rc, 1);
  unsigned long long blocked = 1, ignored = 1;
  int pid = 0;
  ASSERT_EQ(sscanf(run("cat " + std::string(kScratch)).c_str(), "SigBlk: %llx SigIgn: %llx %d",
                   &blocked, &ignored, &pid),
            3);
  EXPECT_EQ(blocked, 0u);
  EXPECT_EQ(ignored & ((1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1)) | (1ULL << (SIGPIPE - 1))),
            0u);
  // Gone, or dead and waiting for the namespace's init to reap it.
  EXPECT_TRUE(conntest::waitFor([&] {
    std::string stat = run("cat /proc/" + std::to_string(pid) + "/stat");
    return stat.rfind("ERROR", 0) == 0 || stat.find(") Z ") != std::string::npos;
  }));
}

}  // namespace
