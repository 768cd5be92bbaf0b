// The configuration query records, scanned with the agent's own patterns.
#include <stdio.h>

#include <gtest/gtest.h>

#include "sim/cfgdump.h"
#include "tests/unit/sim/sim_harness.h"

namespace {

using sim::json;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  EXPECT_EQ(start, text.size()) << "output does not end with a newline";
  return out;
}

std::string query(const sim::Model& model, const std::vector<std::string>& args) {
  sim::CfgQuery q;
  std::string err, out;
  EXPECT_EQ(sim::parseCfgQuery(args, &q, &err), 0) << err;
  sim::formatCfgRecords(model, q, &out);
  return out;
}

TEST(CfgRecords, ClusterRecordIsTheFirstLineAndYieldsAllFields) {
  sim::Model model = simtest::sampleModel();
  auto out = lines(query(model, {"10", "1001:1002:1003:1008:1006:1007:1011:1004:1005"}));
  ASSERT_EQ(out.size(), 1u);  // the agent reads the first line only
  int a, b, port;
  char f[8][400];
  int n = sscanf(out[0].c_str(),
                 "tncfgdump:sdrq_cluster_info:%d:%d:::%399[^:]:%399[^:]:%399[^:]:%399[^:]:%399[^:]:"
                 "%399[^:]:%d:%399[^:]:%399[^:]:",
                 &a, &b, f[0], f[1], f[2], f[3], f[4], f[5], &port, f[6], f[7]);
  ASSERT_EQ(n, 11) << out[0];
  const json& c = model.doc()["cluster"];
  const char* fields[] = {"name",
                          "id",
                          "queryField3",
                          "uidDomain",
                          "remoteShellCommand",
                          "remoteFileCopyCommand",
                          "primaryServer",
                          "secondaryServer"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(f[i], c[fields[i]].get<std::string>()) << fields[i];
  EXPECT_EQ(port, c["tcpPort"].get<int>());
}

TEST(CfgRecords, NodeRecordsListConfiguredNodesAfterAHeaderThatDoesNotScan) {
  sim::Model model = simtest::sampleModel(), original = simtest::sampleModel();
  std::string err;
  ASSERT_EQ(model.set(sim::E_NODE, {"10.0.0.2"}, "configured", "false", &err), 0) << err;
  auto out = lines(query(model, {"20", "2003:2004:2005:2006:2007:2008:2010", "all", "norefresh"}));
  std::vector<std::string> ips;
  for (const std::string& line : out) {
    int a, b;
    char f[7][400];
    int n = sscanf(line.c_str(),
                   "tncfgdump:sdrq_node_info:%d:%d:::%399[^:]:%399[^:]:%399[^:]:%399[^:]:%399[^:]:"
                   "%399[^:]:%399[^:]:",
                   &a, &b, f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
    if (n < 4) continue;  // the header
    ASSERT_EQ(n, 9) << line;
    const json* node = original.find(sim::E_NODE, {f[1]});
    ASSERT_NE(node, nullptr) << line;
    EXPECT_EQ(f[0], (*node)["name"].get<std::string>());
    EXPECT_STREQ(f[3], (*node)["manager"].get<bool>() ? "true" : "false");
    EXPECT_STREQ(f[4], (*node)["quorum"].get<bool>() ? "true" : "false");
    EXPECT_EQ(f[6], (*node)["platform"].get<std::string>());
    ips.push_back(f[1]);
  }
  EXPECT_EQ(out.size(), ips.size() + 1);
  EXPECT_EQ(ips, (std::vector<std::string>{"10.0.0.1", "10.0.0.3", "10.0.0.4"}));
}

TEST(CfgRecords, DiskRecordsIncludeFreeDisksAndFollowTheRequestedOrder) {
  sim::Model model = simtest::sampleModel();
  std::vector<std::string> disks, free;
  for (const std::string& line : lines(query(model, {"30", "3001:3004:3005:3006"}))) {
    int a, b;
    char name[400], fs[400], pool[400], usage[400];
    int n = sscanf(line.c_str(),
                   "tncfgdump:sdrq_nsd_info:%d:%d:::%399[^:]:%399[^:]:%399[^:]:%399[^:]:", &a, &b,
                   name, fs, pool, usage);
    if (n != 6) continue;
    if (std::string(fs) == "free_disk") {
      free.push_back(name);
      continue;
    }
    const json* disk = model.find(sim::E_DISK, {fs, pool, name});
    ASSERT_NE(disk, nullptr) << line;
    EXPECT_EQ(usage, (*disk)["usage"].get<std::string>());
    disks.push_back(name);
  }
  EXPECT_EQ(disks, (std::vector<std::string>{"nsd1", "nsd2", "nsd3", "nsd4", "nsd5", "nsd6"}));
  EXPECT_EQ(free, std::vector<std::string>{"nsd7"});
  // Another code order gives the fields in that order.
  auto swapped = lines(query(model, {"30", "3006:3001"}));
  ASSERT_GE(swapped.size(), 2u);
  EXPECT_EQ(swapped[1], "tncfgdump:sdrq_nsd_info:1:7:::dataAndMetadata:nsd7:");
}

TEST(CfgRecords, AnEmptyTextStopsTheScanAtItsField) {
  sim::Model model = simtest::sampleModel();
  std::string err;
  ASSERT_EQ(model.set(sim::E_CLUSTER, {}, "uidDomain", "", &err), 0) << err;
  auto out = lines(query(model, {"10", "1001:1002:1003:1008:1006"}));
  ASSERT_EQ(out.size(), 1u);
  char f[5][400];
  int a, b;
  EXPECT_EQ(
      sscanf(out[0].c_str(),
             "tncfgdump:sdrq_cluster_info:%d:%d:::%399[^:]:%399[^:]:%399[^:]:%399[^:]:%399[^:]:",
             &a, &b, f[0], f[1], f[2], f[3], f[4]),
      5);
}

TEST(CfgArguments, RefusesUnknownQueriesCodesAndWords) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"10"},
      {"11", "1001"},
      {"10", "1009"},
      {"10", "1001:"},
      {"10", "1001::1002"},
      {"20", "1001"},
      {"30", "3002"},
      {"30", "3001", "some"},
      {"30", "3001", "all", "refresh"},
      {"30", "3001", "all", "norefresh", "x"},
      {"abc", "3001"},
  };
  for (const auto& args : bad) {
    sim::CfgQuery q;
    std::string err;
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(sim::parseCfgQuery(args, &q, &err), 1) << joined;
    EXPECT_FALSE(err.empty()) << joined;
  }
  sim::CfgQuery q;
  std::string err;
  ASSERT_EQ(sim::parseCfgQuery({"30", "3005:3001", "all", "norefresh"}, &q, &err), 0) << err;
  EXPECT_EQ(q.codes, (std::vector<int>{3005, 3001}));
  EXPECT_TRUE(q.norefresh);
}

}  // namespace
