#include "tests/unit/sim/sim_harness.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/sockets.h"

namespace simtest {

std::string samplePath() { return std::string(TN_SOURCE_DIR) + "/sim/models/sample.json"; }

sim::Model sampleModel() {
  sim::Model model;
  std::string err;
  EXPECT_EQ(model.loadFile(samplePath(), &err), 0) << err;
  return model;
}

int64_t nowMs() { return sim::monotonicMicros() / 1000; }

SimServer::SimServer(const sim::Model& model, size_t queueLimit) : model_(model) {
  char tmpl[] = "/tmp/tarnsimXXXXXX";
  if (mkdtemp(tmpl) == nullptr) return;
  dir_ = tmpl;
  socket_ = dir_ + "/sock";
  ctl_ = dir_ + "/ctl";
  server_ = std::make_unique<sim::Server>(&model_, socket_, ctl_);
  if (queueLimit > 0) server_->setQueueLimit(queueLimit);
  std::string err;
  if (server_->open(&err) != 0) {
    ADD_FAILURE() << err;
    return;
  }
  thread_ = std::thread([this] { server_->run(); });
  ok_ = true;
}

SimServer::~SimServer() {
  if (thread_.joinable()) {
    std::string body;
    if (control("shutdown", &body) != 0) ADD_FAILURE() << "shutdown: " << body;
    thread_.join();
  }
  server_.reset();
  unlink(socket_.c_str());
  unlink(ctl_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

int SimServer::control(const std::string& line, std::string* body) {
  std::string ignored;
  return sim::controlRequest(ctl_, line, body != nullptr ? body : &ignored, 10000);
}

sim::json SimServer::model() {
  std::string body;
  EXPECT_EQ(control("model", &body), 0) << body;
  return sim::json::parse(body, nullptr, false);
}

Client::Client(const std::string& path) {
  std::string err;
  fd_ = sim::connectUnix(path, &err);
}

Client::~Client() {
  if (fd_ >= 0) close(fd_);
}

bool Client::send(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += n;
  }
  return true;
}

bool Client::readLine(std::string* line, int timeoutMs) {
  int64_t end = nowMs() + timeoutMs;
  while (true) {
    size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      *line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return true;
    }
    int left = (int)(end - nowMs());
    pollfd p = {fd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffered_.append(buf, n);
  }
}

std::vector<std::string> Client::command(const std::string& text, int timeoutMs) {
  std::vector<std::string> lines;
  if (!send(text + "\n")) return lines;
  std::string line;
  while (readLine(&line, timeoutMs)) {
    lines.push_back(line);
    if (line == "_response_ end") break;
  }
  return lines;
}

bool Client::closedByServer(int timeoutMs) {
  int64_t end = nowMs() + timeoutMs;
  char buf[4096];
  while (nowMs() < end) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, (int)(end - nowMs())) <= 0) return false;
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return false;
}

bool grabKeyword(const std::string& line, const std::string& keyword, bool atStart,
                 std::string* value) {
  std::string pattern = atStart ? keyword + " " : " " + keyword + " ";
  size_t at = line.find(pattern);
  if (at == std::string::npos) return false;
  size_t start = at + pattern.size();
  char stop = ' ';
  if (start < line.size() && line[start] == '\'') {
    stop = '\'';
    ++start;
  }
  size_t end = line.find(stop, start);
  *value = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return true;
}

bool walkKeyword(const std::string& line, const std::string& keyword, std::string* value) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < line.size()) {
    size_t end = line.find_first_of(" \t", i);
    if (end == std::string::npos) end = line.size();
    if (end > i) tokens.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  for (size_t t = 1; t + 1 < tokens.size(); ++t) {
    if (tokens[t] != keyword) continue;
    std::string v = tokens[t + 1];
    if (!v.empty() && v.front() == '\'') v.erase(0, 1);
    if (!v.empty() && v.back() == '\'') v.pop_back();
    *value = v;
    return true;
  }
  return false;
}

bool toInt64(const std::string& text, long long* out) {
  char* end = nullptr;
  errno = 0;
  *out = strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && errno == 0;
}

bool toDouble(const std::string& text, double* out) {
  char* end = nullptr;
  *out = strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0';
}

}  // namespace simtest
