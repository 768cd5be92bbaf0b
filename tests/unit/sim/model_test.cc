// Model files (checks, defaults, messages with file and line), model changes and the generator.
#include <gtest/gtest.h>

#include <set>

#include "sim/generator.h"
#include "sim/model.h"
#include "tests/unit/sim/sim_harness.h"

namespace {

using sim::json;

std::string loadError(const std::string& text) {
  sim::Model model;
  std::string err;
  EXPECT_EQ(model.loadText(text, "m.json", &err), 1) << text;
  return err;
}

TEST(ModelFile, ErrorsNameFileLineAndWhatIsWrong) {
  struct Case {
    const char* text;
    const char* expected;  // the start of the message
  };
  const Case cases[] = {
      {"{\n  \"nodes\": [\n    {\"ip\": \"10.0.0.1\",}\n  ]\n}\n", "m.json:3: not valid JSON"},
      {"{\n\"nodes\": [\n{\"ip\": \"a\"},\n{\"ip\": \"b\",\n \"failureCount\": \"x\"}]}",
       "m.json:5: nodes[1].failureCount: must be an integer"},
      {"{\"cluster\":\n {\"tcpPort\": 1,\n  \"colour\": 2}}",
       "m.json:3: cluster.colour: unknown field"},
      {"{\"fileSystems\": [\n {\"status\": \"up\"}]}",
       "m.json:2: fileSystems[0]: a file system needs 'name'"},
      {"{\"nodes\": [{\"ip\": \"a\"},\n {\"ip\": \"a\"}]}",
       "m.json:2: nodes[1]: a second node with ip 'a'"},
      {"{\"fileSystems\": [{\"name\": \"f\", \"pools\": [{\"name\": \"p\", \"disks\": [{\"name\": "
       "\"d\"}]}]}],\n"
       "\"freeDisks\": [\n{\"name\": \"d\"}]}",
       "m.json:3: freeDisks[0]: disk name 'd' is used twice"},
      {"{\"cluster\": {\"uidDomain\": \"a:b\"}}", "m.json:1: cluster.uidDomain: must not hold ':'"},
      {"{\"nodes\": [{\"ip\": \"a\", \"diagnosis\": \"it's\"}]}",
       "m.json:1: nodes[0].diagnosis: must not hold single quotes"},
      {"{\"nodes\": [{\"ip\": \"a b\"}]}", "m.json:1: nodes[0].ip: must be one word"},
      {"[]", "m.json:1: model: the model must be a JSON object"},
      {"", "m.json:1: not valid JSON"},
      {"{\"fileSystems\": {}}", "m.json:1: fileSystems: must be an array"},
      {"{\"nodes\": [{\"ip\": \"a\", \"fsStats\": [{\"fs\": \"f\", \"rc\": 1.5}]}]}",
       "m.json:1: nodes[0].fsStats[0].rc: must be an integer"},
      {"{\"cluster\": {\"tcpPort\": 18446744073709551615}}",
       "m.json:1: cluster.tcpPort: must be an integer"},
  };
  for (const Case& c : cases) {
    std::string err = loadError(c.text);
    EXPECT_EQ(err.compare(0, strlen(c.expected), c.expected), 0) << "got: " << err;
  }
}

TEST(ModelFile, MissingFileIsReportedWithItsPath) {
  sim::Model model;
  std::string err;
  EXPECT_EQ(model.loadFile("/nonexistent/m.json", &err), 1);
  EXPECT_EQ(err.compare(0, 19, "/nonexistent/m.json"), 0) << err;
}

TEST(ModelFile, DefaultsFillEveryFieldAndDerivedPoolFieldsAreRecomputed) {
  sim::Model model;
  std::string err;
  ASSERT_EQ(model.loadText(R"({"fileSystems": [{"name": "f", "pools": [{"name": "p", "numDisks": 99,
      "disks": [{"name": "d1", "totalSpace": 5000000000, "fullBlockFreeSpace": 7,
                 "subBlockFreeSpace": 3}, {"name": "d2", "totalSpace": 1}]}]}]})",
                           "m.json", &err),
            0)
      << err;
  const json* pool = model.find(sim::E_POOL, {"f", "p"});
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ((*pool)["numDisks"].get<int64_t>(), 2);
  EXPECT_EQ((*pool)["totalSpace"].get<int64_t>(), 5000000001LL);
  EXPECT_EQ((*pool)["freeSpace"].get<int64_t>(), 10);
  const json* disk = model.find(sim::E_DISK, {"f", "p", "d2"});
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ((*disk)["status"].get<std::string>(), "ready");
  EXPECT_TRUE((*disk)["perf"].is_array());
  // The dump loads again to the same document.
  sim::Model again;
  ASSERT_EQ(again.loadText(model.dump(), "dump", &err), 0) << err;
  EXPECT_EQ(again.doc(), model.doc());
}

TEST(ModelChanges, SetChecksTypesAndRefusesNamesAndDerivedFields) {
  sim::Model model = simtest::sampleModel();
  std::string err;
  EXPECT_EQ(model.set(sim::E_NODE, {"10.0.0.1"}, "failureCount", "12x", &err), 1);
  EXPECT_EQ(model.set(sim::E_NODE, {"10.0.0.1"}, "manager", "yes", &err), 1);
  EXPECT_EQ(model.set(sim::E_NODE, {"10.0.0.1"}, "ip", "10.0.0.9", &err), 1);
  EXPECT_EQ(model.set(sim::E_POOL, {"fs1", "system"}, "totalSpace", "5", &err), 1);
  EXPECT_EQ(model.set(sim::E_NODE, {"10.9.9.9"}, "status", "down", &err), 1);
  EXPECT_EQ(err, "no node '10.9.9.9'");
  EXPECT_EQ(model.set(sim::E_DISK, {"fs1", "system", "nsd1"}, "nosuch", "1", &err), 1);
  EXPECT_EQ(model.set(sim::E_PERF, {"fs1", "system", "nsd1", "node2.example.com"}, "readTime",
                      "2.25", &err),
            0)
      << err;
  EXPECT_EQ((*model.find(sim::E_PERF, {"fs1", "system", "nsd1", "node2.example.com"}))["readTime"]
                .get<double>(),
            2.25);
  ASSERT_EQ(model.set(sim::E_DISK, {"fs1", "system", "nsd2"}, "totalSpace", "1", &err), 0) << err;
  EXPECT_EQ((*model.find(sim::E_POOL, {"fs1", "system"}))["totalSpace"].get<int64_t>(),
            2147483649LL);
}

TEST(ModelChanges, AddAndRemoveKeepNamesUniqueAndSumsRight) {
  sim::Model model = simtest::sampleModel();
  std::string err;
  EXPECT_EQ(model.add(sim::E_DISK, {"fs2", "system", "nsd7"}, "", &err), 1);  // a free disk's name
  EXPECT_NE(err.find("nsd7"), std::string::npos) << err;
  EXPECT_EQ(model.add(sim::E_DISK, {"fs2", "system", "nsd8"}, "{\"totalSpace\": \"big\"}", &err),
            1);
  EXPECT_EQ(model.add(sim::E_DISK, {"fs2", "system", "nsd8"}, "not json", &err), 1);
  EXPECT_EQ(model.find(sim::E_DISK, {"fs2", "system", "nsd8"}), nullptr);
  ASSERT_EQ(model.add(sim::E_DISK, {"fs2", "system", "nsd8"}, "{\"totalSpace\": 100}", &err), 0)
      << err;
  const json* pool = model.find(sim::E_POOL, {"fs2", "system"});
  EXPECT_EQ((*pool)["numDisks"].get<int64_t>(), 3);
  EXPECT_EQ((*pool)["totalSpace"].get<int64_t>(), 1073741824LL + 2147483648LL + 100);
  ASSERT_EQ(model.add(sim::E_FS, {"fs3"}, "{\"pools\": [{\"name\": \"system\"}]}", &err), 0) << err;
  EXPECT_NE(model.find(sim::E_POOL, {"fs3", "system"}), nullptr);
  EXPECT_EQ(model.add(sim::E_FS, {"fs3"}, "", &err), 1);
  ASSERT_EQ(model.remove(sim::E_POOL, {"fs1", "data1"}, &err), 0) << err;
  EXPECT_EQ(model.find(sim::E_DISK, {"fs1", "data1", "nsd3"}), nullptr);
  EXPECT_EQ(model.remove(sim::E_POOL, {"fs1", "data1"}, &err), 1);
  ASSERT_EQ(model.add(sim::E_DISK, {"fs2", "system", "nsd3"}, "", &err), 0)
      << err;  // its name is free again
  ASSERT_EQ(model.remove(sim::E_NODE, {"10.0.0.4"}, &err), 0) << err;
  EXPECT_EQ(model.doc()["nodes"].size(), 3u);
}

TEST(Generator, MakesTheRequestedClusterQuicklyAndValid) {
  sim::GenSpec spec;
  std::string err, pointer;
  ASSERT_EQ(sim::parseGenSpec("1024,16,4,64", &spec, &err), 0) << err;
  sim::Model model;
  ASSERT_EQ(model.adopt(sim::generateModel(spec), &err, &pointer), 0) << err;
  const json& doc = model.doc();
  ASSERT_EQ(doc["nodes"].size(), 1024u);
  ASSERT_EQ(doc["fileSystems"].size(), 16u);
  std::set<std::string> nodeNames;
  for (const json& n : doc["nodes"]) nodeNames.insert(n["name"].get<std::string>());
  size_t disks = 0, above32 = 0;
  for (const json& fs : doc["fileSystems"]) {
    ASSERT_EQ(fs["pools"].size(), 4u);
    EXPECT_EQ(fs["pools"][0]["name"], "system");
    for (const json& pool : fs["pools"]) {
      ASSERT_EQ(pool["disks"].size(), 64u);
      above32 += pool["totalSpace"].get<int64_t>() > (1LL << 32);
      for (const json& d : pool["disks"]) {
        ++disks;
        ASSERT_GE(d["perf"].size(), 1u);
        ASSERT_LE(d["perf"].size(), 2u);
        for (const json& p : d["perf"])
          EXPECT_EQ(nodeNames.count(p["node"].get<std::string>()), 1u);
      }
    }
  }
  EXPECT_EQ(disks, 16u * 4 * 64);
  EXPECT_EQ(above32, 16u * 4);
  std::map<std::string, int> reporters;
  for (const json& n : doc["nodes"]) {
    for (const json& s : n["fsStats"]) ++reporters[s["fs"].get<std::string>()];
  }
  ASSERT_EQ(reporters.size(), 16u);
  for (const auto& r : reporters) EXPECT_EQ(r.second, 8) << r.first;
}

TEST(Generator, SameSeedSameClusterOtherSeedOtherValues) {
  sim::GenSpec a, b;
  std::string err;
  ASSERT_EQ(sim::parseGenSpec("5,2,2,3", &a, &err), 0);
  b = a;
  EXPECT_EQ(sim::generateModel(a), sim::generateModel(b));
  b.seed = 2;
  EXPECT_NE(sim::generateModel(a), sim::generateModel(b));
}

TEST(Generator, RefusesBadSizes) {
  sim::GenSpec spec;
  std::string err;
  for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "0,1,1,1", "1,1,0,1", "a,1,1,1", "1,1,1,1x",
                          "1, 1,1,1", "1,1000,1000,100"}) {
    EXPECT_EQ(sim::parseGenSpec(bad, &spec, &err), 1) << bad;
  }
  ASSERT_EQ(sim::parseGenSpec("1,0,1,0", &spec, &err), 0) << err;
  sim::Model model;
  std::string pointer;
  EXPECT_EQ(model.adopt(sim::generateModel(spec), &err, &pointer), 0) << err;
}

}  // namespace
