// The command wrapper against the daemon simulator, over the real socket.
#include "api/api_conn.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

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

// Output of "tarnsim ctl ARGS"; its exit status goes to *status when given.
std::string ctl(const std::string& args, int* status = nullptr) {
  ScopedPipe pipe(popen((kSimulator + " ctl --timeout 5000 " + args + " 2>&1").c_str(), "r"));
  std::string out;
  char chunk[4096];
  for (size_t n; pipe.get() != nullptr && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
    out.append(chunk, n);
  int rc = pipe.close();
  if (status != nullptr) *status = rc;
  return out;
}

// The value of one "tarnsim ctl stats" line.
std::string statValue(const std::string& name) {
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

int keepEvent(char* line, void* data) {
  if (data == nullptr) return fprintf(stderr, "got %s\n", line) < 0;
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

// Runs the simulator on the sample model for the length of a test, with a
// wrapper connected to it.
class Wrapper : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    if (access(kSimulator.c_str(), X_OK) != 0) GTEST_SKIP() << "not built: " << kSimulator;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ScopedFd ready(ends[0]);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(ends[1], STDOUT_FILENO);
      execl(kSimulator.c_str(), "tarnsim", "--model", TN_SOURCE_DIR "/sim/models/sample.json",
            (char*)nullptr);
      _exit(127);
    }
    close(ends[1]);
    char line[64] = "";  // "tarnsim: ready" once both sockets listen
    ASSERT_TRUE(conntest::readable(ready.get(), 10000) && read(ready.get(), line, 63) > 0);
    ASSERT_NE(strstr(line, "tarnsim: ready"), nullptr) << line;
    nlohmann::json model = nlohmann::json::parse(ctl("model"));
    for (const auto& node : model["nodes"])
      if (node.value("reported", true)) nodes[node["name"].get<std::string>()] = node;
    before = responseFiles();
    wrapper.reset(new TnperfWrapperUtils(&err, 0));
    ASSERT_EQ(err, 0);
  }
  void TearDown() override {
    wrapper.reset();
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  // The commands the simulator received, one per line.
  std::string log() { return ctl("log"); }

  pid_t pid_ = -1;
  std::map<std::string, nlohmann::json> nodes;  // the nodes the daemon reports, by name
  std::vector<std::string> before;              // response files before the wrapper
  MErrno err = -1;
  std::unique_ptr<TnperfWrapperUtils> wrapper;
};

TEST_F(Wrapper, CommandsGoWithoutLeadingBlanksAndAnswersAreWalkedByInstanceAndToken) {
  std::vector<std::string> events;
  wrapper->element()->eventCallback = keepEvent;
  wrapper->element()->eventCallbackData = &events;
  int status = -1;
  ctl("fault event-in-response _event_ nodeJoin _node_ intruder", &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(wrapper->processCommand(" \t get nodes"), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"_event_ nodeJoin _node_ intruder"}));
  EXPECT_EQ(wrapper->getInstanceCount("_event_"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_node_"), static_cast<int>(nodes.size()));
  ASSERT_EQ(wrapper->prepBuffer(), 0);
  size_t seen = 0;
  for (; wrapper->getNextInstance("_node_") == 1; seen++) {
    EXPECT_EQ(wrapper->getNextToken(), nullptr);  // no parsing begun on this line
    std::string name = wrapper->getBufferedValue("_node_", 1, 256);
    ASSERT_EQ(nodes.count(name), 1u) << name;
    std::string ip = nodes[name]["ip"];
    EXPECT_EQ(wrapper->getBufferedValue("_diagnosis_", 0, 256), nodes[name]["diagnosis"]);
    EXPECT_EQ(wrapper->getBufferedValue("_addr_", 0, 4), ip.substr(0, 4));
    EXPECT_STREQ(wrapper->beginParsing(), "_node_");
    EXPECT_EQ(wrapper->getNextToken(), name);
    EXPECT_STREQ(wrapper->getNextToken(), "_addr_");
    EXPECT_EQ(wrapper->getNextToken(), ip);
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
  EXPECT_EQ(log(), "get nodes\n" + longest + "\n");
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
  ASSERT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(second->getInstanceCount("_cluster_"), 0);
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
  EXPECT_EQ(log(), "get clusterinfo\nget clusterinfo\n");
  wrapper.reset();
  second.reset();
  EXPECT_EQ(responseFiles(), before);

  // init makes the one polling instance and term frees it; without a daemon
  // init fails and leaves no file behind.
  ASSERT_EQ(TnperfWrapperUtils::init(0), 0);
  TnperfWrapperUtils* made = theTnperfWrapperUtils;
  EXPECT_EQ(TnperfWrapperUtils::init(0), 0);
  EXPECT_EQ(theTnperfWrapperUtils, made);
  TnperfWrapperUtils::term();
  EXPECT_EQ(theTnperfWrapperUtils, nullptr);
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
  ASSERT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  wrapper->cleanupCommand();
  int status = -1;
  ctl("restart 0", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 2);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 0);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(log(), "get clusterinfo\nget clusterinfo\n");
}

// One command whose answer the simulator breaks with fault, then the next
// command: 0 when both went as expected, else the number of the failed check.
int brokenAnswerThenNext(const std::string& fault, int expected, int nodes) {
  alarm(30);  // an answer that never ends blocked for ever
  MErrno err = 0;
  std::unique_ptr<TnperfWrapperUtils> wrapper(new TnperfWrapperUtils(&err, 0));
  int status = -1;
  ctl(fault, &status);
  std::string accepted = statValue("accepted");
  if (err != 0 || status != 0 || wrapper->processCommand("get clusterinfo") != expected) return 1;
  // A failed answer leaves none of its lines behind.
  if (wrapper->getInstanceCount("_cluster_") != (expected == 0 ? 1 : 0)) return 2;
  // The connection was re-established exactly when the answer failed.
  if ((statValue("accepted") != accepted) != (expected != 0)) return 3;
  wrapper->cleanupCommand();
  if (wrapper->processCommand("get nodes") != 0) return 4;
  if (wrapper->getInstanceCount("_node_") != nodes) return 5;
  return wrapper->getInstanceCount("_response_ end") == 1 ? 0 : 6;
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
    SCOPED_TRACE(c.fault);
    std::string warning =
        c.warning == nullptr
            ? std::string("^$")
            : std::string("^[^\n]*: tnmibd: Warning: TARN daemon answer failed \\(") + c.warning +
                  "\\), command connection re-established\n$";
    EXPECT_EXIT(_exit(brokenAnswerThenNext(c.fault, c.result, static_cast<int>(nodes.size()))),
                testing::ExitedWithCode(0), warning);
  }
}

TEST_F(Wrapper, DaemonGoneForGoodEndsTheCommandSideAndLeavesNoFile) {
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
  wrapper.reset();
  EXPECT_EXIT(
      {
        alarm(20);
        MErrno err = 0;
        TnperfWrapperUtils events(&err, 0);
        events.registerEvents(keepEvent);
        std::thread daemon([] {
          auto connected = [] { return statValue("event_connections") == "event_connections 1"; };
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
