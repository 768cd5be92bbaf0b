// The polling handler against the daemon simulator and the configuration
// query stand-in, over the real socket and pipe. Runs inside the test sandbox
// only (fixed paths on private mounts); elsewhere every test here is skipped.
#include "api/api_poll.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "api/api_conn.h"

namespace {

const char kSimDir[] = TN_BUILD_DIR "/sim";
const char kQueryTool[] = "/usr/lpp/tarnfs/bin/tncfgdump";
const char kModelPath[] = "/var/tarnfs/polltest-model.json";
const char kQueryArgsLog[] = "/var/tarnfs/polltest-query-args";

// A small cluster with the exact values the tests look for.
const char kModel[] = R"json({
  "cluster": {"name": "c1.example", "id": "4711", "queryField3": "q3", "uidDomain": "dom.example",
              "remoteShellCommand": "/usr/bin/ssh", "remoteFileCopyCommand": "/usr/bin/scp",
              "tcpPort": 1191, "primaryServer": "n1", "secondaryServer": "n2",
              "maxBlockSize": 1048576, "minReleaseLevel": "1502",
              "distributedTokenServer": "true", "failureDetectionTime": 35,
              "minMissedPingTimeout": 3, "maxMissedPingTimeout": 60},
  "nodes": [
    {"ip": "10.0.0.1", "name": "n1", "adminName": "n1a", "manager": true, "quorum": false, "platform": "x86_64-linux",
     "status": "active", "failureCount": 2, "threadWait": 7, "diagnosis": "fine",
     "pagePool": 8589934597, "maxFilesToCache": 1000, "maxStatCache": -1,
     "fsStats": [{"fs": "fs1", "bytesRead": 100, "reads": 3, "statCacheMiss": 1},
                 {"fs": "ghost", "bytesRead": 7}]},
    {"ip": "10.0.0.2", "name": "n2", "adminName": "n2a", "manager": false, "quorum": true, "platform": "ppc64le-linux",
     "maxFilesToCache": 2000, "maxStatCache": 5000,
     "fsStats": [{"fs": "fs1", "bytesRead": 250, "reads": 4, "statCacheMiss": 1}]},
    {"ip": "10.0.0.3", "name": "n3", "adminName": "n3a", "manager": true, "quorum": true, "failureCount": 9,
     "threadWait": 4, "fsStats": [{"fs": "fs1", "rc": 5, "bytesRead": 1000000}]}
  ],
  "fileSystems": [
    {"name": "fs1", "status": "mounted", "totalSpace": 5000000000, "numTotalInodes": 123,
     "pools": [
       {"name": "system", "disks": [
         {"name": "d1", "usage": "dataOnly", "failureGroup": 3, "totalSpace": 6000000000, "perf": [
           {"node": "n1", "readTime": 1.5, "longestReadTime": 0.7, "shortestReadTime": 0.2,
            "readBytes": 5000000000, "readOps": 3, "writeTime": 0.25, "writeOps": 1},
           {"node": "n3", "rc": 5, "readTime": 100, "shortestReadTime": 0.01},
           {"node": "n2", "readTime": 2.5, "longestReadTime": 0.9, "shortestReadTime": 0.1,
            "readBytes": 10, "readOps": 4, "writeTime": 0.5, "writeOps": 2}]},
         {"name": "d2", "usage": "metadataOnly", "totalSpace": 4294967301}]},
       {"name": "data1", "disks": [{"name": "d3", "usage": "dataAndMetadata"}]}]},
    {"name": "fs2", "pools": [{"name": "system", "disks": [{"name": "d4"}]}]}
  ],
  "freeDisks": [{"name": "fd1"}]
})json";

// True when path is the mount point of a file system of its own.
bool isMountPoint(const char* path) {
  struct stat here, parent;
  std::string up = std::string(path) + "/..";
  return stat(path, &here) == 0 && stat(up.c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

bool inSandbox() { return isMountPoint("/var/tarnfs") && isMountPoint("/usr/lpp/tarnfs"); }

bool writeFile(const char* path, const std::string& text, mode_t mode = 0644) {
  FILE* f = fopen(path, "w");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  return ok && chmod(path, mode) == 0;
}

std::string readFile(const char* path) {
  std::string text;
  FILE* f = fopen(path, "r");
  if (f == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    n++;
  }
  return n;
}

// The daemon simulator on a model, with the query stand-in installed.
class Simulator {
 public:
  ~Simulator() { stop(); }

  bool start(const std::string& modelJson) {
    if (!writeFile(kModelPath, modelJson)) return false;
    std::string tool = std::string(kSimDir) + "/tncfgdump";
    unlink(kQueryTool);
    if (symlink(tool.c_str(), kQueryTool) != 0) return false;
    int out[2];
    if (pipe(out) != 0) return false;
    std::string binary = std::string(kSimDir) + "/tarnsim";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(binary.c_str(), "tarnsim", "--model", kModelPath, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    readyFd_ = out[0];
    return pid_ > 0 && awaitReady();
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (readyFd_ >= 0) close(readyFd_);
    readyFd_ = -1;
    unlink(kQueryTool);
    unlink(kModelPath);
    unlink(kQueryArgsLog);
  }

  // Runs "tarnsim ctl WORDS"; its output, or "ERROR: " and its output when it failed.
  std::string ctl(const std::string& words) {
    std::string command = std::string(kSimDir) + "/tarnsim ctl " + words + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return "ERROR: popen";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    return status == 0 ? text : "ERROR: " + text;
  }

  // The daemon commands received since the last "log clear", one per line.
  std::string log() { return ctl("log"); }

  // Puts a script in the query tool's place that records its arguments.
  bool recordQueryArguments() {
    std::string script = std::string("#!/bin/sh\necho \"$*\" >> ") + kQueryArgsLog + "\nexec " +
                         kSimDir + "/tncfgdump \"$@\"\n";
    unlink(kQueryTool);
    return writeFile(kQueryTool, script, 0755);
  }

 private:
  // Waits up to 10 s for the simulator's ready line.
  bool awaitReady() {
    std::string seen;
    for (int waited = 0; waited < 100 && seen.find("ready") == std::string::npos; waited++) {
      struct pollfd p = {readyFd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      ssize_t n = read(readyFd_, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<size_t>(n));
    }
    return seen.find("ready") != std::string::npos;
  }

  pid_t pid_ = -1;
  int readyFd_ = -1;
};

// Runs fn with standard error going to a file; returns what was written.
template <class F>
std::string captureStderr(F fn) {
  const char* path = "/var/tarnfs/polltest-stderr";
  fflush(stderr);
  int saved = dup(2);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 2);
  close(fd);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text = readFile(path);
  unlink(path);
  return text;
}

FilesystemInfo* findFs(ClusterInfo* c, const char* name) {
  int32_t at = c->getFilesystemInfoIndex(name);
  return at < 0 ? nullptr : c->fileSystems[at];
}
StoragePoolInfo* findPool(ClusterInfo* c, const char* fs, const char* pool) {
  FilesystemInfo* f = findFs(c, fs);
  int32_t at = f == nullptr ? -1 : f->getStoragePoolInfoIndex(pool);
  return at < 0 ? nullptr : f->pools[at];
}
DiskInfo* findDisk(ClusterInfo* c, const char* fs, const char* pool, const char* disk) {
  StoragePoolInfo* p = findPool(c, fs, pool);
  int32_t at = p == nullptr ? -1 : p->getDiskInfoIndex(disk);
  return at < 0 ? nullptr : p->disks[at];
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

// Runs a control command of the simulator and stops the test when it failed.
#define ASSERT_CTL(words)                            \
  do {                                               \
    std::string reply = sim.ctl(words);              \
    ASSERT_NE(reply.rfind("ERROR", 0), 0u) << reply; \
  } while (0)

class PollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inSandbox()) GTEST_SKIP() << "needs the test sandbox (tests/sandbox.sh)";
    ASSERT_TRUE(sim.start(model()));
    ASSERT_EQ(PollingHandler::init(0), 0);
    h = thePollingHandler;
    master = h->clusterInfo;
  }
  void TearDown() override {
    PollingHandler::term();
    sim.stop();
  }
  virtual std::string model() { return kModel; }

  // Disk scan, cluster and node polls: what the file system, pool and disk
  // polls need first (the disk statistics command names the cluster).
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

TEST_F(PollTest, StartUpSetsUpTheNodeList) {
  EXPECT_EQ(thePollingHandler, h);
  EXPECT_EQ(h->utils, theTnperfWrapperUtils);
  EXPECT_NE(master->clusterUpdateTime.tv_sec, 0);
  std::string log = sim.log();
  EXPECT_NE(log.find("tnperf n + *\ntnperf ng ~\ntnperf ng + *\n"), std::string::npos) << log;
  EXPECT_EQ(PollingHandler::init(0), 0);  // a second init keeps the one handler
  EXPECT_EQ(thePollingHandler, h);
}

TEST_F(PollTest, ClusterPollFillsMasterAndDestinationValues) {
  NodeInfo* foreign = new NodeInfo(nullptr);
  dst.nodes.push_back(foreign);
  dst.clusterUpdateTime.tv_sec = 5;
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  for (ClusterInfo* c : {master, &dst}) {
    EXPECT_STREQ(c->name, "c1.example");
    EXPECT_STREQ(c->id, "4711");
    EXPECT_STREQ(c->queryField3, "q3");
    EXPECT_STREQ(c->uidDomain, "dom.example");
    EXPECT_STREQ(c->remoteShellCommand, "/usr/bin/ssh");
    EXPECT_STREQ(c->remoteFileCopyCommand, "/usr/bin/scp");
    EXPECT_EQ(c->tcpPort, 1191);
    EXPECT_STREQ(c->primaryServer, "n1");
    EXPECT_STREQ(c->secondaryServer, "n2");
    EXPECT_EQ(c->maxBlockSize, 1048576);
    EXPECT_STREQ(c->minReleaseLevel, "1502");
    EXPECT_EQ(c->distributedTokenServer, 1);
    EXPECT_EQ(c->failureDetectionTime, 35);
    EXPECT_EQ(c->minMissedPingTimeout, 3);
    EXPECT_EQ(c->maxMissedPingTimeout, 60);
  }
  // The cluster poll leaves the lists and the destination's own stamp alone.
  ASSERT_EQ(dst.nodes.size(), 1u);
  EXPECT_EQ(dst.nodes[0], foreign);
  EXPECT_EQ(dst.clusterUpdateTime.tv_sec, 5);
  ASSERT_EQ(h->getClusterInfo(&dst), 0);
  EXPECT_EQ(dst.clusterUpdateTime.tv_sec, master->clusterUpdateTime.tv_sec);
  EXPECT_TRUE(dst.nodes.empty());  // merged with the master's (still empty) node list
}

TEST_F(PollTest, ClusterPollTakesEachResponseOnItsOwn) {
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_EQ(dst.distributedTokenServer, 1);
  ASSERT_CTL("set cluster distributedTokenServer True");
  ASSERT_CTL("set cluster maxBlockSize 262144");
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_EQ(dst.distributedTokenServer, 0);  // only exactly "true" counts
  EXPECT_EQ(dst.maxBlockSize, 262144);
}

TEST_F(PollTest, QueryLinesCarryNorefreshOnlyWhenAsked) {
  ASSERT_TRUE(sim.recordQueryArguments());
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  ASSERT_EQ(h->updateClusterInfo(&dst, 1), 0);
  ASSERT_EQ(h->updateNodeInfo(&dst, 1), 0);
  ASSERT_EQ(h->updateDiskSDRInfo(0), 0);
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  EXPECT_EQ(readFile(kQueryArgsLog),
            "10 1001:1002:1003:1008:1006:1007:1011:1004:1005\n"
            "10 1001:1002:1003:1008:1006:1007:1011:1004:1005 all norefresh\n"
            "20 2003:2004:2005:2006:2007:2008:2010 all norefresh\n"
            "30 3001:3004:3005:3006\n"
            "30 3001:3004:3005:3006 all norefresh\n");
  EXPECT_STREQ(dst.name, "c1.example");
}

TEST_F(PollTest, MissingQueryToolFailsTheQueryPolls) {
  unlink(kQueryTool);
  ASSERT_TRUE(writeFile(kQueryTool, "#!/bin/sh\nexit 0\n", 0755));  // prints nothing
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_STREQ(master->name, "");
  EXPECT_EQ(master->maxBlockSize, 1048576);  // the daemon part still answers
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_TRUE(master->nodes.empty());
}

TEST_F(PollTest, NodePollBuildsTypesAndReadsBothCommands) {
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  ASSERT_EQ(master->nodes.size(), 3u);
  EXPECT_STREQ(master->nodes[0]->ip, "10.0.0.1");
  EXPECT_STREQ(master->nodes[1]->ip, "10.0.0.2");
  EXPECT_STREQ(master->nodes[0]->type, "manager-nonquorum");
  EXPECT_STREQ(master->nodes[1]->type, "client-quorum");
  EXPECT_STREQ(master->nodes[2]->type, "manager-quorum");
  EXPECT_STREQ(master->nodes[1]->platform, "ppc64le-linux");
  ASSERT_EQ(dst.nodes.size(), 3u);
  NodeInfo* n1 = dst.nodes[0];
  EXPECT_STREQ(n1->name, "n1");
  EXPECT_STREQ(n1->status, "active");
  EXPECT_EQ(n1->failureCount, 2);
  EXPECT_EQ(n1->threadWait, 7);
  EXPECT_STREQ(n1->diagnosis, "fine");
  EXPECT_EQ(n1->pagePool, 8589934597LL);  // above 2^32, kept whole
  EXPECT_EQ(n1->maxFilesToCache, 1000);
  EXPECT_EQ(n1->maxStatCache, 4000);  // -1: four times maxFilesToCache
  EXPECT_EQ(dst.nodes[1]->maxStatCache, 5000);
  EXPECT_STREQ(n1->version, "5.1.9.1");
  EXPECT_EQ(dst.nodeUpdateTime.tv_sec, master->nodeUpdateTime.tv_sec);
  EXPECT_NE(dst.nodeUpdateTime.tv_sec, 0);
}

TEST_F(PollTest, ShortAndForeignNodeRecords) {
  unlink(kQueryTool);
  std::string longName(500, 'n');
  ASSERT_TRUE(writeFile(kQueryTool,
                        "#!/bin/sh\n"
                        "echo 'tncfgdump:sdrq_node_info:node records follow'\n"
                        "echo 'tncfgdump:sdrq_node_info:1:2:::short:10.0.0.1:'\n"
                        "echo 'tncfgdump:sdrq_node_info:1:2:::noaddress::x:true:true:7:p:'\n"
                        "echo 'tncfgdump:sdrq_node_info:1:2:::" +
                            longName +
                            ":10.0.0.2:a:true:true:7:p:'\n"
                            "echo 'tncfgdump:sdrq_node_info:1:2:::n3:10.0.0.3:a:true:x:7:aix:'\n",
                        0755));
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  // Header line and the record without an address add nothing; the line
  // stopping after the address gives empty texts for what it lacks; the
  // over-long line (cut at 399 characters) loses its address.
  ASSERT_EQ(master->nodes.size(), 2u);
  EXPECT_STREQ(master->nodes[0]->name, "short");
  EXPECT_STREQ(master->nodes[0]->type, "client-nonquorum");
  EXPECT_STREQ(master->nodes[0]->platform, "");
  EXPECT_STREQ(master->nodes[0]->status, "active");  // the daemon knows 10.0.0.1
  EXPECT_STREQ(master->nodes[1]->type, "manager-nonquorum");
  EXPECT_STREQ(master->nodes[1]->platform, "aix");
  EXPECT_EQ(master->getNodeInfoIndex("10.0.0.2"), -1);
}

TEST_F(PollTest, NodesAreNeverRemovedAndResetWhenUnreported) {
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  NodeInfo* n3 = dst.nodes[2];
  ASSERT_CTL("set node 10.0.0.3 reported false");
  ASSERT_CTL("set node 10.0.0.1 configured false");
  ASSERT_CTL("set node 10.0.0.1 reported false");
  ASSERT_CTL("set node 10.0.0.2 name renamed");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  ASSERT_EQ(dst.nodes.size(), 3u);
  EXPECT_EQ(dst.nodes[2], n3);
  EXPECT_STREQ(n3->status, "unknown");
  EXPECT_STREQ(n3->healthy, "no");
  EXPECT_STREQ(n3->diagnosis, "unknown");
  EXPECT_EQ(n3->failureCount, 9);  // kept from the earlier poll
  EXPECT_EQ(n3->threadWait, 4);
  EXPECT_STREQ(dst.nodes[0]->status, "unknown");  // gone from the configuration, still listed
  EXPECT_STREQ(dst.nodes[1]->name, "n2");         // identity fields are set once
  EXPECT_STREQ(dst.nodes[1]->status, "active");
}

TEST_F(PollTest, MaxStatCacheUsesTheEarlierFilesToCache) {
  // The walk meets "_maxstatcache_" before "_maxfilestocache_" when the
  // daemon sends them in that order; the simulator sends them in table
  // order, so the earlier value comes from the previous poll.
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  ASSERT_CTL("set node 10.0.0.1 maxFilesToCache 3000");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_EQ(dst.nodes[0]->maxStatCache, 12000);
}

TEST_F(PollTest, LongTextsAreCutToTheField) {
  std::string longText(300, 'x');
  ASSERT_CTL("set node 10.0.0.1 diagnosis " + longText);
  ASSERT_CTL("set node 10.0.0.1 unmountOnDiskFail " + longText);
  ASSERT_CTL("set cluster uidDomain " + longText);
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_EQ(strlen(dst.nodes[0]->diagnosis), 127u);
  EXPECT_EQ(strlen(dst.nodes[0]->unmountOnDiskFail), 31u);
  // The query line is cut at 399 characters, inside this field.
  EXPECT_EQ(std::string(dst.uidDomain), std::string(127, 'x'));
  EXPECT_STREQ(dst.name, "c1.example");
}

TEST_F(PollTest, FailedNodeGateStopsFileSystemPoolAndDiskPolls) {
  ASSERT_EQ(h->updateDiskSDRInfo(0), 0);
  // No node poll yet: an empty node list refuses, without a message.
  std::string err = captureStderr([&] { EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 1); });
  EXPECT_EQ(err, "");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  ASSERT_CTL("set node 10.0.0.2 status -failed");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  sim.ctl("log clear");
  err = captureStderr([&] {
    EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 1);
    EXPECT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 1);
    EXPECT_EQ(h->updateDiskInfo(&dst, "fs1", nullptr, 1), 1);
  });
  EXPECT_EQ(countOf(err, "Warning: failed node"), 3u) << err;
  EXPECT_EQ(sim.log(), "");  // nothing was sent
  EXPECT_TRUE(dst.fileSystems.empty());
  EXPECT_EQ(master->fsUpdateTime.tv_sec, 0);
  // "failed" must start at the second character.
  ASSERT_CTL("set node 10.0.0.2 status failed");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_EQ(h->updateFilesystemInfo(&dst, 0), 0);
}

TEST_F(PollTest, FileSystemPollSumsStatisticsClusterWide) {
  scanAndPollNodes();
  ASSERT_EQ(h->updateFilesystemInfo(&dst, 1), 0);
  FilesystemInfo* fs1 = findFs(&dst, "fs1");
  ASSERT_NE(fs1, nullptr);
  EXPECT_STREQ(fs1->status, "mounted");
  EXPECT_EQ(fs1->totalSpace, 5000000000LL);
  EXPECT_EQ(fs1->numTotalInodes, 123);
  EXPECT_EQ(fs1->bytesRead, 350);  // 100 + 250; the rc 5 record and "ghost" skipped
  EXPECT_EQ(fs1->reads, 7);
  EXPECT_EQ(fs1->statCacheMiss, 2);
  EXPECT_EQ(fs1->perfInstances, 2);
  EXPECT_EQ(findFs(&dst, "fs2")->perfInstances, 0);
  EXPECT_EQ(dst.fsPerfUpdateTime.tv_sec, master->fsPerfUpdateTime.tv_sec);
  EXPECT_TRUE(fs1->pools.empty());  // pools come with the pool poll

  // Without statistics the sums and their stamp stay.
  timeval perfStamp = master->fsPerfUpdateTime;
  ASSERT_CTL("set gfis 10.0.0.1 fs1 bytesRead 1");
  ASSERT_EQ(h->updateFilesystemInfo(&dst, 0), 0);
  EXPECT_EQ(fs1->bytesRead, 350);
  EXPECT_EQ(master->fsPerfUpdateTime.tv_usec, perfStamp.tv_usec);
  ASSERT_EQ(h->updateFilesystemInfo(&dst, 1), 0);
  EXPECT_EQ(fs1->bytesRead, 251);  // sums start again at every statistics poll
}

TEST_F(PollTest, FileSystemPollWithoutFileSystemsEmptiesTheDestination) {
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  dst.fileSystems.push_back(new FilesystemInfo(nullptr));
  sim.ctl("log clear");
  ASSERT_EQ(h->updateFilesystemInfo(&dst, 0), 0);
  EXPECT_TRUE(dst.fileSystems.empty());
  EXPECT_EQ(sim.log(), "");
  EXPECT_NE(dst.fsUpdateTime.tv_sec, 0);
  EXPECT_EQ(dst.fsPerfUpdateTime.tv_sec, 0);
}

TEST_F(PollTest, ConfigurationScanCreatesKeepsAndSweeps) {
  ASSERT_EQ(h->updateDiskSDRInfo(0), 0);
  EXPECT_EQ(treeShape(master), "fs1(system[d1 d2 ]data1[d3 ])fs2(system[d4 ])");
  DiskInfo* d1 = findDisk(master, "fs1", "system", "d1");
  EXPECT_STREQ(d1->metadata, "n");
  EXPECT_STREQ(d1->data, "y");
  EXPECT_STREQ(findDisk(master, "fs1", "system", "d2")->metadata, "y");
  EXPECT_STREQ(findDisk(master, "fs1", "system", "d2")->data, "n");
  EXPECT_STREQ(findDisk(master, "fs1", "data1", "d3")->data, "y");
  EXPECT_EQ(master->fileSystems[0]->inConfig, 0);  // marks are cleared after the scan
  EXPECT_EQ(d1->inConfig, 0);
  EXPECT_NE(master->sdrUpdateTime.tv_sec, 0);

  ASSERT_CTL("remove disk fs1 system d2");
  ASSERT_CTL("remove disk fs1 data1 d3");
  ASSERT_CTL("remove disk fs2 system d4");
  ASSERT_CTL("set disk fs1 system d1 usage strange");
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  EXPECT_EQ(treeShape(master), "fs1(system[d1 ])");
  EXPECT_EQ(findDisk(master, "fs1", "system", "d1"), d1);  // the same record, kept
  EXPECT_STREQ(d1->metadata, "n");                         // unknown usage changes nothing

  ASSERT_CTL("remove fs fs1");
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  EXPECT_EQ(treeShape(master), "");
}

TEST_F(PollTest, PoolPollFillsPoolsAndMergesThem) {
  scanAndPollNodes();
  ASSERT_EQ(h->updateFilesystemInfo(&dst, 0), 0);
  EXPECT_EQ(h->updateStoragePoolInfo(&dst, "nofs"), 1);
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
  StoragePoolInfo* system = findPool(&dst, "fs1", "system");
  ASSERT_NE(system, nullptr);
  EXPECT_STREQ(system->status, "ready");
  EXPECT_EQ(system->numDisks, 2);
  EXPECT_EQ(system->totalSpace, static_cast<int32_t>((6000000000LL + 4294967301LL) & 0xffffffff));
  EXPECT_EQ(system->fsIndex, 0);
  EXPECT_EQ(findPool(&dst, "fs2", "system")->fsIndex, 1);
  EXPECT_TRUE(system->disks.empty());  // disks come with the disk poll
  EXPECT_NE(findFs(&dst, "fs1")->poolUpdateTime.tv_sec, 0);

  // A pool the daemon reports before the configuration scan knows it is added.
  ASSERT_CTL("add pool fs2 extra");
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, "fs2"), 0);
  EXPECT_NE(findPool(&dst, "fs2", "extra"), nullptr);
  EXPECT_EQ(findPool(&dst, "fs2", "extra")->fsIndex, 1);
}

TEST_F(PollTest, DiskPollSumsStatisticsOfAllServingNodes) {
  scanAndPollNodes();
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 1), 0);
  DiskInfo* d1 = findDisk(&dst, "fs1", "system", "d1");
  ASSERT_NE(d1, nullptr);
  EXPECT_STREQ(d1->status, "ready");
  EXPECT_STREQ(d1->availability, "up");
  EXPECT_EQ(d1->failureGroup, 3);
  EXPECT_EQ(d1->totalSpace, 6000000000LL);
  EXPECT_STREQ(d1->metadata, "n");
  EXPECT_DOUBLE_EQ(d1->readTime, 4.0);  // 1.5 + 2.5; the rc 5 record skipped
  EXPECT_DOUBLE_EQ(d1->longestReadTime, 0.9);
  EXPECT_DOUBLE_EQ(d1->shortestReadTime, 0.1);
  EXPECT_DOUBLE_EQ(d1->writeTime, 0.75);
  EXPECT_EQ(d1->readBytes, 5000000010LL);
  EXPECT_EQ(d1->readOps, 7);
  EXPECT_EQ(d1->writeOps, 3);
  EXPECT_EQ(d1->perfInstances, 2);
  EXPECT_STREQ(d1->nodeName, "n2");  // the last usable record's node
  EXPECT_EQ(findDisk(&dst, "fs1", "system", "d2")->perfInstances, 0);

  // A second pass starts the sums again; the shortest time is this pass's own.
  ASSERT_CTL("set ds fs1 system d1 n2 shortestReadTime 0.3");
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 1), 0);
  EXPECT_DOUBLE_EQ(d1->readTime, 4.0);
  EXPECT_DOUBLE_EQ(d1->shortestReadTime, 0.2);
  EXPECT_EQ(d1->perfInstances, 2);
  // Without statistics the reset leaves zeros.
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 0), 0);
  EXPECT_EQ(d1->perfInstances, 0);
  EXPECT_EQ(d1->readTime, 0.0);
}

TEST_F(PollTest, DiskPollIgnoresDisksUnknownToTheConfiguration) {
  scanAndPollNodes();
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
  ASSERT_CTL("add disk fs1 system newdisk");
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", nullptr, 1), 0);
  EXPECT_EQ(treeShape(&dst), "fs1(system[d1 d2 ]data1[d3 ])fs2(system[d4 ])");
  EXPECT_NE(findPool(&dst, "fs1", "data1")->diskUpdateTime.tv_sec, 0);
  EXPECT_EQ(findPool(&dst, "fs2", "system")->diskUpdateTime.tv_sec, 0);
  // The next scan brings it in, and the next disk poll fills it.
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  ASSERT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 0), 0);
  ASSERT_NE(findDisk(&dst, "fs1", "system", "newdisk"), nullptr);
  EXPECT_STREQ(findDisk(&dst, "fs1", "system", "newdisk")->status, "ready");
}

TEST_F(PollTest, UnknownNamesRefuseWithoutSending) {
  scanAndPollNodes();
  sim.ctl("log clear");
  EXPECT_EQ(h->updateDiskInfo(&dst, "fs1", "nopool", 1), 1);
  EXPECT_EQ(h->updateDiskInfo(&dst, "nofs", nullptr, 1), 1);
  EXPECT_EQ(h->updateDiskInfo(&dst, nullptr, nullptr, 1), 1);
  EXPECT_EQ(h->updateStoragePoolInfo(&dst, "nofs"), 1);
  EXPECT_EQ(sim.log(), "");
  EXPECT_TRUE(dst.fileSystems.empty());
}

TEST_F(PollTest, WarningsCountWhatTheyDescribe) {
  scanAndPollNodes();
  ASSERT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
  h->debug = 1;
  std::string err = captureStderr([&] {
    EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 0);
    EXPECT_EQ(h->updateDiskInfo(&dst, "fs1", "system", 1), 0);
  });
  // "tnperf gfis": the number of file systems; "tnperf ds": the records seen so far.
  EXPECT_NE(err.find("_warning_ 2 instance: 'tnperf gfis' returned error (rc=5)"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("_warning_ 2 instance: 'tnperf ds' returned error (rc=5)"), std::string::npos)
      << err;
  EXPECT_NE(err.find("_ok_ checkFailedNode: done"), std::string::npos);
}

TEST_F(PollTest, ReconnectsAndResendsAfterADaemonRestart) {
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  ASSERT_CTL("set cluster maxBlockSize 65536");
  sim.ctl("log clear");
  ASSERT_CTL("restart");
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_EQ(dst.maxBlockSize, 65536);
  EXPECT_EQ(countOf(sim.log(), "get clusterinfo"), 1u);  // sent again on the new connection
}

// An empty cluster: every answer is just its end line.
class EmptyDaemonTest : public PollTest {
 protected:
  std::string model() override { return "{}"; }
};

TEST_F(EmptyDaemonTest, LeavesTheTreesConsistent) {
  dst.nodes.push_back(new NodeInfo(nullptr));
  dst.fileSystems.push_back(new FilesystemInfo(nullptr));
  EXPECT_EQ(h->updateDiskSDRInfo(0), 0);
  EXPECT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_EQ(h->getClusterInfo(&dst), 0);
  EXPECT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 1);  // no node: refused
  EXPECT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 1);
  EXPECT_TRUE(dst.nodes.empty());
  EXPECT_TRUE(dst.fileSystems.empty());
  EXPECT_TRUE(master->fileSystems.empty());
  EXPECT_EQ(h->checkFailedNode(), 1);
}

// The scan holds the handler's mutex for its whole run, tool included: a
// poll or copy on another thread waits for it instead of reading records the
// sweep may free.
TEST_F(PollTest, ScanHoldsTheMutexForItsWholeRun) {
  scanAndPollNodes();
  const char* gate = "/var/tarnfs/polltest-gate";
  const char* started = "/var/tarnfs/polltest-started";
  ASSERT_EQ(mkfifo(gate, 0600), 0);
  unlink(kQueryTool);
  ASSERT_TRUE(writeFile(kQueryTool,
                        std::string("#!/bin/sh\ntouch ") + started + "\ncat " + gate +
                            " >/dev/null\nexec " + kSimDir + "/tncfgdump \"$@\"\n",
                        0755));
  ASSERT_CTL("remove pool fs1 data1");
  std::thread scanner([&] { EXPECT_EQ(h->updateDiskSDRInfo(1), 0); });
  bool running = false;
  for (int i = 0; i < 1000 && !running; i++) {
    running = access(started, F_OK) == 0;
    if (!running) usleep(10000);
  }
  EXPECT_TRUE(running);
  int busy = pthread_mutex_trylock(&h->handlerMutex);
  if (busy == 0) pthread_mutex_unlock(&h->handlerMutex);
  EXPECT_EQ(busy, EBUSY);
  std::atomic<bool> copied(false);
  std::thread copier([&] {
    EXPECT_EQ(h->getClusterInfo(&dst), 0);
    copied = true;
  });
  usleep(100000);
  EXPECT_FALSE(copied);           // still waiting for the scan
  int fd = open(gate, O_WRONLY);  // lets the tool go on
  close(fd);
  scanner.join();
  copier.join();
  EXPECT_EQ(treeShape(master), "fs1(system[d1 d2 ])fs2(system[d4 ])");
  EXPECT_EQ(treeShape(&dst), "fs1()fs2()");  // the copy took the scan's result
  unlink(gate);
  unlink(started);
}

// Configuration scans on one thread (as the events handler runs them) while
// polls and copies run on another: the scan's sweep must never free a record
// a poll is reading. The sanitizers report any overlap.
TEST_F(PollTest, ScansDoNotOverlapPollsOrCopies) {
  scanAndPollNodes();
  std::thread scanner([&] {
    for (int i = 0; i < 12; i++) {
      sim.ctl(i % 2
                  ? "add fs fs3 '{\"pools\": [{\"name\": \"p\", \"disks\": [{\"name\": \"x\"}]}]}'"
                  : "remove fs fs3");
      sim.ctl(i % 3 ? "remove pool fs1 data1"
                    : "add pool fs1 data1 '{\"disks\": [{\"name\": \"d3\"}]}'");
      EXPECT_EQ(h->updateDiskSDRInfo(1), 0);
    }
  });
  for (int i = 0; i < 12; i++) {
    EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 0);
    EXPECT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 0);
    for (size_t f = 0; f < dst.fileSystems.size(); f++) {
      std::string name = dst.fileSystems[f]->name;
      int rc = h->updateDiskInfo(&dst, name.c_str(), nullptr, 1);
      EXPECT_TRUE(rc == 0 || rc == 1);  // 1 when the scan removed it meanwhile
    }
    EXPECT_EQ(h->getClusterInfo(&dst), 0);
  }
  scanner.join();
  ASSERT_EQ(h->updateDiskSDRInfo(1), 0);
  ASSERT_EQ(h->getClusterInfo(&dst), 0);
  EXPECT_EQ(dst.fileSystems.size(), master->fileSystems.size());
}

}  // namespace
