// The simulator's server: the daemon's command socket and the control
// socket, served by one thread with poll(2).
//
// DESIGN. Everything runs on the thread that calls run(): accepting,
// reading commands, answering them from the model, sending events, the
// control commands, and the timers (delayed answers, paced event streams, a
// restart's down time). Sockets are non-blocking and every connection has
// its own output queue, so a client that never reads cannot hold up the
// others; one whose queue passes MAX_QUEUED bytes is dropped with a log line.
// A daemon connection that has never sent a command is taken for an event
// connection and receives every event; one that has sent a command only
// ever gets answers (and the injected event of "fault event-in-response").
#ifndef TNMIBD_SIM_SERVER_H_
#define TNMIBD_SIM_SERVER_H_

#include <stdint.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "agent/scoped.h"
#include "sim/model.h"

namespace sim {

enum { MAX_QUEUED = 64 << 20, MAX_LOG_LINES = 100000, MAX_CONTROL_LINE = 16 << 20 };

struct Client;

class Server {
 public:
  struct Counters {
    uint64_t accepted = 0, refused = 0, dropped = 0, commands = 0, eventsSent = 0,
             controlRequests = 0;
  };

  // The server answers from *model, which must outlive it.
  Server(Model* model, const std::string& socketPath, const std::string& ctlPath);
  ~Server();

  // Creates both listening sockets (and the socket directories). A stale
  // socket file is replaced; one that a live simulator serves is not.
  // Returns 0, or 1 with *err.
  int open(std::string* err);

  // Serves until "shutdown" or SIGINT/SIGTERM/SIGHUP, then removes both
  // socket files. Returns the process exit status (0).
  int run();

  // The operations of the control commands; loop thread only.
  Model& model() { return *model_; }
  // Sends one line (with "_event_ " put in front when missing) to every event connection; returns
  // how many got it.
  int sendEvent(const std::string& line);
  void injectEvent(const std::string& line) { injectLine_ = line; }
  // The next answer's first line is padded to length characters (0: off),
  // and, with unended, the next answer is sent without its end line; with
  // endless too, its first line is then sent again and again, for as long as
  // the connection reads (an answer that never ends).
  void breakNextAnswer(size_t length, bool unended, bool endless = false) {
    longLine_ = length;
    unended_ = unended;
    endless_ = endless;
  }
  void setDelay(int ms) { delayMs_ = ms; }
  void setRefuse(bool on) { refuse_ = on; }
  // How tncfgdump ends after printing its records: "" normally, "exit N" with
  // status N, "signal N" killed by signal N.
  void setCfgdumpFault(const std::string& how) { cfgdumpFault_ = how; }
  const std::string& cfgdumpFault() const { return cfgdumpFault_; }
  // On: stops accepting daemon connections and fills the listening queue,
  // so that a blocking connect waits (a daemon that stops accepting). Off:
  // accepts again (the queue's own connections are closed, then reaped).
  void setStall(bool on);
  // Bytes a connection may leave unread before it is dropped (MAX_QUEUED unless changed).
  void setQueueLimit(size_t bytes) { queueLimit_ = bytes; }
  // Closes every daemon connection; returns how many there were.
  int dropClients();
  // Closes the daemon connections and the listening socket and removes the
  // socket file; it is made again after downMs (at once for 0). 0, or 1 with *err.
  int restart(int downMs, std::string* err);
  void stop() { stopping_ = true; }
  // Sends n events made from a template at rate per second, then answers
  // the control connection controlId. Returns 0.
  int startStream(int controlId, double rate, long n, const std::string& tmpl);
  void logLine(const std::string& line);
  std::deque<std::string>& log() { return log_; }
  const Counters& counters() const { return counters_; }
  // Number of open daemon connections: all of them, and those taken for event connections.
  int connections(bool eventsOnly) const;
  int delayMs() const { return delayMs_; }
  bool refusing() const { return refuse_; }
  bool stalled() const { return stalled_; }

 private:
  struct Stream {
    int controlId;
    double rate;
    long n, sent;
    int64_t start;
    std::string tmpl;
  };

  void pollOnce();
  int timeoutMs(int64_t now) const;
  void acceptOn(int listenFd, bool control);
  void readClient(Client* c);
  void handleLines(Client* c);
  void handleCommand(Client* c, const std::string& line);
  void handleControl(Client* c, const std::string& line);
  void flush(Client* c);
  void runTimers(int64_t now);
  void finishStream(const Stream& s);
  void reap();
  void closeListener();
  void finalFlush();
  Client* byId(int id);

  Model* model_;
  std::string socketPath_, ctlPath_;
  int listenFd_ = -1, ctlFd_ = -1;
  int signalPipe_[2] = {-1, -1};
  std::vector<std::unique_ptr<Client>> clients_;
  std::vector<Stream> streams_;
  std::deque<std::string> log_;
  std::string injectLine_, cfgdumpFault_;
  size_t longLine_ = 0;
  bool unended_ = false, endless_ = false;
  Counters counters_;
  int nextId_ = 1, delayMs_ = 0;
  int64_t reopenAt_ = -1;
  size_t queueLimit_ = MAX_QUEUED;
  bool refuse_ = false, stopping_ = false, stalled_ = false;
  // This side's connections that fill the listening queue while stalled.
  std::vector<std::unique_ptr<ScopedFd>> stallFillers_;
};

// Microseconds of the monotonic clock.
int64_t monotonicMicros();

// Microseconds since the epoch.
int64_t epochMicros();

// The template with every "{i}" replaced by i and every "{t}" by t.
std::string expandTemplate(const std::string& tmpl, long i, int64_t t);

}  // namespace sim

#endif  // TNMIBD_SIM_SERVER_H_
