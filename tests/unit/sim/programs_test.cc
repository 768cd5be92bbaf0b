// The built programs: tarnsim's command line and its life as a process, and tncfgdump.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "agent/scoped.h"
#include "tests/unit/sim/sim_harness.h"

namespace {

const std::string kTarnsim = std::string(TN_BUILD_DIR) + "/sim/tarnsim";
const std::string kCfgdump = std::string(TN_BUILD_DIR) + "/sim/tncfgdump";

// Runs a shell command line; returns its exit status and its standard output and error.
int run(const std::string& command, std::string* output) {
  ScopedPipe pipe(popen((command + " 2>&1").c_str(), "r"));
  if (pipe.get() == nullptr) return -1;
  char buf[4096];
  size_t n;
  output->clear();
  while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) output->append(buf, n);
  int status = pipe.close();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A tarnsim process on private sockets, started with extra arguments.
class SimProcess {
 public:
  explicit SimProcess(const std::string& args) {
    char tmpl[] = "/tmp/tarnsimpXXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    std::string cmd = "exec " + kTarnsim + " " + args + " --socket " + socket() + " --ctl " + ctl();
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execl("/bin/sh", "sh", "-c", cmd.c_str(), (char*)nullptr);
      _exit(127);
    }
    close(out[1]);
    stdout_ = fdopen(out[0], "r");
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ != nullptr) fclose(stdout_);
    unlink(socket().c_str());
    unlink(ctl().c_str());
    rmdir(dir_.c_str());
  }
  std::string socket() const { return dir_ + "/sock"; }
  std::string ctl() const { return dir_ + "/ctl"; }
  // The first line the simulator prints.
  std::string firstLine() {
    char line[256] = "";
    if (stdout_ == nullptr || fgets(line, sizeof line, stdout_) == nullptr) return "";
    return line;
  }
  // Waits for the process to end; returns its exit status (-1 when it did not end in time).
  int wait() {
    int status = 0;
    bool ended = simtest::waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  FILE* stdout_ = nullptr;
};

TEST(TarnsimProgram, HelpAndBadArgumentsAndBadModels) {
  std::string out;
  EXPECT_EQ(run(kTarnsim + " --help", &out), 0);
  EXPECT_NE(out.find("usage: tarnsim"), std::string::npos);
  EXPECT_EQ(run(kTarnsim + " --frobnicate", &out), 2);
  EXPECT_NE(out.find("unknown option --frobnicate"), std::string::npos) << out;
  EXPECT_EQ(run(kTarnsim + " --model", &out), 2);
  EXPECT_EQ(run(kTarnsim + " --generate 0,1,1,1", &out), 2);
  EXPECT_EQ(run(kTarnsim + " --model /nonexistent.json", &out), 1);
  EXPECT_NE(out.find("/nonexistent.json: cannot open"), std::string::npos) << out;
  char path[] = "/tmp/tarnsimmXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char text[] = "{\n  \"nodes\": [\n    {\"ip\": 5}\n  ]\n}\n";
  ASSERT_EQ(write(fd, text, sizeof text - 1), (ssize_t)sizeof text - 1);
  close(fd);
  EXPECT_EQ(run(kTarnsim + " check " + path, &out), 1);
  EXPECT_EQ(out, std::string("tarnsim: ") + path +
                     ":3: nodes[0].ip: must be a word (text without blanks)\n");
  unlink(path);
  EXPECT_EQ(run(kTarnsim + " check " + simtest::samplePath(), &out), 0) << out;
}

TEST(TarnsimProgram, GeneratePrintsAModelThatChecks) {
  std::string out;
  ASSERT_EQ(run(kTarnsim + " generate 3,2,2,2 --seed 9", &out), 0) << out;
  sim::Model model;
  std::string err;
  ASSERT_EQ(model.loadText(out, "generated", &err), 0) << err;
  EXPECT_EQ(model.doc()["nodes"].size(), 3u);
}

TEST(TarnsimProgram, ServesUntilShutdownAndRemovesItsSockets) {
  SimProcess sim("--model " + simtest::samplePath());
  ASSERT_EQ(sim.firstLine(), "tarnsim: ready\n");
  ASSERT_TRUE(exists(sim.socket()));
  std::string out;
  EXPECT_EQ(run(kTarnsim + " ctl --ctl " + sim.ctl() + " stats", &out), 0) << out;
  EXPECT_NE(out.find("connections 0"), std::string::npos) << out;
  EXPECT_EQ(run(kTarnsim + " ctl --ctl " + sim.ctl() + " set node 1.2.3.4 status up", &out), 1);
  EXPECT_EQ(out, "tarnsim ctl: no node '1.2.3.4'\n");
  EXPECT_EQ(run(kTarnsim + " ctl --ctl " + sim.ctl() + " shutdown", &out), 0) << out;
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_FALSE(exists(sim.socket()));
  EXPECT_FALSE(exists(sim.ctl()));
  EXPECT_EQ(run(kTarnsim + " ctl --ctl " + sim.ctl() + " stats", &out), 1);
}

TEST(TarnsimProgram, EndsCleanlyOnSigterm) {
  SimProcess sim("--generate 2,1,1,2");
  ASSERT_EQ(sim.firstLine(), "tarnsim: ready\n");
  ASSERT_EQ(kill(sim.pid(), SIGTERM), 0);
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_FALSE(exists(sim.socket()));
}

TEST(CfgdumpProgram, PrintsTheRunningModelAndRefusesBadArguments) {
  SimProcess sim("--model " + simtest::samplePath());
  ASSERT_EQ(sim.firstLine(), "tarnsim: ready\n");
  std::string env = "TARNSIM_CTL=" + sim.ctl() + " ", out;
  ASSERT_EQ(run(env + kCfgdump + " 10 1001:1011", &out), 0) << out;
  EXPECT_EQ(out, "tncfgdump:sdrq_cluster_info:1:1:::tarn1.example.com:1191:\n");
  ASSERT_EQ(run(env + kTarnsim + " ctl set cluster tcpPort 1234", &out), 0) << out;
  ASSERT_EQ(run(env + kCfgdump + " 10 1011 all norefresh", &out), 0) << out;
  EXPECT_EQ(out, "tncfgdump:sdrq_cluster_info:1:1:::1234:\n");
  EXPECT_EQ(run(env + kCfgdump + " 10 1001:9999", &out), 2);
  EXPECT_NE(out.find("unknown field code '9999'"), std::string::npos) << out;
  EXPECT_NE(out.find("usage: tncfgdump"), std::string::npos) << out;
  EXPECT_EQ(run(env + kCfgdump, &out), 2);
  EXPECT_EQ(run(env + kCfgdump + " --help", &out), 0);
  ASSERT_EQ(run(env + kTarnsim + " ctl log", &out), 0);
  EXPECT_EQ(out, "tncfgdump 10 1001:1011\ntncfgdump 10 1011 all norefresh\n");
  ASSERT_EQ(run(env + kTarnsim + " ctl shutdown", &out), 0);
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_EQ(run(env + kCfgdump + " 10 1001", &out), 1);
  EXPECT_NE(out.find("cannot reach the simulator"), std::string::npos) << out;
}

}  // namespace
