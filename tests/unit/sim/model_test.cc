// What the end-to-end tests, which only give the simulator good models, cannot show: bad model
// files, the generator's shapes and the pool sums at the 64-bit limits.
#include <gtest/gtest.h>

#include "sim/generator.h"
#include "sim/model.h"

namespace {

using sim::json;

TEST(ModelFile, RefusalsNameFileLineAndWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      // model, start of the message
      {"{\n  \"nodes\": [\n    {\"ip\": \"10.0.0.1\",}\n  ]\n}\n", "m.json:3: not valid JSON"},
      {"{\n\"nodes\": [\n{\"ip\": \"a\"},\n{\"ip\": \"b\",\n \"failureCount\": \"x\"}]}",
       "m.json:5: nodes[1].failureCount: must be an integer"},
      {"{\"cluster\":\n {\"tcpPort\": 1,\n  \"colour\": 2}}",
       "m.json:3: cluster.colour: unknown field"},
      {"{\"fileSystems\": [{\"name\": \"f\", \"pools\": [{\"name\": \"p\", \"disks\": "
       "[{\"name\": \"d\"}]}]}],\n\"freeDisks\": [\n{\"name\": \"d\"}]}",
       "m.json:3: freeDisks[0]: disk name 'd' is used twice"},
      {"{\"cluster\": {\"uidDomain\": \"a:b\"}}", "m.json:1: cluster.uidDomain: must not hold ':'"},
      {"{\"nodes\": [{\"ip\": \"a\", \"diagnosis\": \"it's\"}]}",
       "m.json:1: nodes[0].diagnosis: must not hold single quotes"},
      {"{\"cluster\": {\"tcpPort\": 18446744073709551615}}",
       "m.json:1: cluster.tcpPort: must be an integer"},
  };
  for (const auto& c : cases) {
    sim::Model model;
    std::string err;
    EXPECT_EQ(model.loadText(c.first, "m.json", &err), 1) << c.first;
    EXPECT_EQ(err.compare(0, strlen(c.second), c.second), 0) << "got: " << err;
  }
  sim::Model model;
  std::string err;
  EXPECT_EQ(model.loadFile("/nonexistent/m.json", &err), 1);
  EXPECT_EQ(err, "/nonexistent/m.json: cannot open: No such file or directory");
}

// The pool's count and sums come from its disks and hold at the limits instead of overflowing.
TEST(ModelFile, PoolSumsAreDerivedAndHeldAtThe64BitLimits) {
  const int64_t cases[][3] = {// two disks' sizes and their sum
                              {5000000000, 1, 5000000001},
                              {INT64_MAX, 1, INT64_MAX},
                              {INT64_MAX - 1, 1, INT64_MAX},
                              {INT64_MIN, -1, INT64_MIN}};
  for (const auto& c : cases) {
    std::string a = std::to_string(c[0]), b = std::to_string(c[1]), err;
    sim::Model model;
    ASSERT_EQ(
        model.loadText("{\"fileSystems\": [{\"name\": \"f\", \"pools\": [{\"name\": \"p\", "
                       "\"numDisks\": 9, \"disks\": [{\"name\": \"d1\", \"totalSpace\": " +
                           a + ", \"fullBlockFreeSpace\": " + a + "}, {\"name\": \"d2\", " +
                           "\"totalSpace\": " + b + ", \"subBlockFreeSpace\": " + b + "}]}]}]}",
                       "m.json", &err),
        0)
        << err;
    const json& pool = *model.find(sim::E_POOL, {"f", "p"});
    EXPECT_EQ(pool["numDisks"].get<int64_t>(), 2);
    EXPECT_EQ(pool["totalSpace"].get<int64_t>(), c[2]) << a << " + " << b;
    EXPECT_EQ(pool["freeSpace"].get<int64_t>(), c[2]) << a << " + " << b;
  }
}

// The shapes the end-to-end tests edit: no file system, empty pools, the same pool names in
// every file system; adopting checks the types and that node and disk names are unique.
TEST(Generator, ShapesAreValidModelsOfTheSizeAsked) {
  const std::pair<const char*, const char*> cases[] = {
      {"1,0,1,0", "1 nodes"},
      {"2,2,3,0", "2 nodes fs01: system/0 data1/0 data2/0 fs02: system/0 data1/0 data2/0"},
      {"300,3,2,4",
       "300 nodes fs01: system/4 data1/4 fs02: system/4 data1/4 fs03: system/4 "
       "data1/4"}};
  for (const auto& c : cases) {
    sim::GenSpec spec;
    sim::Model model;
    std::string err, pointer;
    ASSERT_EQ(sim::parseGenSpec(c.first, &spec, &err), 0) << err;
    ASSERT_EQ(model.adopt(sim::generateModel(spec), &err, &pointer), 0) << pointer << ": " << err;
    std::string shape = std::to_string(model.doc()["nodes"].size()) + " nodes";
    for (const json& fs : model.doc()["fileSystems"]) {
      shape += " " + fs["name"].get<std::string>() + ":";
      for (const json& pool : fs["pools"]) {
        shape += " " + pool["name"].get<std::string>() + "/" + std::to_string(pool["disks"].size());
      }
    }
    EXPECT_EQ(shape, c.second);
  }
}

}  // namespace
