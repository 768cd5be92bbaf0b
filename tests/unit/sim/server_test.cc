// The simulator over real sockets, for what an agent under test would not notice: answers that
// say what is wrong and still end, bad clients, and the faults behaving as documented.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "sim/server.h"
#include "sim/sockets.h"

namespace {

const char kEnd[] = "_response_ end";

// The sample model served on sockets in a fresh directory, on a thread of its own.
class SimServer {
 public:
  SimServer() {
    std::string err;
    char dir[] = "/tmp/tarnsimXXXXXX";
    EXPECT_EQ(model_.loadFile(std::string(TN_SOURCE_DIR) + "/sim/models/sample.json", &err), 0);
    dir_ = mkdtemp(dir);
    server_ = std::make_unique<sim::Server>(&model_, socket(), dir_ + "/ctl");
    EXPECT_EQ(server_->open(&err), 0) << err;
    thread_ = std::thread([this] { server_->run(); });
  }
  ~SimServer() {
    EXPECT_EQ(control("shutdown"), 0);
    thread_.join();
    EXPECT_NE(access(socket().c_str(), F_OK), 0);  // the sockets are removed
    rmdir(dir_.c_str());
  }
  std::string socket() const { return dir_ + "/sock"; }
  // A control request's status (0 ok, 1 refused, -1 failure); its reply in body.
  int control(const std::string& line) {
    return sim::controlRequest(dir_ + "/ctl", line, &body, 10000);
  }
  std::string body;

 private:
  std::string dir_;
  sim::Model model_;
  std::unique_ptr<sim::Server> server_;
  std::thread thread_;
};

// A daemon connection as the agent opens it.
class Client {
 public:
  explicit Client(const std::string& path) {
    std::string err;
    fd_ = sim::connectUnix(path, &err);
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool connected() const { return fd_ >= 0; }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
  }
  // One line without its newline; false at end of stream or when nothing came for timeoutMs.
  bool readLine(std::string* line, int timeoutMs = 5000) {
    timeval wait = {timeoutMs / 1000, timeoutMs % 1000 * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[65536];
    size_t nl;
    while ((nl = buffered_.find('\n')) == std::string::npos) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      closed = n == 0;
      if (n <= 0) return false;
      buffered_.append(buf, n);
    }
    *line = buffered_.substr(0, nl);
    buffered_.erase(0, nl + 1);
    return true;
  }
  bool closed = false;  // by the server

 private:
  int fd_ = -1;
  std::string buffered_;
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
      {"tnperf ds f cl wrongcluster fs fs1 p system", {"_error_ _rc_ ", kEnd}},
      {"get nodes extra", {error + "get nodes extra'", kEnd}},
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
    ASSERT_TRUE(c.send("get clusterinfo\n"));  // the next answer is whole again
    ASSERT_TRUE(c.readLine(&line));
    EXPECT_LT(line.size(), 1000u);
    EXPECT_TRUE(c.readLine(&line) && line == kEnd) << line;
    ASSERT_EQ(server.control("fault clear"), 0);
  }
  ASSERT_EQ(server.control("stats"), 0);  // no delay after a clear
  EXPECT_NE(server.body.find("\ndelay_ms 0\n"), std::string::npos) << server.body;
  Client(server.socket()).send("get nod");  // then hangs up
  ASSERT_TRUE(c.send("get clusterinfo\n"));
  EXPECT_TRUE(c.readLine(&line));
}

// (Drops and refusals show in the agent's health tests, a restart at once in its own tests.)
TEST(Faults, RestartKeepsTheSocketAwayForItsTimeAndAPathIsServedOnce) {
  SimServer server;
  Client old(server.socket());
  std::string line, err;
  ASSERT_EQ(server.control("restart 300"), 0) << server.body;
  EXPECT_FALSE(old.readLine(&line));
  EXPECT_TRUE(old.closed);
  EXPECT_FALSE(Client(server.socket()).connected());  // down for a while
  for (int i = 0; i < 1000 && !Client(server.socket()).connected(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Client again(server.socket());
  ASSERT_TRUE(again.send("tnperf nc\n") && again.readLine(&line));
  EXPECT_EQ(line.compare(0, 12, "_tnperf_nc_ "), 0) << line;
  EXPECT_LT(sim::listenUnix(server.socket(), &err), 0);
  EXPECT_NE(err.find("another server"), std::string::npos) << err;
}

}  // namespace
