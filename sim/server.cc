#include "sim/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "agent/scoped.h"
#include "sim/answers.h"
#include "sim/control.h"
#include "sim/sockets.h"

namespace sim {

// One accepted connection, daemon or control.
struct Client {
  int id = 0;
  ScopedFd fd;
  bool control = false;     // a control connection
  bool commanded = false;   // has sent a command: answers only, no events
  bool discarding = false;  // skipping the rest of an over-long command line
  bool closing = false;     // close once the output is written
  bool eof = false;         // the peer has shut its side: nothing more to read
  bool waiting = false;     // control request whose reply comes later
  bool dead = false;
  std::string in, out;
  size_t outOff = 0;
  std::deque<std::pair<int64_t, std::string>> delayed;  // answers held back by "fault delay"
  std::string endless;  // the line an endless answer repeats, once it has begun

  size_t queued() const { return out.size() - outOff; }
};

namespace {

int signalWriteFd = -1;

void onSignal(int) {
  char c = 1;
  ssize_t ignored = write(signalWriteFd, &c, 1);
  (void)ignored;
}

void note(const std::string& message) { fprintf(stderr, "tarnsim: %s\n", message.c_str()); }

// Puts one line inside an answer, after its first line (before the end line of an empty answer).
void insertAfterFirstLine(std::string* answer, const std::string& line) {
  size_t nl = answer->find('\n');
  bool onlyEnd = answer->compare(0, nl, kEndLine) == 0;
  size_t at = onlyEnd ? 0 : nl + 1;
  answer->insert(at, line + "\n");
}

// Pads the answer's first line with a keyword and its value to length characters.
void padFirstLine(std::string* answer, size_t length) {
  size_t nl = answer->find('\n');
  const std::string pad = " _pad_ ";
  if (nl + pad.size() >= length) return;
  answer->insert(nl, pad + std::string(length - nl - pad.size(), 'x'));
}

// Takes the end line off the answer.
void dropEndLine(std::string* answer) {
  size_t at = answer->rfind(kEndLine);
  if (at != std::string::npos) answer->erase(at);
}

}  // namespace

int64_t monotonicMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t epochMicros() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}

std::string expandTemplate(const std::string& tmpl, long i, int64_t t) {
  std::string out;
  for (size_t k = 0; k < tmpl.size(); ++k) {
    if (tmpl.compare(k, 3, "{i}") == 0) {
      out += std::to_string(i);
      k += 2;
    } else if (tmpl.compare(k, 3, "{t}") == 0) {
      out += std::to_string(t);
      k += 2;
    } else {
      out += tmpl[k];
    }
  }
  return out;
}

Server::Server(Model* model, const std::string& socketPath, const std::string& ctlPath)
    : model_(model), socketPath_(socketPath), ctlPath_(ctlPath) {}

Server::~Server() {
  clients_.clear();
  closeListener();
  if (ctlFd_ >= 0) {
    close(ctlFd_);
    unlink(ctlPath_.c_str());
  }
  for (int fd : signalPipe_) {
    if (fd >= 0) close(fd);
  }
  if (signalWriteFd == signalPipe_[1]) signalWriteFd = -1;
}

int Server::open(std::string* err) {
  if (pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *err = std::string("cannot make a pipe: ") + strerror(errno);
    return 1;
  }
  if ((listenFd_ = listenUnix(socketPath_, err)) < 0) return 1;
  if ((ctlFd_ = listenUnix(ctlPath_, err)) < 0) return 1;
  signalWriteFd = signalPipe_[1];
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

void Server::closeListener() {
  if (listenFd_ < 0) return;
  close(listenFd_);
  listenFd_ = -1;
  unlink(socketPath_.c_str());
}

int Server::run() {
  while (!stopping_) pollOnce();
  finalFlush();
  clients_.clear();
  closeListener();
  return 0;
}

int Server::timeoutMs(int64_t now) const {
  int64_t next = -1;
  auto consider = [&](int64_t at) { next = (next < 0 || at < next) ? at : next; };
  for (const auto& c : clients_) {
    if (!c->delayed.empty()) consider(c->delayed.front().first);
  }
  for (const Stream& s : streams_) consider(s.start + (int64_t)(s.sent * 1e6 / s.rate));
  if (reopenAt_ >= 0) consider(reopenAt_);
  if (next < 0) return -1;
  return next <= now ? 0 : (int)((next - now + 999) / 1000);
}

void Server::pollOnce() {
  std::vector<pollfd> fds = {
      {signalPipe_[0], POLLIN, 0}, {stalled() ? -1 : listenFd_, POLLIN, 0}, {ctlFd_, POLLIN, 0}};
  for (const auto& c : clients_) {
    short events = (c->eof ? 0 : POLLIN) | (c->queued() > 0 ? POLLOUT : 0);
    fds.push_back({c->fd.get(), events, 0});
  }
  int n = poll(fds.data(), fds.size(), timeoutMs(monotonicMicros()));
  if (n < 0 && errno != EINTR) {
    note(std::string("poll failed: ") + strerror(errno));
    stopping_ = true;
    return;
  }
  if (n > 0 && fds[0].revents) stopping_ = true;
  if (n > 0 && fds[1].revents) acceptOn(listenFd_, false);
  if (n > 0 && fds[2].revents) acceptOn(ctlFd_, true);
  size_t count = fds.size() - 3;  // clients accepted just now were not polled
  for (size_t i = 0; n > 0 && i < count; ++i) {
    Client* c = clients_[i].get();
    short revents = fds[i + 3].revents;
    if (c->eof && (revents & (POLLHUP | POLLERR))) c->dead = true;  // gone both ways
    if (!c->eof && (revents & (POLLIN | POLLHUP | POLLERR))) readClient(c);
  }
  runTimers(monotonicMicros());
  for (auto& c : clients_) flush(c.get());
  reap();
}

void Server::acceptOn(int listenFd, bool control) {
  while (true) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: all taken; other errors: try on the next round
    if (!control && refuse_) {
      close(fd);
      ++counters_.refused;
      continue;
    }
    auto c = std::make_unique<Client>();
    c->id = nextId_++;
    c->fd.reset(fd);
    c->control = control;
    if (!control) ++counters_.accepted;
    clients_.push_back(std::move(c));
  }
}

void Server::readClient(Client* c) {
  if (c->dead) return;
  char buf[65536];
  ssize_t n = recv(c->fd.get(), buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n < 0) {
    c->dead = true;
    return;
  }
  if (n == 0) {  // end of input: answers still owed are sent, a half line is dropped unanswered
    c->eof = true;
    c->closing = !c->waiting;
    return;
  }
  if (c->closing || c->waiting) return;  // a control connection says one line only
  c->in.append(buf, n);
  handleLines(c);
}

void Server::handleLines(Client* c) {
  size_t start = 0, nl;
  while (!c->dead && !c->closing && (nl = c->in.find('\n', start)) != std::string::npos) {
    std::string line = c->in.substr(start, nl - start);
    start = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (c->control) {
      handleControl(c, line);
    } else if (c->discarding) {
      c->discarding = false;
      handleCommand(c, std::string(MAX_COMMAND_LENGTH + 1, 'x'));  // answered as too long
    } else {
      handleCommand(c, line);
    }
  }
  c->in.erase(0, start);
  size_t limit = c->control ? (size_t)MAX_CONTROL_LINE : (size_t)MAX_COMMAND_LENGTH + 1;
  if (c->in.size() > limit) {
    if (c->control) {
      c->out = "error\nrequest line too long\n";
      c->closing = true;
    }
    c->discarding = !c->control;
    c->in.clear();
  }
}

void Server::handleCommand(Client* c, const std::string& line) {
  c->commanded = true;
  ++counters_.commands;
  if (line.size() > MAX_COMMAND_LENGTH) {
    logLine("(command longer than 10238 characters)");
  } else {
    std::string shown = line;  // the log is one line per command: no control bytes in it
    for (char& ch : shown) ch = ((unsigned char)ch < 0x20 || ch == 0x7f) ? '?' : ch;
    logLine(shown);
  }
  std::string answer;
  answerCommand(*model_, line, &answer);
  if (!injectLine_.empty()) {
    insertAfterFirstLine(&answer, injectLine_);
    injectLine_.clear();
  }
  if (longLine_ > 0) padFirstLine(&answer, longLine_);
  if (unended_) dropEndLine(&answer);
  if (endless_) c->endless = answer.substr(0, answer.find('\n') + 1);
  longLine_ = 0;
  unended_ = endless_ = false;
  if (delayMs_ > 0 || !c->delayed.empty()) {
    int64_t due = monotonicMicros() + (int64_t)delayMs_ * 1000;
    if (!c->delayed.empty()) due = std::max(due, c->delayed.back().first);
    c->delayed.emplace_back(due, std::move(answer));
    return;
  }
  c->out += answer;
}

void Server::handleControl(Client* c, const std::string& line) {
  ++counters_.controlRequests;
  std::string reply;
  int rc = runControl(*this, c->id, line, &reply);
  if (rc == CONTROL_LATER) {
    c->waiting = true;
    return;
  }
  c->out = (rc == CONTROL_OK ? "ok\n" : "error\n") + reply;
  if (!reply.empty() && reply.back() != '\n') c->out += '\n';
  c->closing = true;
}

void Server::flush(Client* c) {
  if (c->dead) return;
  for (;;) {
    // An endless answer is topped up whenever the client has read most of it,
    // so the queue never empties and the loop keeps asking to write.
    if (!c->endless.empty() && c->queued() < 65536) {
      c->out.erase(0, c->outOff);
      c->outOff = 0;
      while (c->out.size() < 65536) c->out += c->endless;
    }
    if (c->queued() == 0) break;
    ssize_t n = send(c->fd.get(), c->out.data() + c->outOff, c->queued(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      c->dead = true;
      return;
    }
    c->outOff += n;
  }
  if (c->outOff > 0 && c->outOff >= c->out.size() / 2) {  // amortised: each byte moves once
    c->out.erase(0, c->outOff);
    c->outOff = 0;
  }
  if (c->queued() > queueLimit_) {
    note("dropping connection " + std::to_string(c->id) + ": " + std::to_string(c->queued()) +
         " bytes queued and not read");
    ++counters_.dropped;
    c->dead = true;
    std::string().swap(c->out);
    c->outOff = 0;
  }
  if (c->closing && c->queued() == 0 && c->delayed.empty()) c->dead = true;
}

void Server::runTimers(int64_t now) {
  for (auto& c : clients_) {
    while (!c->delayed.empty() && c->delayed.front().first <= now) {
      c->out += c->delayed.front().second;
      c->delayed.pop_front();
    }
  }
  for (size_t i = 0; i < streams_.size();) {
    Stream& s = streams_[i];
    long due = std::min(s.n, (long)((now - s.start) * s.rate / 1e6) + 1);
    for (; s.sent < due; ++s.sent) sendEvent(expandTemplate(s.tmpl, s.sent, epochMicros()));
    if (s.sent < s.n) {
      ++i;
      continue;
    }
    finishStream(s);
    streams_.erase(streams_.begin() + i);
  }
  if (reopenAt_ >= 0 && now >= reopenAt_) {
    std::string err;
    reopenAt_ = -1;
    if ((listenFd_ = listenUnix(socketPath_, &err)) < 0) note("cannot listen again: " + err);
  }
}

void Server::finishStream(const Stream& s) {
  Client* c = byId(s.controlId);
  if (c == nullptr) return;  // the requester has gone; the stream ran all the same
  c->out = "ok\nsent " + std::to_string(s.n) + " events\n";
  c->waiting = false;
  c->closing = true;
}

Client* Server::byId(int id) {
  for (auto& c : clients_) {
    if (c->id == id && !c->dead) return c.get();
  }
  return nullptr;
}

void Server::reap() {
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                [](const std::unique_ptr<Client>& c) { return c->dead; }),
                 clients_.end());
}

// Control replies still queued (the "shutdown" reply among them) get one second to go out.
void Server::finalFlush() {
  int64_t deadline = monotonicMicros() + 1000000;
  for (auto& c : clients_) {
    while (c->control && !c->dead && c->queued() > 0 && monotonicMicros() < deadline) {
      pollfd p = {c->fd.get(), POLLOUT, 0};
      poll(&p, 1, 100);
      flush(c.get());
    }
  }
}

int Server::sendEvent(const std::string& line) {
  std::string text = line.compare(0, 8, "_event_ ") == 0 ? line : "_event_ " + line;
  text += '\n';
  int receivers = 0;
  for (auto& c : clients_) {
    if (c->control || c->commanded || c->dead || c->closing) continue;
    c->out += text;
    ++receivers;
    ++counters_.eventsSent;
    if (c->queued() > queueLimit_) flush(c.get());
  }
  return receivers;
}

int Server::dropClients() {
  int n = 0;
  for (auto& c : clients_) {
    if (c->control || c->dead) continue;
    c->dead = true;  // closed when the loop reaps it: the loop may be walking the list now
    ++n;
  }
  return n;
}

void Server::setStall(bool on) {
  stalled_ = on;
  stallFillers_.clear();
  if (listenFd_ < 0) return;
  // A queue of length 0 holds one connection; the next connect waits.
  listen(listenFd_, on ? 0 : 128);
  std::string err;
  for (int i = 0; on && i < 16; ++i) {
    auto fd = std::make_unique<ScopedFd>(connectUnix(socketPath_, &err, true));
    if (fd->get() < 0) break;
    stallFillers_.push_back(std::move(fd));
  }
}

int Server::restart(int downMs, std::string* err) {
  stalled_ = false;
  stallFillers_.clear();
  dropClients();
  closeListener();
  if (downMs > 0) {
    reopenAt_ = monotonicMicros() + (int64_t)downMs * 1000;
    return 0;
  }
  reopenAt_ = -1;
  listenFd_ = listenUnix(socketPath_, err);
  return listenFd_ < 0 ? 1 : 0;
}

int Server::startStream(int controlId, double rate, long n, const std::string& tmpl) {
  streams_.push_back(Stream{controlId, rate, n, 0, monotonicMicros(), tmpl});
  return 0;
}

void Server::logLine(const std::string& line) {
  if (log_.size() >= MAX_LOG_LINES) log_.pop_front();
  log_.push_back(line);
}

int Server::connections(bool eventsOnly) const {
  int n = 0;
  for (const auto& c : clients_) n += !c->control && !c->dead && !(eventsOnly && c->commanded);
  return n;
}

}  // namespace sim
