#include "api/api_conn.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/api_conn_element.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

const char kSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";
const char kResponseEnd[] = "_response_ end\n";

// Names in /var/tarnfs/tnperf beginning with "response".
std::vector<std::string> responseFiles() {
  std::vector<std::string> names;
  DIR* dir = opendir("/var/tarnfs/tnperf");
  if (dir == nullptr) return names;
  while (struct dirent* entry = readdir(dir))
    if (strncmp(entry->d_name, "response", 8) == 0) names.push_back(entry->d_name);
  closedir(dir);
  return names;
}

// A stand-in daemon on the real socket path, serving in a thread of its
// own: every command line received is recorded and answered with
// answer(command). It can restart: drop its connections and listen anew.
class FakeDaemon {
 public:
  using Answer = std::function<std::string(const std::string& command)>;
  explicit FakeDaemon(Answer answer) : answer_(std::move(answer)) {
    listener_.reset(new conntest::Listener(kSocketPath));
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDaemon() {
    stopping_ = true;
    thread_.join();
    for (int fd : clients_) close(fd);
  }
  bool ok() const { return listener_->ok(); }
  // Every byte received so far, all connections together.
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }
  int commandCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  int connectionCount() const { return accepted_; }
  // Closes the connections and the listening socket and listens again, as a
  // restarted daemon would; returns once done.
  void restart() { requestAndWait(&restartRequested_); }
  // Sends text on every open connection (e.g. event lines).
  void broadcast(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : clients_) conntest::sendAll(fd, text);
  }

 private:
  void requestAndWait(std::atomic<bool>* flag) {
    *flag = true;
    conntest::waitFor([flag] { return !*flag; });
  }
  void closeClients() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : clients_) close(fd);
    clients_.clear();
    pending_.clear();
  }
  void serve() {
    while (!stopping_) {
      if (restartRequested_) {
        // The new socket is in place before the old connections drop, so a
        // client that reconnects at once finds it.
        std::unique_ptr<conntest::Listener> next(new conntest::Listener(kSocketPath));
        listener_->forgetPath();
        listener_ = std::move(next);
        closeClients();
        restartRequested_ = false;
      }
      if (listener_ && listener_->pending(0)) {
        int fd = listener_->acceptPeer();
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd >= 0) clients_.push_back(fd);
        accepted_++;
      }
      serveClients();
    }
  }
  void serveClients() {
    std::vector<struct pollfd> watched;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int fd : clients_) watched.push_back({fd, POLLIN, 0});
    }
    if (::poll(watched.data(), watched.size(), 5) <= 0) return;
    for (auto& entry : watched) {
      if (entry.revents == 0) continue;
      char chunk[65536];
      ssize_t n = recv(entry.fd, chunk, sizeof chunk, 0);
      if (n > 0) takeBytes(entry.fd, std::string(chunk, static_cast<size_t>(n)));
    }
  }
  void takeBytes(int fd, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_ += bytes;
    std::string& buffered = pending_[fd];
    buffered += bytes;
    size_t end;
    while ((end = buffered.find('\n')) != std::string::npos) {
      std::string command = buffered.substr(0, end);
      buffered.erase(0, end + 1);
      commands_++;
      conntest::sendAll(fd, answer_(command));
    }
  }

  Answer answer_;
  std::unique_ptr<conntest::Listener> listener_;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<int> clients_;
  std::map<int, std::string> pending_;
  std::string raw_;
  int commands_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> restartRequested_{false};
};

// A wrapper connected to a fresh stand-in daemon.
struct Served {
  FakeDaemon daemon;
  MErrno err = -1;
  TnperfWrapperUtils wrapper;
  explicit Served(FakeDaemon::Answer answer, int debug = 0)
      : daemon(std::move(answer)), wrapper(&err, debug) {}
};

// Answers every command with a fixed response.
FakeDaemon::Answer fixed(const std::string& lines) {
  return [lines](const std::string&) { return lines + kResponseEnd; };
}

// Each line of the response file as the walk sees it.
std::vector<std::string> walk(TnperfWrapperUtils& wrapper, const char* prefix) {
  std::vector<std::string> lines;
  EXPECT_EQ(wrapper.prepBuffer(), 0);
  while (wrapper.getNextInstance(prefix) == 1)
    lines.push_back(wrapper.getBufferedValue(prefix, 1, 256));
  return lines;
}

TEST(WrapperCommand, LeadingBlanksAreNotSentAndOneNewlineEndsTheCommand) {
  REQUIRE_SANDBOX();
  Served served(fixed(""));
  ASSERT_EQ(served.err, 0);
  FakeDaemon& daemon = served.daemon;
  TnperfWrapperUtils& wrapper = served.wrapper;
  EXPECT_EQ(wrapper.processCommand(" \t  get nodes"), 0);
  EXPECT_EQ(wrapper.cleanupCommand(), 0);
  EXPECT_EQ(wrapper.processCommand("tnperf nc"), 0);
  EXPECT_EQ(daemon.received(), "get nodes\ntnperf nc\n");
}

TEST(WrapperCommand, CommandLengthLimit) {
  REQUIRE_SANDBOX();
  Served served(fixed(""));
  ASSERT_EQ(served.err, 0);
  FakeDaemon& daemon = served.daemon;
  TnperfWrapperUtils& wrapper = served.wrapper;
  std::string longest(TnperfWrapperUtils::MAX_COMMAND_LENGTH, 'c');
  EXPECT_EQ(wrapper.processCommand(longest.c_str()), 0);
  EXPECT_EQ(daemon.received(), longest + "\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(wrapper.processCommand((longest + "c").c_str()), -1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Error: Command longer than 10238 characters refused"), std::string::npos)
      << out;
  EXPECT_EQ(daemon.commandCount(), 1);
  EXPECT_EQ(wrapper.processCommand(nullptr), -1);
}

const char kNodes[] =
    "_node_ _name_ n1 _ip_ 10.0.0.1 _status_ up\n"
    "_event_ diskFailure _fs_ fs1\n"
    "_other_ _name_ zz\n"
    "_node_ _name_ 'node two' _ip_ 10.0.0.2\n"
    "_event_ nodeJoin _name_ n3\n"
    "_node_ _name_ n3 _ip_ 'x'\n";

TEST(WrapperResponse, WalksInstancesAndTokensWithoutEventLines) {
  REQUIRE_SANDBOX();
  Served served(fixed(kNodes));
  ASSERT_EQ(served.err, 0);
  TnperfWrapperUtils& wrapper = served.wrapper;
  ASSERT_EQ(wrapper.processCommand("get nodes"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_node_"), 3);
  EXPECT_EQ(wrapper.getInstanceCount("_event_"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_response_ end"), 1);
  // The count leaves the file at its end.
  EXPECT_EQ(wrapper.getNextInstance("_node_"), 0);

  ASSERT_EQ(wrapper.prepBuffer(), 0);
  ASSERT_EQ(wrapper.getNextInstance("_node_"), 1);
  EXPECT_STREQ(wrapper.getBufferedValue("_name_", 0, 256), "n1");
  EXPECT_STREQ(wrapper.getBufferedValue("_status_", 0, 256), "up");
  EXPECT_STREQ(wrapper.getBufferedValue("_ip_", 0, 4), "10.0");
  EXPECT_STREQ(wrapper.getBufferedValue("_missing_", 0, 256), "");
  EXPECT_STREQ(wrapper.getBufferedValue("_node_", 0, 256), "");
  EXPECT_STREQ(wrapper.getBufferedValue("_node_", 1, 256), "_name_");

  ASSERT_EQ(wrapper.getNextInstance("_node_"), 1);
  EXPECT_STREQ(wrapper.getBufferedValue("_name_", 0, 256), "node two");
  std::vector<std::string> tokens;
  tokens.push_back(wrapper.beginParsing());
  while (char* token = wrapper.getNextToken()) tokens.push_back(token);
  EXPECT_EQ(tokens,
            (std::vector<std::string>{"_node_", "_name_", "node", "two", "_ip_", "10.0.0.2"}));
  EXPECT_EQ(wrapper.getNextToken(), nullptr);

  ASSERT_EQ(wrapper.getNextInstance("_node_"), 1);
  EXPECT_EQ(wrapper.getNextToken(), nullptr);  // no parsing begun on this line
  EXPECT_STREQ(wrapper.beginParsing(), "_node_");
  wrapper.getNextToken();
  wrapper.getNextToken();
  wrapper.getNextToken();
  EXPECT_STREQ(wrapper.getNextToken(), "x");
  EXPECT_EQ(wrapper.getNextInstance("_node_"), 0);
  EXPECT_EQ(wrapper.getNextInstance("_node_"), 0);

  // prepBuffer restarts the walk.
  EXPECT_EQ(walk(wrapper, "_node_").size(), 3u);
  EXPECT_EQ(walk(wrapper, "_other_"), (std::vector<std::string>{"_name_"}));
}

TEST(WrapperResponse, CleanupEmptiesTheFileBeforeTheNextCommand) {
  REQUIRE_SANDBOX();
  Served served([](const std::string& command) { return "_" + command + "_ 1\n" + kResponseEnd; });
  ASSERT_EQ(served.err, 0);
  TnperfWrapperUtils& wrapper = served.wrapper;
  ASSERT_EQ(wrapper.processCommand("a"), 0);
  ASSERT_EQ(wrapper.processCommand("b"), 0);
  // Without a cleanup the answers pile up.
  EXPECT_EQ(wrapper.getInstanceCount("_response_ end"), 2);
  EXPECT_EQ(wrapper.cleanupCommand(), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_"), 0);
  ASSERT_EQ(wrapper.processCommand("c"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_a_"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_c_"), 1);
}

TEST(WrapperResponse, BeginParsingOnABlankLineGivesNull) {
  REQUIRE_SANDBOX();
  Served served(fixed(" \t \n"));
  ASSERT_EQ(served.err, 0);
  TnperfWrapperUtils& wrapper = served.wrapper;
  ASSERT_EQ(wrapper.processCommand("x"), 0);
  ASSERT_EQ(wrapper.prepBuffer(), 0);
  ASSERT_EQ(wrapper.getNextInstance(" "), 1);
  EXPECT_EQ(wrapper.beginParsing(), nullptr);
  EXPECT_EQ(wrapper.getNextToken(), nullptr);
}

TEST(WrapperResponse, DebugEchoesCommandsAndExaminedLines) {
  REQUIRE_SANDBOX();
  Served served(fixed("_a_ 1\n_b_ 2\n"), 1);
  ASSERT_EQ(served.err, 0);
  TnperfWrapperUtils& wrapper = served.wrapper;
  testing::internal::CaptureStderr();
  wrapper.processCommand("get x");
  wrapper.getInstanceCount("_b_");
  wrapper.prepBuffer();
  wrapper.getNextInstance("_b_");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out,
            "Processing command get x\n"
            "_a_ 1\n_b_ 2\n_response_ end\n"
            "_a_ 1\n_b_ 2\n");
}

TEST(WrapperFiles, EachInstanceHasItsOwnResponseFileRemovedAfterUse) {
  REQUIRE_SANDBOX();
  FakeDaemon daemon(fixed("_one_\n"));
  std::vector<std::string> before = responseFiles();
  MErrno err1 = 0, err2 = 0;
  auto* first = new TnperfWrapperUtils(&err1, 0);
  auto* second = new TnperfWrapperUtils(&err2, 0);
  ASSERT_EQ(err1, 0);
  ASSERT_EQ(err2, 0);
  std::string firstPath = first->responsePath();
  EXPECT_NE(firstPath, second->responsePath());
  EXPECT_EQ(firstPath.rfind("/var/tarnfs/tnperf/", 0), 0u);
  EXPECT_NE(firstPath.find(std::to_string(getpid())), std::string::npos);
  EXPECT_EQ(responseFiles().size(), before.size() + 2);
  // One instance's answers never show in the other's file.
  ASSERT_EQ(first->processCommand("a"), 0);
  EXPECT_EQ(first->getInstanceCount("_one_"), 1);
  EXPECT_EQ(second->getInstanceCount("_one_"), 0);
  struct stat info;
  ASSERT_EQ(stat(firstPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  delete first;
  delete second;
  EXPECT_EQ(responseFiles(), before);
}

TEST(WrapperFiles, AResponseFileThatCannotBeRemadeRefusesCommandsUntilItCan) {
  REQUIRE_SANDBOX();
  Served served(fixed("_one_\n"));
  ASSERT_EQ(served.err, 0);
  FakeDaemon& daemon = served.daemon;
  TnperfWrapperUtils& wrapper = served.wrapper;
  // A symbolic link in its place is never followed: the reopen fails.
  std::string path = wrapper.responsePath();
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("/tmp/elsewhere", path.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(wrapper.cleanupCommand(), -1);
  EXPECT_EQ(wrapper.processCommand("a"), -1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Error: Failed to empty response file " + path), std::string::npos) << out;
  EXPECT_EQ(daemon.received(), "");
  EXPECT_EQ(wrapper.prepBuffer(), -1);
  EXPECT_EQ(wrapper.getNextInstance("_one_"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_one_"), 0);
  EXPECT_NE(access("/tmp/elsewhere", F_OK), 0);
  // Once the path is usable again the next command makes the file anew.
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(wrapper.processCommand("b"), 0);
  EXPECT_EQ(wrapper.getInstanceCount("_one_"), 1);
  EXPECT_EQ(daemon.received(), "b\n");
}

TEST(WrapperInit, NoDaemonFailsCleanly) {
  REQUIRE_SANDBOX();
  unlink(kSocketPath);
  std::vector<std::string> before = responseFiles();
  testing::internal::CaptureStderr();
  EXPECT_EQ(TnperfWrapperUtils::init(0), 1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(theTnperfWrapperUtils, nullptr);
  size_t connect = out.find("tnmibd: Error: Failed to connect\n");
  ASSERT_NE(connect, std::string::npos) << out;
  EXPECT_NE(out.find("tnmibd: Error: Failed to make connection\n", connect), std::string::npos)
      << out;
  EXPECT_EQ(responseFiles(), before);
}

TEST(WrapperInit, InitMakesOneInstanceAndTermFreesIt) {
  REQUIRE_SANDBOX();
  FakeDaemon daemon(fixed(""));
  ASSERT_EQ(TnperfWrapperUtils::init(0), 0);
  TnperfWrapperUtils* made = theTnperfWrapperUtils;
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(TnperfWrapperUtils::init(0), 0);
  EXPECT_EQ(theTnperfWrapperUtils, made);
  EXPECT_TRUE(conntest::waitFor([&] { return daemon.connectionCount() == 1; }));
  TnperfWrapperUtils::term();
  EXPECT_EQ(theTnperfWrapperUtils, nullptr);
}

std::atomic<int> eventsSeen{0};
int printEvent(char* line, void* data) {
  fprintf(stderr, "got %s%s\n", line, data == nullptr ? "" : " with data");
  if (++eventsSeen == 3) _exit(5);
  return 0;
}

// For a death-test child: the event side of a wrapper on a fresh stand-in
// daemon, which feed drives from another thread. Never returns. (Restarts
// and a daemon gone for good are also tested against the simulator.)
void waitEventsWhile(const std::function<void(FakeDaemon&)>& feed) {
  alarm(20);  // a hang must not outlive the test
  FakeDaemon daemon(fixed(""));
  MErrno err = 0;
  TnperfWrapperUtils wrapper(&err, 0);
  if (err != 0) _exit(3);
  wrapper.registerEvents(printEvent);
  std::thread feeder([&feed, &daemon] { feed(daemon); });
  feeder.detach();
  wrapper.waitEvents();
}

TEST(WrapperEventsDeathTest, EventLinesReachTheCallbackAcrossARestart) {
  REQUIRE_SANDBOX();
  EXPECT_EXIT(waitEventsWhile([](FakeDaemon& daemon) {
                conntest::waitFor([&daemon] { return daemon.connectionCount() == 1; });
                daemon.broadcast("_event_ one\n");
                conntest::waitFor([] { return eventsSeen == 1; });
                daemon.restart();
                conntest::waitFor([&daemon] { return daemon.connectionCount() == 2; });
                daemon.broadcast("_event_ two\n_event_ three\n");
              }),
              testing::ExitedWithCode(5),
              "got _event_ one\n.*got _event_ two\ngot _event_ three\n");
}

}  // namespace
