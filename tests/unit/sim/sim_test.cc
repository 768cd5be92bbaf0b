// What the end-to-end tests, which give the simulator good models and read its answers through
// the agent, cannot show.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "sim/generator.h"
#include "sim/server.h"
#include "sim/sockets.h"

namespace {

using sim::json;

TEST(ModelFile, RefusalsNameFileLineAndWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\n  \"nodes\": [\n    {\"ip\": \"10.0.0.1\",}\n  ]\n}\n", "m.json:3: not valid JSON"},
      {"{\n\"nodes\": [\n{\"ip\": \"a\"},\n{\"ip\": \"b\",\n \"failureCount\": \"x\"}]}",
       "m.json:5: nodes[1].failureCount: must be an integer"},
      {"{\"cluster\":\n {\"tcpPort\": 1,\n  \"colour\": 2}}",
       "m.json:3: cluster.colour: unknown field"},
      {"{\"fileSystems\": [{\"name\": \"f\", \"pools\": [{\"name\": \"p\", \"disks\": "
       "[{\"name\": \"d\"}]}]}],\n\"freeDisks\": [\n{\"name\": \"d\"}]}",
       "m.json:3: freeDisks[0]: disk name 'd' is used twice"},
      {"{\"nodes\": [{\"ip\": \"a\", \"diagnosis\": \"it's\"}]}",
       "m.json:1: nodes[0].diagnosis: must not hold single quotes"},
      {"{\"cluster\": {\"tcpPort\": 18446744073709551615}}",
       "m.json:1: cluster.tcpPort: must be an integer"},
  };
  std::string err;
  for (const auto& c : cases) {
    EXPECT_EQ(sim::Model().loadText(c.first, "m.json", &err), 1) << c.first;
    EXPECT_EQ(err.compare(0, strlen(c.second), c.second), 0) << "got: " << err;
  }
  EXPECT_EQ(sim::Model().loadFile("/nonexistent/m.json", &err), 1);
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
    json disks = {{{"name", "d1"}, {"totalSpace", c[0]}, {"fullBlockFreeSpace", c[0]}},
                  {{"name", "d2"}, {"totalSpace", c[1]}, {"subBlockFreeSpace", c[1]}}};
    json pools = {{{"name", "p"}, {"numDisks", 9}, {"disks", disks}}};
    sim::Model model;
    std::string err;
    ASSERT_EQ(model.loadText(json{{"fileSystems", {{{"name", "f"}, {"pools", pools}}}}}.dump(),
                             "m.json", &err),
              0)
        << err;
    const json& pool = *model.find(sim::E_POOL, {"f", "p"});
    EXPECT_EQ(pool["numDisks"].get<int64_t>(), 2);
    EXPECT_EQ(pool["totalSpace"].get<int64_t>(), c[2]) << c[0] << " + " << c[1];
    EXPECT_EQ(pool["freeSpace"].get<int64_t>(), c[2]) << c[0] << " + " << c[1];
  }
}

// The shapes the end-to-end tests edit (no file system, empty pools, pool names repeated), valid.
TEST(Generator, ShapesAreValidModelsOfTheSizeAsked) {
  const std::pair<const char*, const char*> cases[] = {
      {"1,0,1,0", "1 nodes"},
      {"2,2,3,0", "2 nodes fs01: system/0 data1/0 data2/0 fs02: system/0 data1/0 data2/0"},
      {"300,2,2,1", "300 nodes fs01: system/1 data1/1 fs02: system/1 data1/1"}};
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

const char kEnd[] = "_response_ end";

// The sample model served on sockets in a fresh directory, on a thread of its own.
struct SimServer {
  SimServer() {
    std::string err;
    char tmp[] = "/tmp/tarnsimXXXXXX";
    EXPECT_EQ(model.loadFile(std::string(TN_SOURCE_DIR) + "/sim/models/sample.json", &err), 0);
    dir = mkdtemp(tmp);
    server = std::make_unique<sim::Server>(&model, socket(), dir + "/ctl");
    EXPECT_EQ(server->open(&err), 0) << err;
    thread = std::thread([this] { server->run(); });
  }
  ~SimServer() {
    EXPECT_EQ(control("shutdown"), 0);
    thread.join();
    EXPECT_NE(access(socket().c_str(), F_OK), 0);  // the sockets are removed
    rmdir(dir.c_str());
  }
  std::string socket() const { return dir + "/sock"; }
  // A control request's status (0 ok, 1 refused, -1 failure); its reply in body.
  int control(const std::string& line) {
    return sim::controlRequest(dir + "/ctl", line, &body, 10000);
  }
  std::string dir, body;
  sim::Model model;
  std::unique_ptr<sim::Server> server;
  std::thread thread;
};

// A daemon connection as the agent opens it.
struct Client {
  explicit Client(const std::string& path) : fd(sim::connectUnix(path, &error)) {}
  ~Client() {
    if (fd >= 0) close(fd);
  }
  bool send(const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
  }
  // One line without its newline; false at end of stream or when nothing came for timeoutMs.
  bool readLine(std::string* line, int timeoutMs = 5000) {
    timeval wait = {timeoutMs / 1000, timeoutMs % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[65536];
    size_t nl;
    while ((nl = buffered.find('\n')) == std::string::npos) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      closed = n == 0;
      if (n <= 0) return false;
      buffered.append(buf, n);
    }
    *line = buffered.substr(0, nl);
    buffered.erase(0, nl + 1);
    return true;
  }
  std::string error, buffered;
  int fd;
  bool closed = false;  // by the server
};

// Each case: a control request made first (or none), a command and the starts of its answer's
// lines. An error answer is one quoted message that ends its line; a fault breaks one answer.
TEST(Answers, ErrorsAndFaultsGiveTheLinesDocumented) {
  std::string junk, line;
  for (int i = 1; i < 256; ++i) junk += (char)(i == '\n' ? 'x' : i);
  const std::string error = "_error_ _rc_ 22 _msg_ 'unknown or malformed command: ";
  const struct {
    std::string command;
    std::vector<std::string> lines;
    std::string fault = "";  // the control request made first
  } cases[] = {
      {"get fs nosuchfs -b", {"_error_ _rc_ ", kEnd}},
      {"get fs 'it's", {error + "get fs \"it\"s'", kEnd}},
      {junk, {error + "?????", kEnd}},
      {std::string("get\0nodes", 9), {"_error_ _rc_ 22 _msg_ 'command holds a NUL byte'", kEnd}},
      {"get fs " + std::string(10231, 'a'), {error + "get fs aaaa", kEnd}},
      {"get fs " + std::string(10232, 'a'), {"_error_ _rc_ 7 _msg_ 'command longer than", kEnd}},
      {"get clusterinfo\r", {"_cluster_ tarn1.example.com _maxblksiz_ ", kEnd}},
      {"tnperf ng + *", {"_nodelist_ _rc_ 0 _nodes_ 3", kEnd}},
      {"get fs fs1 data1",  // a text with blanks is one quoted value
       {"_disk_ nsd3 _fs_ fs1 _pool_ data1 _status_ ready _availability_ up ",
        "_disk_ nsd4 _fs_ fs1 _pool_ data1 _status_ suspended _availability_ down _fg_ 2 "
        "_diskwait_ 'waiting for I/O completion' _totalspace_ ",
        kEnd}},
      {"get nodes",
       {"_node_ node1.example.com ", "_event_ failure _node_ 10.0.0.3", "_node_ node2.example.com ",
        "_node_ node3.example.com ", kEnd},
       "fault event-in-response failure _node_ 10.0.0.3"},
      {"get stgpools nosuch", {"_error_ ", "_event_ ", kEnd}, "fault event-in-response"},
      {"get clusterinfo", {"_cluster_ ", kEnd}, "fault long-line 5000"},
      {"get clusterinfo", {"_cluster_ "}, "fault unended"},
      {"get clusterinfo", {"_cluster_ ", kEnd}, "fault delay 300"},
  };
  SimServer server;
  Client c(server.socket());
  for (const auto& k : cases) {
    SCOPED_TRACE(k.fault + " " + k.command.substr(0, 40));
    ASSERT_EQ(k.fault.empty() ? 0 : server.control(k.fault), 0) << server.body;
    ASSERT_TRUE(c.send(k.command + "\n"));
    EXPECT_FALSE(k.fault == "fault delay 300" && c.readLine(&line, 150));  // held back
    for (const std::string& start : k.lines) {
      ASSERT_TRUE(c.readLine(&line)) << "no line " << start;
      EXPECT_EQ(line.compare(0, start.size(), start), 0) << line.substr(0, 200);
      EXPECT_EQ(line.size() == 5000, k.fault == "fault long-line 5000" && start != kEnd);
      if (line.compare(0, 8, "_error_ ") != 0) continue;
      EXPECT_EQ(std::count(line.begin(), line.end(), '\''), 2) << line;
      EXPECT_EQ(line.back(), '\'') << line;
    }
    EXPECT_FALSE(c.readLine(&line, 100)) << line.substr(0, 200);  // nothing more
    if (k.fault.empty()) continue;
    ASSERT_TRUE(c.send("get clusterinfo\n") && c.readLine(&line));  // whole again
    EXPECT_LT(line.size(), 1000u);
    EXPECT_TRUE(c.readLine(&line) && line == kEnd) << line;
    ASSERT_EQ(server.control("fault clear"), 0);
  }
  ASSERT_EQ(server.control("stats"), 0);  // no delay after a clear
  EXPECT_NE(server.body.find("\ndelay_ms 0\n"), std::string::npos) << server.body;
  Client(server.socket()).send("get nod");  // then hangs up
  EXPECT_TRUE(c.send("get clusterinfo\n") && c.readLine(&line));
}

// (Drops and refusals show in the agent's health tests, a restart at once in its own tests.)
TEST(Faults, RestartKeepsTheSocketAwayForItsTimeAndAPathIsServedOnce) {
  SimServer server;
  Client old(server.socket());
  std::string line, err;
  ASSERT_EQ(server.control("restart 300"), 0) << server.body;
  EXPECT_TRUE(!old.readLine(&line) && old.closed);
  EXPECT_LT(Client(server.socket()).fd, 0);  // down for a while
  for (int i = 0; i < 1000 && Client(server.socket()).fd < 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(Client(server.socket()).fd, 0);  // listening again
  EXPECT_LT(sim::listenUnix(server.socket(), &err), 0);
  EXPECT_NE(err.find("another server"), std::string::npos) << err;
}

}  // namespace
