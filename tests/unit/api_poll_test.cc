// The polling handler against the daemon simulator and the query stand-in.
// Needs the test sandbox (fixed paths on private mounts); skipped elsewhere.
#include "api/api_poll.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "api/api_conn.h"

namespace {

const char kSimDir[] = TN_BUILD_DIR "/sim";
const char kQueryTool[] = "/usr/lpp/tarnfs/bin/tncfgdump";
const char kModelPath[] = "/var/tarnfs/polltest-model.json";
const char kQueryArgsLog[] = "/var/tarnfs/polltest-query-args";

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

// Replaces the query tool with a shell script.
bool setTool(const std::string& script) {
  unlink(kQueryTool);
  return writeFile(kQueryTool, "#!/bin/sh\n" + script, 0755);
}

std::string readAll(FILE* f) {
  std::string text;
  char buf[4096];
  for (size_t n; f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  return text;
}

std::string readFile(const char* path) {
  FILE* f = fopen(path, "r");
  std::string text = readAll(f);
  if (f != nullptr) fclose(f);
  return text;
}

// The values separated by single blanks, to compare many fields at once.
template <class... A>
std::string join(const A&... values) {
  std::ostringstream out;
  ((out << values << ' '), ...);
  return out.str();
}

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    n++;
  return n;
}

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
    std::string text = readAll(p);
    return pclose(p) == 0 ? text : "ERROR: " + text;
  }

  // The daemon commands received since the last "log clear", one per line.
  std::string log() { return ctl("log"); }

 private:
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
    EXPECT_EQ(join(c->name, c->id, c->queryField3, c->uidDomain, c->remoteShellCommand,
                   c->remoteFileCopyCommand, c->tcpPort, c->primaryServer, c->secondaryServer,
                   c->maxBlockSize, c->minReleaseLevel, c->distributedTokenServer,
                   c->failureDetectionTime, c->minMissedPingTimeout, c->maxMissedPingTimeout),
              "c1.example 4711 q3 dom.example /usr/bin/ssh /usr/bin/scp 1191 n1 n2 1048576 1502 1 "
              "35 3 60 ");
  }
  // The cluster poll leaves the lists and the destination's own stamp alone.
  ASSERT_EQ(dst.nodes.size(), 1u);
  EXPECT_EQ(dst.nodes[0], foreign);
  EXPECT_EQ(dst.clusterUpdateTime.tv_sec, 5);
  ASSERT_EQ(h->getClusterInfo(&dst), 0);
  EXPECT_EQ(dst.clusterUpdateTime.tv_sec, master->clusterUpdateTime.tv_sec);
  EXPECT_TRUE(dst.nodes.empty());  // merged with the master's (still empty) node list
}

TEST_F(PollTest, ClusterPollRereadsEachAnswerAfterADaemonRestart) {
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  ASSERT_CTL("set cluster distributedTokenServer True");
  ASSERT_CTL("set cluster maxBlockSize 262144");
  sim.ctl("log clear");
  ASSERT_CTL("restart");
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_EQ(dst.distributedTokenServer, 0);  // only exactly "true" counts
  EXPECT_EQ(dst.maxBlockSize, 262144);
  EXPECT_EQ(countOf(sim.log(), "get clusterinfo"), 1u);  // sent again on the new connection
}

TEST_F(PollTest, QueryLinesCarryNorefreshOnlyWhenAsked) {
  ASSERT_TRUE(setTool(std::string("echo \"$*\" >> ") + kQueryArgsLog + "\nexec " + kSimDir +
                      "/tncfgdump \"$@\"\n"));
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
  ASSERT_TRUE(setTool("exit 0\n"));  // prints nothing
  ASSERT_EQ(h->updateClusterInfo(&dst, 0), 0);
  EXPECT_STREQ(master->name, "");
  EXPECT_EQ(master->maxBlockSize, 1048576);  // the daemon part still answers
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_TRUE(master->nodes.empty());
}

// The tool runs with the default signal state whatever the polling thread's
// (worker threads block the stop signals, the agent ignores SIGPIPE), and a
// hung tool is killed at the run limit or at once by a stop.
TEST_F(PollTest, QueryToolGetsDefaultSignalsAndAHungOneIsKilled) {
  const char* status = "/var/tarnfs/polltest-query-signals";
  const char* pidFile = "/var/tarnfs/polltest-query-pid";
  // grep reports its own signal state, which the shell passed on to it.
  ASSERT_TRUE(setTool(std::string("grep -E '^Sig(Blk|Ign)' /proc/self/status > ") + status +
                      "\necho $$ > " + pidFile + "\nexec sleep 60\n"));
  setQueryTimeLimit(3000);
  int rc = -1;
  std::thread worker([&] {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    rc = h->updateNodeInfo(&dst, 0);
  });
  worker.join();
  signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(rc, 1);
  unsigned long long blocked = 1, ignored = 1;
  ASSERT_EQ(sscanf(readFile(status).c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2);
  EXPECT_EQ(blocked, 0u);
  const unsigned long long stopAndPipe =
      (1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1)) | (1ULL << (SIGPIPE - 1));
  EXPECT_EQ(ignored & stopAndPipe, 0u);
  // Killed: gone, or dead and waiting to be reaped by the namespace's init
  // (a tool started by the shell is an orphan once the shell is reaped).
  std::string pid = readFile(pidFile);
  std::string statPath = "/proc/" + pid.substr(0, pid.find('\n')) + "/stat";
  auto dead = [&] {
    std::string stat = readFile(statPath.c_str());
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  };
  for (int i = 0; i < 2000 && !dead(); i++) usleep(1000);
  EXPECT_TRUE(dead()) << readFile(statPath.c_str());
  // A stop ends a running query long before its limit.
  setQueryTimeLimit(60000);
  auto start = std::chrono::steady_clock::now();
  std::thread stopper([] {
    usleep(300000);
    stopQueries();
  });
  EXPECT_EQ(h->updateNodeInfo(&dst, 0), 1);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  setQueryTimeLimit(0);
  unlink(status);
  unlink(pidFile);
}

TEST_F(PollTest, NodePollBuildsTypesAndReadsBothCommands) {
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  ASSERT_EQ(master->nodes.size(), 3u);
  std::string ipsAndTypes;
  for (NodeInfo* n : master->nodes) ipsAndTypes += join(n->ip, n->type);
  EXPECT_EQ(ipsAndTypes,
            "10.0.0.1 manager-nonquorum 10.0.0.2 client-quorum 10.0.0.3 manager-quorum ");
  EXPECT_STREQ(master->nodes[1]->platform, "ppc64le-linux");
  ASSERT_EQ(dst.nodes.size(), 3u);
  NodeInfo* n1 = dst.nodes[0];
  // pagePool is above 2^32 and kept whole; maxStatCache -1 is four times maxFilesToCache.
  EXPECT_EQ(join(n1->name, n1->status, n1->failureCount, n1->threadWait, n1->diagnosis,
                 n1->pagePool, n1->maxFilesToCache, n1->maxStatCache, n1->version),
            "n1 active 2 7 fine 8589934597 1000 4000 5.1.9.1 ");
  EXPECT_EQ(dst.nodes[1]->maxStatCache, 5000);
  EXPECT_EQ(dst.nodeUpdateTime.tv_sec, master->nodeUpdateTime.tv_sec);
  EXPECT_NE(dst.nodeUpdateTime.tv_sec, 0);
  // The simulator sends "_maxstatcache_" before "_maxfilestocache_", so the
  // -1 rule uses the value of the previous poll.
  ASSERT_CTL("set node 10.0.0.1 maxFilesToCache 3000");
  ASSERT_EQ(h->updateNodeInfo(&dst, 0), 0);
  EXPECT_EQ(n1->maxStatCache, 12000);
}

TEST_F(PollTest, ShortAndForeignNodeRecords) {
  const std::string e = "echo 'tncfgdump:sdrq_node_info:";
  ASSERT_TRUE(setTool(e + "node records follow'\n" + e + "1:2:::short:10.0.0.1:'\n" + e +
                      "1:2:::noaddress::x:true:true:7:p:'\n" + e +
                      "1:2:::" + std::string(500, 'n') + ":10.0.0.2:a:true:true:7:p:'\n" + e +
                      "1:2:::n3:10.0.0.3:a:true:x:7:aix:'\n"));
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
  // Refused again and again, each level warns once in 20 seconds.
  err = captureStderr([&] {
    for (int i = 0; i < 2; i++) {
      EXPECT_EQ(h->updateFilesystemInfo(&dst, 1), 1);
      EXPECT_EQ(h->updateStoragePoolInfo(&dst, nullptr), 1);
      EXPECT_EQ(h->updateDiskInfo(&dst, "fs1", nullptr, 1), 1);
      EXPECT_EQ(h->updateDiskInfo(&dst, "fs2", nullptr, 1), 1);
    }
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
  // bytesRead 100 + 250: the rc 5 record and "ghost" are skipped.
  EXPECT_EQ(join(fs1->status, fs1->totalSpace, fs1->numTotalInodes, fs1->bytesRead, fs1->reads,
                 fs1->statCacheMiss, fs1->perfInstances),
            "mounted 5000000000 123 350 7 2 2 ");
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
  EXPECT_EQ(join(d1->status, d1->availability, d1->failureGroup, d1->totalSpace, d1->metadata),
            "ready up 3 6000000000 n ");
  EXPECT_DOUBLE_EQ(d1->readTime, 4.0);  // 1.5 + 2.5; the rc 5 record skipped
  EXPECT_DOUBLE_EQ(d1->longestReadTime, 0.9);
  EXPECT_DOUBLE_EQ(d1->shortestReadTime, 0.1);
  EXPECT_DOUBLE_EQ(d1->writeTime, 0.75);
  // nodeName: the last usable record's node.
  EXPECT_EQ(join(d1->readBytes, d1->readOps, d1->writeOps, d1->perfInstances, d1->nodeName),
            "5000000010 7 3 2 n2 ");
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

// An answer that never ends costs the poll one time-out: the poll fails at
// once, merges nothing, and the next poll gets its own answers.
TEST_F(PollTest, AFailedAnswerFailsThePollInProgress) {
  scanAndPollNodes();
  struct Case {
    const char* name;
    std::function<int()> poll;
  };
  const Case cases[] = {
      {"file systems", [&] { return h->updateFilesystemInfo(&dst, 1); }},
      {"pools", [&] { return h->updateStoragePoolInfo(&dst, nullptr); }},
      {"disks", [&] { return h->updateDiskInfo(&dst, "fs1", nullptr, 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_CTL("fault unended");
    sim.ctl("log clear");
    captureStderr([&] { EXPECT_EQ(c.poll(), 1); });
    EXPECT_EQ(countOf(sim.log(), "\n"), 1u) << sim.log();  // no command after the failed one
    EXPECT_EQ(c.poll(), 0);
  }
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

// A poll or copy on another thread waits for the scan instead of reading
// records its sweep may free.
TEST_F(PollTest, ScanHoldsTheMutexForItsWholeRun) {
  scanAndPollNodes();
  const char* gate = "/var/tarnfs/polltest-gate";
  const char* started = "/var/tarnfs/polltest-started";
  ASSERT_EQ(mkfifo(gate, 0600), 0);
  ASSERT_TRUE(setTool(std::string("touch ") + started + "\ncat " + gate + " >/dev/null\nexec " +
                      kSimDir + "/tncfgdump \"$@\"\n"));
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

// Scans on one thread (as the events handler runs them), polls and copies on
// another; the sanitizers report any overlap.
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
