// The command wrapper against the daemon simulator, over the real socket.
#include "api/api_conn.h"

#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/scoped.h"
#include "api/api_conn_element.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

const std::string kSimulator = TN_BUILD_DIR "/sim/tarnsim";
const char kSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";
// The nodes of the sample model that the daemon reports: name, address, diagnosis.
const char* const kNodes[][3] = {{"node1.example.com", "10.0.0.1", "no problem found"},
                                 {"node2.example.com", "10.0.0.2", "no problem found"},
                                 {"node3.example.com", "10.0.0.3", "node not responding"}};

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

// The response files in the daemon's directory.
std::vector<std::string> responseFiles() {
  glob_t found = {};
  glob("/var/tarnfs/tnperf/response*", 0, nullptr, &found);
  std::vector<std::string> names(found.gl_pathv, found.gl_pathv + found.gl_pathc);
  globfree(&found);
  return names;
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
  std::vector<std::string> before;  // response files before the wrapper
  MErrno err = -1;
  std::unique_ptr<TnperfWrapperUtils> wrapper;
};

TEST_F(Wrapper, CommandsGoWithoutLeadingBlanksAndAnswersAreWalkedByInstanceAndToken) {
  std::vector<std::string> events;
  wrapper->element()->eventCallback = conntest::keepLine;
  wrapper->element()->eventCallbackData = &events;
  ASSERT_NE(ctl("fault event-in-response _event_ nodeJoin _node_ x"), "failed");
  ASSERT_EQ(wrapper->processCommand(" \t get nodes"), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"_event_ nodeJoin _node_ x"}));
  EXPECT_EQ(wrapper->getInstanceCount("_event_"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_node_"), 3);
  ASSERT_EQ(wrapper->prepBuffer(), 0);
  for (const auto& node : kNodes) {
    ASSERT_EQ(wrapper->getNextInstance("_node_"), 1);
    EXPECT_EQ(wrapper->getNextToken(), nullptr);  // no parsing begun on this line
    EXPECT_STREQ(wrapper->getBufferedValue("_diagnosis_", 0, 256), node[2]);
    EXPECT_STREQ(wrapper->getBufferedValue("_node_", 1, 256), node[0]);
    EXPECT_STREQ(wrapper->beginParsing(), "_node_");
    EXPECT_STREQ(wrapper->getNextToken(), node[0]);
    EXPECT_STREQ(wrapper->getNextToken(), "_addr_");
    EXPECT_STREQ(wrapper->getNextToken(), node[1]);
  }
  EXPECT_EQ(wrapper->getNextInstance("_node_"), 0);
  EXPECT_EQ(wrapper->cleanupCommand(), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_"), 0);
  // A command of 10,238 characters is sent; a longer one is refused, not cut.
  std::string longest(TnperfWrapperUtils::MAX_COMMAND_LENGTH, 'c');
  EXPECT_EQ(wrapper->processCommand(longest.c_str()), 0);
  EXPECT_NE(conntest::capturedBy([&] {
              EXPECT_EQ(wrapper->processCommand((longest + "c").c_str()), -1);
            }).find("Error: Command longer than 10238 characters refused"),
            std::string::npos);
  EXPECT_EQ(ctl("log"), "get nodes\n" + longest + "\n");
}

TEST_F(Wrapper, ResponseFilesArePrivateAndNeverFollowALink) {
  std::string path = wrapper->responsePath();
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // A link in the file's place: commands are refused, unsent, until the path is free.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("/tmp/elsewhere", path.c_str()), 0);
  EXPECT_NE(conntest::capturedBy([&] {
              EXPECT_EQ(wrapper->cleanupCommand(), -1);
              EXPECT_EQ(wrapper->processCommand("get nodes"), -1);
            }).find("Error: Failed to empty response file " + path),
            std::string::npos);
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(ctl("log"), "get clusterinfo\n");
  // init makes the one polling instance; every instance takes its file with it.
  ASSERT_EQ(TnperfWrapperUtils::init(0), 0);
  TnperfWrapperUtils* made = theTnperfWrapperUtils;
  EXPECT_EQ(TnperfWrapperUtils::init(0), 0);
  EXPECT_EQ(theTnperfWrapperUtils, made);
  TnperfWrapperUtils::term();
  wrapper.reset();
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

TEST_F(Wrapper, AFailedAnswerIsDroppedWithOneWarningAndTheNextCommandGetsItsOwn) {
  alarm(60);  // before the silence bound, an answer that never ended blocked for ever
  const struct {
    const char* fault;
    const char* reason;                          // of the one warning, "" for none
  } cases[] = {{"fault long-line 1048574", ""},  // the longest line accepted
               {"fault long-line 1048575", "(a line over 1048574 characters)"},
               {"fault unended", "(silent for 5 s)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    bool fails = *c.reason != '\0';
    std::string accepted = simStat("accepted");
    ASSERT_NE(ctl(c.fault), "failed");
    std::string out = conntest::capturedBy(
        [&] { EXPECT_EQ(wrapper->processCommand("get clusterinfo"), fails ? -1 : 0); });
    EXPECT_EQ(out.substr(std::min<size_t>(24, out.size())),
              fails ? std::string(": tnmibd: Warning: TARN daemon answer failed ") + c.reason +
                          ", command connection re-established\n"
                    : "");
    // None of a failed answer's lines stay; its connection is replaced.
    EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), fails ? 0 : 1);
    EXPECT_EQ(simStat("accepted") != accepted, fails);
    wrapper->cleanupCommand();
    EXPECT_EQ(wrapper->processCommand("get nodes"), 0);
    EXPECT_EQ(wrapper->getInstanceCount("_node_"), 3);
    wrapper->cleanupCommand();
  }
  alarm(0);
}

TEST_F(Wrapper, ADaemonGoneForGoodEndsTheCommandSideAndTheExitHookRemovesItsFile) {
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
  // Without a daemon, init fails and leaves no file behind.
  EXPECT_NE(conntest::capturedBy([] {
              EXPECT_EQ(TnperfWrapperUtils::init(0), 1);
            }).find("Error: Failed to make connection"),
            std::string::npos);
  EXPECT_EQ(theTnperfWrapperUtils, nullptr);
  wrapper.reset();
  EXPECT_EQ(responseFiles(), before);
}

}  // namespace
