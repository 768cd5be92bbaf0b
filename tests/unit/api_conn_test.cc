// The command wrapper against the daemon simulator, over the real socket.
#include "api/api_conn.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/scoped.h"
#include "api/api_conn_element.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

const std::string kSimulator = TN_BUILD_DIR "/sim/tarnsim";
const char kSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";

// Output of "tarnsim ctl ARGS", or "failed" when it exits nonzero.
std::string ctl(const std::string& args) {
  ScopedPipe pipe(popen((kSimulator + " ctl --timeout 5000 " + args + " 2>&1").c_str(), "r"));
  std::string out;
  char chunk[4096];
  for (size_t n; pipe.get() != nullptr && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
    out.append(chunk, n);
  return pipe.close() == 0 ? out : "failed";
}

// One "name value" line of "tarnsim ctl stats".
std::string simStat(const std::string& name) {
  std::string stats = ctl("stats");
  size_t at = stats.find(name + " ");
  return at == std::string::npos ? "" : stats.substr(at, stats.find('\n', at) - at);
}

// Names in /var/tarnfs/tnperf beginning with "response".
std::vector<std::string> responseFiles() {
  std::vector<std::string> names;
  DIR* dir = opendir("/var/tarnfs/tnperf");
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
    if (strncmp(entry->d_name, "response", 8) == 0) names.push_back(entry->d_name);
  if (dir != nullptr) closedir(dir);
  return names;
}

// Sets an event line aside in data, or prints it without data.
int keepEvent(char* line, void* data) {
  if (data == nullptr) return fprintf(stderr, "got %s\n", line) < 0;
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

// The simulator on the sample model for the length of a test, and a wrapper
// connected to it.
class Wrapper : public testing::Test {
 protected:
  void SetUp() override {
    struct statfs fs;  // the daemon's fixed paths are private to the sandbox's tmpfs
    if (statfs("/var/tarnfs", &fs) != 0 || fs.f_type != 0x01021994)
      GTEST_SKIP() << "needs the daemon's fixed paths: run inside tests/sandbox.sh";
    sim = popen(
        ("exec " + kSimulator + " --model " TN_SOURCE_DIR "/sim/models/sample.json").c_str(), "r");
    char line[64] = "";  // "tarnsim: ready" once both sockets listen
    ASSERT_TRUE(fgets(line, sizeof line, sim) && strstr(line, "tarnsim: ready")) << line;
    nlohmann::json model = nlohmann::json::parse(ctl("model"));
    for (const auto& node : model["nodes"])
      if (node.value("reported", true)) nodes[node["name"].get<std::string>()] = node;
    before = responseFiles();
    wrapper.reset(new TnperfWrapperUtils(&err, 0));
    ASSERT_EQ(err, 0);
  }
  void TearDown() override {
    wrapper.reset();
    if (sim == nullptr) return;
    ctl("shutdown");
    pclose(sim);
  }

  FILE* sim = nullptr;
  std::map<std::string, nlohmann::json> nodes;  // the nodes the daemon reports, by name
  std::vector<std::string> before;              // response files before the wrapper
  MErrno err = -1;
  std::unique_ptr<TnperfWrapperUtils> wrapper;
};

TEST_F(Wrapper, CommandsGoWithoutLeadingBlanksAndAnswersAreWalkedByInstanceAndToken) {
  std::vector<std::string> events;
  wrapper->element()->eventCallback = keepEvent;
  wrapper->element()->eventCallbackData = &events;
  ASSERT_NE(ctl("fault event-in-response _event_ nodeJoin _node_ x"), "failed");
  ASSERT_EQ(wrapper->processCommand(" \t get nodes"), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"_event_ nodeJoin _node_ x"}));
  EXPECT_EQ(wrapper->getInstanceCount("_event_"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_node_"), static_cast<int>(nodes.size()));
  ASSERT_EQ(wrapper->prepBuffer(), 0);
  size_t seen = 0;
  for (; wrapper->getNextInstance("_node_") == 1; seen++) {
    EXPECT_EQ(wrapper->getNextToken(), nullptr);  // no parsing begun on this line
    std::string name = wrapper->getBufferedValue("_node_", 1, 256);
    ASSERT_EQ(nodes.count(name), 1u) << name;
    EXPECT_EQ(wrapper->getBufferedValue("_diagnosis_", 0, 256), nodes[name]["diagnosis"]);
    EXPECT_STREQ(wrapper->beginParsing(), "_node_");
    EXPECT_EQ(wrapper->getNextToken(), name);
    EXPECT_STREQ(wrapper->getNextToken(), "_addr_");
    EXPECT_EQ(wrapper->getNextToken(), nodes[name]["ip"]);
  }
  EXPECT_EQ(seen, nodes.size());
  EXPECT_EQ(wrapper->cleanupCommand(), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_"), 0);
  // A command of 10,238 characters is sent; a longer one is refused, not cut.
  std::string longest(TnperfWrapperUtils::MAX_COMMAND_LENGTH, 'c');
  EXPECT_EQ(wrapper->processCommand(longest.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(wrapper->processCommand((longest + "c").c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Error: Command longer than 10238 characters refused"),
            std::string::npos);
  EXPECT_EQ(ctl("log"), "get nodes\n" + longest + "\n");
}

TEST_F(Wrapper, ResponseFilesArePrivateNeverFollowALinkAndGoWithTheirInstance) {
  MErrno err2 = -1;
  std::unique_ptr<TnperfWrapperUtils> second(new TnperfWrapperUtils(&err2, 0));
  ASSERT_EQ(err2, 0);
  std::string path = wrapper->responsePath();
  EXPECT_NE(path, second->responsePath());
  EXPECT_EQ(path.rfind("/var/tarnfs/tnperf/response." + std::to_string(getpid()) + ".", 0), 0u);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // A link in the file's place: commands are refused, unsent, until the path is free.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("/tmp/elsewhere", path.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(wrapper->cleanupCommand(), -1);
  EXPECT_EQ(wrapper->processCommand("get nodes"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: Failed to empty response file"),
            std::string::npos);
  EXPECT_NE(access("/tmp/elsewhere", F_OK), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(second->getInstanceCount("_cluster_"), 0);
  EXPECT_EQ(ctl("log"), "get clusterinfo\n");
  wrapper.reset();
  second.reset();
  EXPECT_EQ(responseFiles(), before);
  // init makes the one polling instance; without a daemon it fails and leaves no file.
  ASSERT_EQ(TnperfWrapperUtils::init(0), 0);
  TnperfWrapperUtils* made = theTnperfWrapperUtils;
  EXPECT_EQ(TnperfWrapperUtils::init(0), 0);
  EXPECT_EQ(theTnperfWrapperUtils, made);
  TnperfWrapperUtils::term();
  ctl("shutdown");
  ASSERT_TRUE(conntest::waitFor([] { return access(kSocketPath, F_OK) != 0; }));
  testing::internal::CaptureStderr();
  EXPECT_EQ(TnperfWrapperUtils::init(0), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: Failed to make connection"),
            std::string::npos);
  EXPECT_EQ(theTnperfWrapperUtils, nullptr);
  EXPECT_EQ(responseFiles(), before);
}

TEST_F(Wrapper, RestartBetweenCommandsGivesTwoThenTheRepeatSucceeds) {
  ASSERT_NE(ctl("restart 0"), "failed");
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 2);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 0);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(ctl("log"), "get clusterinfo\n");
}

// One command whose answer the simulator breaks with fault, then the next
// command: 0 when both went as expected, else the number of the failed check.
int brokenAnswerThenNext(const std::string& fault, int expected, int nodes) {
  alarm(30);  // an answer that never ends blocked for ever
  MErrno err = 0;
  std::unique_ptr<TnperfWrapperUtils> wrapper(new TnperfWrapperUtils(&err, 0));
  std::string accepted = simStat("accepted");
  if (err != 0 || ctl(fault) == "failed") return 1;
  if (wrapper->processCommand("get clusterinfo") != expected) return 2;
  // A failed answer leaves none of its lines behind.
  if (wrapper->getInstanceCount("_cluster_") != (expected == 0 ? 1 : 0)) return 3;
  // The connection was re-established exactly when the answer failed.
  if ((simStat("accepted") != accepted) != (expected != 0)) return 4;
  wrapper->cleanupCommand();
  if (wrapper->processCommand("get nodes") != 0) return 5;
  return wrapper->getInstanceCount("_node_") == nodes ? 0 : 6;
}

TEST_F(Wrapper, AFailedAnswerDropsTheConnectionAndTheNextCommandGetsItsOwn) {
  const struct {
    const char* fault;
    int result;
    const char* warning;  // the one warning's reason, or null for none
  } cases[] = {
      {"fault long-line 1048574", 0, nullptr},  // the longest line accepted
      {"fault long-line 1048575", -1, "a line over 1048574 characters"},
      {"fault unended", -1, "silent for 5 s"},
  };
  for (const auto& c : cases) {
    std::string warning =
        c.warning == nullptr
            ? "^$"
            : std::string("^[^\n]*tnmibd: Warning: TARN daemon answer failed \\(") + c.warning +
                  "\\), command connection re-established\n$";
    EXPECT_EXIT(_exit(brokenAnswerThenNext(c.fault, c.result, static_cast<int>(nodes.size()))),
                testing::ExitedWithCode(0), warning)
        << c.fault;
  }
}

TEST_F(Wrapper, DaemonGoneForGoodEndsTheCommandSideAndTheExitRemovesItsFile) {
  EXPECT_EXIT(
      {
        alarm(20);
        TnperfWrapperUtils* own = new TnperfWrapperUtils(&err, 0);  // left to the exit hook
        ctl("shutdown");
        conntest::waitFor([] { return access(kSocketPath, F_OK) != 0; });
        own->processCommand("get nodes");
        _exit(4);
      },
      testing::ExitedWithCode(1), "tnmibd: Error: TARN daemon connection failed, exiting\\.\\.\\.");
  wrapper.reset();
  EXPECT_EQ(responseFiles(), before);
}

TEST_F(Wrapper, EventsReachTheCallbackAcrossARestartAndADaemonGoneForGoodEndsTheEventSide) {
  wrapper.reset();  // a connection that sent no command counts as an event connection
  EXPECT_EXIT(
      {
        alarm(20);
        TnperfWrapperUtils events(&err, 0);
        events.registerEvents(keepEvent);
        std::thread daemon([] {
          auto connected = [] { return simStat("event_connections") == "event_connections 1"; };
          conntest::waitFor(connected);
          ctl("event nodeLeave _node_ one");
          ctl("restart 0");
          conntest::waitFor(connected);
          ctl("event nodeLeave _node_ two");
          ctl("shutdown");
        });
        daemon.detach();
        events.waitEvents();
      },
      testing::ExitedWithCode(1),
      "got _event_ nodeLeave _node_ one\n.*got _event_ nodeLeave _node_ two\n.*tnmibd: Error: "
      "Events handler TARN daemon connection failed, exiting\\.\\.\\.");
  EXPECT_EQ(responseFiles(), before);
}

}  // namespace
