// Test harness for the simulator: a Server on private socket paths, run on
// its own thread, clients that talk to it like the agent does, and the
// agent's ways of picking values out of an answer line.
#ifndef TNMIBD_TESTS_UNIT_SIM_SIM_HARNESS_H_
#define TNMIBD_TESTS_UNIT_SIM_SIM_HARNESS_H_

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/model.h"
#include "sim/server.h"

namespace simtest {

// Path of the sample model in the source tree.
std::string samplePath();

// A model loaded from the sample file (the test fails when it does not load).
sim::Model sampleModel();

// A simulator serving a model on sockets in a fresh directory under /tmp.
// The destructor shuts it down through its control socket, joins the
// thread and removes the directory.
class SimServer {
 public:
  explicit SimServer(const sim::Model& model, size_t queueLimit = 0);
  ~SimServer();
  bool ok() const { return ok_; }
  const std::string& socketPath() const { return socket_; }
  const std::string& controlPath() const { return ctl_; }
  // Sends a control request; returns its status (0 ok, 1 error, -1 failure) and the reply in *body.
  int control(const std::string& line, std::string* body = nullptr);
  // The model as the server has it now, read back through "model".
  sim::json model();

 private:
  std::string dir_, socket_, ctl_;
  sim::Model model_;
  std::unique_ptr<sim::Server> server_;
  std::thread thread_;
  bool ok_ = false;
};

// A daemon connection opened like the agent opens its two.
class Client {
 public:
  explicit Client(const std::string& path);
  ~Client();
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const std::string& bytes);
  // Reads one line (without its newline) within timeoutMs; false at end of stream or time-out.
  bool readLine(std::string* line, int timeoutMs = 5000);
  // Sends a command and reads the answer's lines up to and including the end line.
  std::vector<std::string> command(const std::string& text, int timeoutMs = 5000);
  // True when the server has closed the connection (end of stream seen within timeoutMs).
  bool closedByServer(int timeoutMs = 5000);

 private:
  int fd_ = -1;
  std::string buffered_;
};

// The agent's keyword lookup: the value after "KEYWORD " (atStart) or
// " KEYWORD " (not atStart); a quoted value runs to the next quote.
bool grabKeyword(const std::string& line, const std::string& keyword, bool atStart,
                 std::string* value);

// The agent's token walk: the value of the first token equal to keyword is
// the next token, with one leading and one trailing quote taken off.
bool walkKeyword(const std::string& line, const std::string& keyword, std::string* value);

// Full-text conversions as the agent makes them (strtoll, strtod); false unless all is used.
bool toInt64(const std::string& text, long long* out);
bool toDouble(const std::string& text, double* out);

// Waits (polling, bounded) until cond() holds; false on time-out.
template <typename Cond>
bool waitFor(Cond cond, int timeoutMs = 5000);

int64_t nowMs();

template <typename Cond>
bool waitFor(Cond cond, int timeoutMs) {
  int64_t end = nowMs() + timeoutMs;
  while (!cond()) {
    if (nowMs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace simtest

#endif  // TNMIBD_TESTS_UNIT_SIM_SIM_HARNESS_H_
