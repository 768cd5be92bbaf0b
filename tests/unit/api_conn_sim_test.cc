// The command wrapper against the daemon simulator, over the real socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/scoped.h"
#include "api/api_conn.h"
#include "api/api_conn_element.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

const std::string kSimulator = TN_BUILD_DIR "/sim/tarnsim";
const std::string kSampleModel = TN_SOURCE_DIR "/sim/models/sample.json";

// Output of "tarnsim ctl ARGS"; its exit status goes to *status when given.
std::string ctl(const std::string& args, int* status = nullptr) {
  ScopedPipe pipe(popen((kSimulator + " ctl --timeout 5000 " + args + " 2>&1").c_str(), "r"));
  std::string out;
  char chunk[4096];
  size_t n;
  while (pipe.get() != nullptr && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
    out.append(chunk, n);
  int rc = pipe.close();
  if (status != nullptr) *status = rc;
  return out;
}

// Runs the simulator on the sample model for the length of a test.
class SimulatorTest : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    if (access(kSimulator.c_str(), X_OK) != 0)
      GTEST_SKIP() << "the simulator is not built: " << kSimulator;
    ScopedFd ready;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ready.reset(ends[0]);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(ends[1], STDOUT_FILENO);
      execl(kSimulator.c_str(), "tarnsim", "--model", kSampleModel.c_str(), (char*)nullptr);
      _exit(127);
    }
    close(ends[1]);
    // "tarnsim: ready" once both sockets listen.
    ASSERT_TRUE(conntest::readable(ready.get(), 10000)) << "the simulator did not start";
    char line[64] = "";
    ASSERT_GT(read(ready.get(), line, sizeof line - 1), 0);
    ASSERT_NE(strstr(line, "tarnsim: ready"), nullptr) << line;
  }
  void TearDown() override {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid_ = -1;
};

// The number of lines of "tarnsim ctl log" equal to command.
int logged(const std::string& command) {
  std::string log = ctl("log");
  int count = 0;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    if (log.compare(start, end - start, command) == 0) count++;
  return count;
}

// The nodes of the simulator's current model that the daemon reports, by name.
std::map<std::string, nlohmann::json> reportedNodes() {
  nlohmann::json model = nlohmann::json::parse(ctl("model"));
  std::map<std::string, nlohmann::json> known;
  for (const auto& node : model["nodes"])
    if (node.value("reported", true)) known[node["name"].get<std::string>()] = node;
  return known;
}

TEST_F(SimulatorTest, NodesWalkedByInstanceAndTokenMatchTheModel) {
  std::map<std::string, nlohmann::json> known = reportedNodes();
  ASSERT_FALSE(known.empty());

  MErrno err = 0;
  TnperfWrapperUtils wrapper(&err, 0);
  ASSERT_EQ(err, 0);
  ASSERT_EQ(wrapper.processCommand("  get nodes"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_node_"), static_cast<int>(known.size()));
  ASSERT_EQ(wrapper.prepBuffer(), 0);
  size_t seen = 0;
  while (wrapper.getNextInstance("_node_") == 1) {
    std::string name = wrapper.getBufferedValue("_node_", 1, 256);
    ASSERT_EQ(known.count(name), 1u) << name;
    const nlohmann::json& node = known[name];
    EXPECT_EQ(wrapper.getBufferedValue("_addr_", 0, 256), node["ip"].get<std::string>());
    EXPECT_EQ(wrapper.getBufferedValue("_diagnosis_", 0, 256),
              node["diagnosis"].get<std::string>());
    // Token by token: the keyword, the name, then keyword/value pairs.
    EXPECT_STREQ(wrapper.beginParsing(), "_node_");
    EXPECT_EQ(wrapper.getNextToken(), name);
    char* token = wrapper.getNextToken();
    ASSERT_NE(token, nullptr);
    EXPECT_STREQ(token, "_addr_");
    EXPECT_EQ(wrapper.getNextToken(), node["ip"].get<std::string>());
    seen++;
  }
  EXPECT_EQ(seen, known.size());
  EXPECT_EQ(logged("get nodes"), 1);
}

int keepEvent(char* line, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

TEST_F(SimulatorTest, EventLineInsideAResponseIsNotStored) {
  MErrno err = 0;
  TnperfWrapperUtils wrapper(&err, 0);
  ASSERT_EQ(err, 0);
  // Watch the command connection's event lines, to know the fault took effect.
  std::vector<std::string> events;
  wrapper.element()->eventCallback = keepEvent;
  wrapper.element()->eventCallbackData = &events;
  int status = -1;
  ctl("fault event-in-response _event_ nodeJoin _node_ intruder", &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(wrapper.processCommand("get nodes"), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"_event_ nodeJoin _node_ intruder"}));
  EXPECT_EQ(wrapper.getInstanceCount("_event_"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_node_"), static_cast<int>(reportedNodes().size()));
  EXPECT_EQ(wrapper.getInstanceCount("_response_ end"), 1);
}

TEST_F(SimulatorTest, RestartBetweenCommandsGivesTwoThenTheRepeatSucceeds) {
  MErrno err = 0;
  TnperfWrapperUtils wrapper(&err, 0);
  ASSERT_EQ(err, 0);
  ASSERT_EQ(wrapper.processCommand("get clusterinfo"), 0);
  std::string name = wrapper.getInstanceCount("_cluster_") == 1 && wrapper.prepBuffer() == 0 &&
                             wrapper.getNextInstance("_cluster_") == 1
                         ? wrapper.getBufferedValue("_cluster_", 1, 256)
                         : "";
  nlohmann::json model = nlohmann::json::parse(ctl("model"));
  EXPECT_EQ(name, model["cluster"]["name"].get<std::string>());
  wrapper.cleanupCommand();

  int status = -1;
  ctl("restart 0", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(wrapper.processCommand("get clusterinfo"), 2);
  EXPECT_EQ(wrapper.getInstanceCount("_cluster_"), 0);
  EXPECT_EQ(wrapper.processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(logged("get clusterinfo"), 2);
}

// The value of one "tarnsim ctl stats" line.
std::string statValue(const std::string& name) {
  std::string stats = ctl("stats");
  size_t at = stats.find(name + " ");
  return at == std::string::npos
             ? ""
             : stats.substr(at + name.size() + 1, stats.find('\n', at) - at - name.size() - 1);
}

// Run in a child, since an answer that never ends blocked for ever: one
// command whose answer the simulator breaks with fault, then the next
// command. 0 when both went as expected, else the number of the failed
// check. The first command's warnings are copied to standard error.
int brokenAnswerThenNext(const std::string& fault, int expected, size_t nodes) {
  alarm(30);
  MErrno err = 0;
  TnperfWrapperUtils wrapper(&err, 0);
  int status = -1;
  ctl(fault, &status);
  if (err != 0 || status != 0) return 10;
  std::string accepted = statValue("accepted");
  // Standard error goes to a file while the first command runs.
  ScopedFile log(tmpfile());
  ScopedFd saved(dup(STDERR_FILENO));
  dup2(fileno(log.get()), STDERR_FILENO);
  int rc = wrapper.processCommand("get clusterinfo");
  dup2(saved.get(), STDERR_FILENO);
  std::string out(65536, '\0');
  rewind(log.get());
  out.resize(fread(&out[0], 1, out.size(), log.get()));
  fputs(out.c_str(), stderr);
  size_t warnings = 0;
  for (size_t at = 0; (at = out.find("Warning:", at)) != std::string::npos; at++) warnings++;
  if (rc != expected) return 1;
  // A failed answer leaves none of its lines behind.
  if (wrapper.getInstanceCount("_cluster_") != (expected == 0 ? 1 : 0)) return 2;
  if (warnings != (expected == 0 ? 0u : 1u)) return 3;
  // The connection was re-established exactly when the answer failed.
  if ((statValue("accepted") != accepted) != (expected != 0)) return 4;
  wrapper.cleanupCommand();
  if (wrapper.processCommand("get nodes") != 0) return 5;
  if (wrapper.getInstanceCount("_node_") != static_cast<int>(nodes)) return 6;
  if (wrapper.getInstanceCount("_response_ end") != 1) return 7;
  return 0;
}

TEST_F(SimulatorTest, AFailedAnswerDropsTheConnectionAndTheNextCommandGetsItsOwn) {
  struct Case {
    const char* fault;
    int result;
    const char* warning;  // a pattern of the one warning, or "" for none
  };
  const Case cases[] = {
      {"fault long-line 1048574", 0, ""},  // the longest line accepted
      {"fault long-line 1048575", -1, "\\(a line over 1048574 characters\\)"},
      {"fault unended", -1, "\\(silent for 5 s\\)"},
  };
  size_t nodes = reportedNodes().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    std::string warning = std::string(c.warning).empty()
                              ? std::string("^$")
                              : std::string("tnmibd: Warning: TARN daemon answer failed ") +
                                    c.warning + ", command connection re-established\n";
    EXPECT_EXIT(_exit(brokenAnswerThenNext(c.fault, c.result, nodes)), testing::ExitedWithCode(0),
                warning);
  }
}

TEST_F(SimulatorTest, DaemonGoneForGoodEndsTheCommandSide) {
  EXPECT_EXIT(
      {
        alarm(20);
        MErrno err = 0;
        TnperfWrapperUtils wrapper(&err, 0);
        if (err != 0 || wrapper.processCommand("get nodes") != 0) _exit(3);
        ctl("shutdown");
        conntest::waitFor([] { return access("/var/tarnfs/tnperf/tnperfSocket", F_OK) != 0; });
        wrapper.cleanupCommand();
        wrapper.processCommand("get nodes");
        _exit(4);
      },
      testing::ExitedWithCode(1), "tnmibd: Error: TARN daemon connection failed, exiting\\.\\.\\.");
}

int echoEvent(char* line, void*) {
  fprintf(stderr, "got %s\n", line);
  return 0;
}

TEST_F(SimulatorTest, DaemonGoneForGoodEndsTheEventSide) {
  EXPECT_EXIT(
      {
        alarm(20);
        MErrno err = 0;
        TnperfWrapperUtils wrapper(&err, 0);
        if (err != 0) _exit(3);
        wrapper.registerEvents(echoEvent);
        std::thread daemon([] {
          conntest::waitFor(
              [] { return ctl("stats").find("event_connections 1") != std::string::npos; });
          ctl("event nodeLeave _node_ n9");
          ctl("shutdown");
        });
        daemon.detach();
        wrapper.waitEvents();
      },
      testing::ExitedWithCode(1),
      "got _event_ nodeLeave _node_ n9\n.*tnmibd: Error: Events handler TARN daemon connection "
      "failed, exiting\\.\\.\\.");
}

}  // namespace
