// The simulator's answers, read the way the agent reads them: instance
// lines by prefix, keywords by token walk, key values by keyword lookup,
// numbers by strtoll/strtod, and every value equal to the model's.
#include <gtest/gtest.h>

#include "sim/generator.h"
#include "tests/unit/sim/sim_harness.h"

namespace {

using sim::json;
using simtest::Client;
using simtest::SimServer;

enum Conv { TEXT, INT, DOUBLE };

// The agent's keyword tables: keyword, model field, conversion.
struct Kw {
  const char* keyword;
  const char* field;
  Conv conv;
};
const Kw kClusterKws[] = {
    {"_maxblksiz_", "maxBlockSize", INT},
    {"_maxfeature_", "minReleaseLevel", TEXT},
    {"_distribtokenserver_", "distributedTokenServer", TEXT},
    {"_failuredetectiontime_", "failureDetectionTime", INT},
    {"_minmissedpingtimeout_", "minMissedPingTimeout", INT},
    {"_maxmissedpingtimeout_", "maxMissedPingTimeout", INT},
};
const Kw kNodeKws[] = {
    {"_admin_", "admin", TEXT},          {"_status_", "status", TEXT},
    {"_failures_", "failureCount", INT}, {"_threadwait_", "threadWait", INT},
    {"_healthy_", "healthy", TEXT},      {"_diagnosis_", "diagnosis", TEXT},
};
const Kw kNcKws[] = {
    {"_version_", "version", TEXT},
    {"_pagepool_", "pagePool", INT},
    {"_pfthreads_", "prefetchThreads", INT},
    {"_maxmbps_", "maxMbps", INT},
    {"_maxfilestocache_", "maxFilesToCache", INT},
    {"_maxstatcache_", "maxStatCache", INT},
    {"_wkr1threads_", "worker1Threads", INT},
    {"_dmapieventtimeout_", "dmapiEventTimeout", INT},
    {"_dmapimounttimeout_", "dmapiMountTimeout", INT},
    {"_dmapisessfailuretimeout_", "dmapiSessFailureTimeout", INT},
    {"_nsdserverwaittimewindowonmount_", "nsdServerWaitTimeWindowOnMount", INT},
    {"_nsdserverwaittimeformount_", "nsdServerWaitTimeForMount", INT},
    {"_unmountondiskfail_", "unmountOnDiskFail", TEXT},
};
const Kw kFsKws[] = {
    {"_status_", "status", TEXT},
    {"_xstatus_", "xstatus", TEXT},
    {"_util_", "util", TEXT},
    {"_readduration_", "readDuration", INT},
    {"_writeduration_", "writeDuration", INT},
    {"_nsysmgt_", "nsysmgt", INT},
    {"_mgrchangecnt_", "mgrChangeCnt", INT},
    {"_totalspace_", "totalSpace", INT},
    {"_totalinodes_", "numTotalInodes", INT},
    {"_freespace_", "freeSpace", INT},
    {"_freeinodes_", "numFreeInodes", INT},
    {"_fullfreespace_", "fullFreeSpace", INT},
    {"_fragfreespace_", "fragFreeSpace", INT},
    {"_threadwait_", "threadWait", TEXT},
    {"_diskwait_", "diskWait", TEXT},
};
const Kw kGfisKws[] = {
    {"_br_", "bytesRead", INT},      {"_bc_", "bytesCache", INT},
    {"_bw_", "bytesWritten", INT},   {"_r_", "reads", INT},
    {"_c_", "caches", INT},          {"_w_", "writes", INT},
    {"_oc_", "openCalls", INT},      {"_cc_", "closeCalls", INT},
    {"_rdc_", "readCalls", INT},     {"_wc_", "writeCalls", INT},
    {"_dir_", "readdirCalls", INT},  {"_iu_", "inodesWritten", INT},
    {"_irc_", "inodesRead", INT},    {"_idc_", "inodesDeleted", INT},
    {"_icc_", "inodesCreated", INT}, {"_sch_", "statCacheHit", INT},
    {"_scm_", "statCacheMiss", INT},
};
const Kw kPoolKws[] = {
    {"_status_", "status", TEXT},
    {"_ndisks_", "numDisks", INT},
    {"_totalspace_", "totalSpace", INT},
    {"_freespace_", "freeSpace", INT},
};
const Kw kDiskKws[] = {
    {"_status_", "status", TEXT},
    {"_availability_", "availability", TEXT},
    {"_fg_", "failureGroup", INT},
    {"_diskwait_", "diskWait", TEXT},
    {"_totalspace_", "totalSpace", INT},
    {"_fullblockfreespace_", "fullBlockFreeSpace", INT},
    {"_fragfreespace_", "subBlockFreeSpace", INT},
};
const Kw kReadKws[] = {
    {"_tw_", "readTime", DOUBLE},
    {"_ltw_", "longestReadTime", DOUBLE},
    {"_stw_", "shortestReadTime", DOUBLE},
    {"_b_", "readBytes", INT},
    {"_ops_", "readOps", INT},
};
const Kw kWriteKws[] = {
    {"_tw_", "writeTime", DOUBLE},
    {"_ltw_", "longestWriteTime", DOUBLE},
    {"_stw_", "shortestWriteTime", DOUBLE},
    {"_b_", "writeBytes", INT},
    {"_ops_", "writeOps", INT},
};

// Every keyword of the table is found by the token walk and carries the model's value.
template <size_t N>
void expectKeywords(const std::string& line, const Kw (&table)[N], const json& obj) {
  for (const Kw& kw : table) {
    SCOPED_TRACE(std::string(kw.keyword) + " in: " + line);
    std::string walked, grabbed;
    ASSERT_TRUE(simtest::walkKeyword(line, kw.keyword, &walked));
    ASSERT_TRUE(simtest::grabKeyword(line, kw.keyword, false, &grabbed));
    if (kw.conv == TEXT) {
      EXPECT_EQ(grabbed, obj[kw.field].get<std::string>());  // the whole text, quotes or not
      EXPECT_EQ(walked, grabbed.substr(0, grabbed.find(' ')));
    } else if (kw.conv == INT) {
      long long v = 0;
      ASSERT_TRUE(simtest::toInt64(walked, &v)) << walked;
      EXPECT_EQ(v, obj[kw.field].get<int64_t>());
    } else {
      double d = 0;
      ASSERT_TRUE(simtest::toDouble(walked, &d)) << walked;
      EXPECT_EQ(d, obj[kw.field].get<double>());
    }
  }
}

std::string key(const std::string& line, const char* keyword, bool atStart = false) {
  std::string value;
  EXPECT_TRUE(simtest::grabKeyword(line, keyword, atStart, &value)) << keyword << " in " << line;
  return value;
}

// Lines of an answer that begin with a prefix, after checking the answer ends properly.
std::vector<std::string> instances(const std::vector<std::string>& answer, const char* prefix) {
  EXPECT_FALSE(answer.empty());
  if (!answer.empty()) {
    EXPECT_EQ(answer.back(), "_response_ end");
  }
  std::vector<std::string> out;
  for (const std::string& line : answer) {
    if (line.compare(0, strlen(prefix), prefix) == 0) out.push_back(line);
  }
  return out;
}

const json* byKey(const json& list, const char* field, const std::string& value) {
  for (const json& item : list) {
    if (item[field].get<std::string>() == value) return &item;
  }
  return nullptr;
}

class Answers : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    sim::Model model = simtest::sampleModel();
    if (GetParam() == 1) {  // a generated cluster as well as the hand-made one
      sim::GenSpec spec;
      ASSERT_EQ(sim::parseGenSpec("40,3,3,5", &spec, &err_), 0);
      std::string pointer;
      ASSERT_EQ(model.adopt(sim::generateModel(spec), &err_, &pointer), 0) << err_;
    }
    server_ = std::make_unique<SimServer>(model);
    ASSERT_TRUE(server_->ok());
    client_ = std::make_unique<Client>(server_->socketPath());
    ASSERT_TRUE(client_->connected());
    doc_ = server_->model();
  }
  std::string err_;
  std::unique_ptr<SimServer> server_;
  std::unique_ptr<Client> client_;
  json doc_;
};

TEST_P(Answers, ClusterInfoCarriesItsSixKeywords) {
  auto lines = instances(client_->command("get clusterinfo"), "_cluster_");
  ASSERT_EQ(lines.size(), 1u);
  expectKeywords(lines[0], kClusterKws, doc_["cluster"]);
}

TEST_P(Answers, NodesAreThoseTheDaemonKnowsWithStateKeywords) {
  auto lines = instances(client_->command("get nodes"), "_node_");
  size_t known = 0;
  for (const json& n : doc_["nodes"]) known += n["reported"].get<bool>();
  ASSERT_EQ(lines.size(), known);
  for (const std::string& line : lines) {
    const json* node = byKey(doc_["nodes"], "ip", key(line, "_addr_"));
    ASSERT_NE(node, nullptr) << line;
    EXPECT_TRUE((*node)["reported"].get<bool>());
    expectKeywords(line, kNodeKws, *node);
  }
}

TEST_P(Answers, NodeConfigurationIsFoundByTnperfPrefixAndNodeAddress) {
  auto lines = instances(client_->command("tnperf nc"), "_tnperf");
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    const json* node = byKey(doc_["nodes"], "ip", key(line, "_n_"));
    ASSERT_NE(node, nullptr) << line;
    expectKeywords(line, kNcKws, *node);
  }
}

TEST_P(Answers, FileSystemStatisticsAreOneInstancePerNodeAndFileSystem) {
  auto lines = instances(client_->command("tnperf gfis"), "_tnperf");
  size_t expected = 0, failed = 0;
  for (const json& n : doc_["nodes"]) {
    if (n["reported"].get<bool>()) expected += n["fsStats"].size();
  }
  ASSERT_EQ(lines.size(), expected);
  for (const std::string& line : lines) {
    const json* node = byKey(doc_["nodes"], "ip", key(line, "_n_"));
    ASSERT_NE(node, nullptr);
    const json* st = byKey((*node)["fsStats"], "fs", key(line, "_fs_"));
    ASSERT_NE(st, nullptr) << line;
    long long rc = -1;
    ASSERT_TRUE(simtest::toInt64(key(line, "_rc_"), &rc));
    EXPECT_EQ(rc, (*st)["rc"].get<int64_t>());
    failed += rc != 0;
    expectKeywords(line, kGfisKws, *st);
  }
  EXPECT_GE(failed, 1u);  // both models hold a failed instance the agent must skip
}

TEST_P(Answers, FileSystemStateHasFifteenKeywords) {
  for (const json& fs : doc_["fileSystems"]) {
    std::string name = fs["name"].get<std::string>();
    auto lines = instances(client_->command("get fs " + name + " -b"), "_fsstate_");
    ASSERT_EQ(lines.size(), 1u) << name;
    expectKeywords(lines[0], kFsKws, fs);
  }
}

TEST_P(Answers, PoolsCarryTheirDisksSums) {
  for (const json& fs : doc_["fileSystems"]) {
    auto lines =
        instances(client_->command("get stgpools " + fs["name"].get<std::string>()), "_pool_");
    ASSERT_EQ(lines.size(), fs["pools"].size());
    for (const std::string& line : lines) {
      const json* pool = byKey(fs["pools"], "name", key(line, "_pool_", true));
      ASSERT_NE(pool, nullptr) << line;
      expectKeywords(line, kPoolKws, *pool);
      int64_t total = 0;
      for (const json& d : (*pool)["disks"]) total += d["totalSpace"].get<int64_t>();
      EXPECT_EQ((*pool)["totalSpace"].get<int64_t>(), total);
      EXPECT_EQ((*pool)["numDisks"].get<size_t>(), (*pool)["disks"].size());
    }
  }
}

TEST_P(Answers, DisksCarryStateAndFailureGroupByLookup) {
  const json& fs = doc_["fileSystems"][0];
  for (const json& pool : fs["pools"]) {
    std::string cmd =
        "get fs " + fs["name"].get<std::string>() + " " + pool["name"].get<std::string>();
    auto lines = instances(client_->command(cmd), "_disk_");
    ASSERT_EQ(lines.size(), pool["disks"].size()) << cmd;
    for (const std::string& line : lines) {
      const json* disk = byKey(pool["disks"], "name", key(line, "_disk_", true));
      ASSERT_NE(disk, nullptr) << line;
      expectKeywords(line, kDiskKws, *disk);
      long long fg = 0;
      ASSERT_TRUE(simtest::toInt64(key(line, "_fg_"), &fg));
      EXPECT_EQ(fg, (*disk)["failureGroup"].get<int64_t>());
    }
  }
}

TEST_P(Answers, DiskStatisticsAreFollowedByReadAndWriteLines) {
  std::string cluster = doc_["cluster"]["name"].get<std::string>();
  const json& fs = doc_["fileSystems"][0];
  const json& pool = fs["pools"][0];
  auto answer =
      client_->command("tnperf ds f cl " + cluster + " fs " + fs["name"].get<std::string>() +
                       " p " + pool["name"].get<std::string>());
  size_t expected = 0;
  for (const json& d : pool["disks"]) expected += d["perf"].size();
  ASSERT_EQ(instances(answer, "_tnperf").size(), expected);
  for (size_t i = 0; i + 1 < answer.size(); ++i) {
    if (answer[i].compare(0, 7, "_tnperf") != 0) continue;
    ASSERT_LT(i + 2, answer.size());
    const json* disk = byKey(pool["disks"], "name", key(answer[i], "_d_"));
    ASSERT_NE(disk, nullptr) << answer[i];
    const json* perf = byKey((*disk)["perf"], "node", key(answer[i], "_nn_"));
    ASSERT_NE(perf, nullptr) << answer[i];
    EXPECT_EQ(key(answer[i], "_rc_"), std::to_string((*perf)["rc"].get<int64_t>()));
    ASSERT_EQ(answer[i + 1].compare(0, 4, "_r_ "), 0);
    ASSERT_EQ(answer[i + 2].compare(0, 4, "_w_ "), 0);
    expectKeywords(answer[i + 1], kReadKws, *perf);
    expectKeywords(answer[i + 2], kWriteKws, *perf);
  }
}

TEST_P(Answers, NodeListCommandsAreAcknowledged) {
  for (const char* cmd : {"tnperf ng + *", "tnperf n + *", "tnperf ng ~"}) {
    auto answer = client_->command(cmd);
    ASSERT_EQ(answer.size(), 2u) << cmd;
    EXPECT_NE(answer[0].compare(0, 7, "_error_"), 0) << answer[0];
    EXPECT_EQ(answer[1], "_response_ end");
  }
}

INSTANTIATE_TEST_SUITE_P(SampleAndGenerated, Answers, ::testing::Values(0, 1));

TEST(AnswerErrors, UnknownNamesAndCommandsEndTheAnswer) {
  SimServer server(simtest::sampleModel());
  Client c(server.socketPath());
  for (const char* cmd : {"get fs nosuchfs -b", "get stgpools nosuchfs", "get fs fs1 nosuchpool",
                          "tnperf ds f cl wrongcluster fs fs1 p system", "get", "tnperf ds",
                          "get nodes extra", "frobnicate"}) {
    auto answer = c.command(cmd);
    ASSERT_EQ(answer.size(), 2u) << cmd;
    EXPECT_EQ(answer[0].compare(0, 8, "_error_ "), 0) << answer[0];
    EXPECT_EQ(answer[1], "_response_ end");
  }
}

TEST(AnswerErrors, QuotedTextsKeepTheirBlanksThroughKeywordLookup) {
  SimServer server(simtest::sampleModel());
  Client c(server.socketPath());
  auto lines = instances(c.command("get fs fs1 data1"), "_disk_");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(key(lines[1], "_diskwait_"), "waiting for I/O completion");
  EXPECT_NE(lines[1].find("'waiting for I/O completion'"), std::string::npos);
}

}  // namespace
