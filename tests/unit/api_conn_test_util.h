// Test helpers for the daemon connection: listeners, the peer's sends, bounded waits, captures.
#ifndef TNMIBD_TESTS_UNIT_API_CONN_TEST_UTIL_H_
#define TNMIBD_TESTS_UNIT_API_CONN_TEST_UTIL_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent/scoped.h"

namespace conntest {

// Skips the test outside tests/sandbox.sh, whose private tmpfs holds the daemon's fixed paths.
#define REQUIRE_SANDBOX()                                                            \
  do {                                                                               \
    struct statfs fs;                                                                \
    if (statfs("/var/tarnfs", &fs) != 0 || fs.f_type != 0x01021994)                  \
      GTEST_SKIP() << "needs the daemon's fixed paths: run inside tests/sandbox.sh"; \
  } while (0)

// A path under /tmp that no other test or run uses.
inline std::string uniqueSocketPath(const char* tag) {
  static int counter = 0;
  return "/tmp/tnconn-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + tag;
}

// A blocking send on a stream socket sends all of text or fails.
inline bool sendAll(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// An event callback: keeps the line in the std::vector<std::string> given as data.
inline int keepLine(char* line, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

inline std::string capturedBy(const std::function<void()>& run) {
  testing::internal::CaptureStderr();
  run();
  return testing::internal::GetCapturedStderr();
}

// Whether run writes text to stderr; what it wrote is shown when not.
inline testing::AssertionResult logs(const std::function<void()>& run, const std::string& text) {
  const std::string out = capturedBy(run);
  if (out.find(text) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "no \"" << text << "\" in: " << out;
}

inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The output of a shell command line, stderr with it, after "ERROR: " when it failed.
inline std::string run(const std::string& command) {
  ScopedPipe pipe(popen((command + " 2>&1").c_str(), "r"));
  std::string text;
  char chunk[4096];
  for (size_t n; pipe.get() != nullptr && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
    text.append(chunk, n);
  return pipe.close() == 0 ? text : "ERROR: " + text;
}

// The daemon simulator on the sample model, from start() until the object goes.
struct Simulator {
  static constexpr const char* kDir = TN_BUILD_DIR "/sim/";
  FILE* pipe = nullptr;
  bool start() {  // true once it says both its sockets listen
    pipe = popen(
        "exec " TN_BUILD_DIR "/sim/tarnsim --model " TN_SOURCE_DIR "/sim/models/sample.json", "r");
    char line[64] = "";
    return pipe && fgets(line, sizeof line, pipe) && strstr(line, "tarnsim: ready");
  }
  ~Simulator() {
    if (pipe != nullptr) ctl("shutdown"), pclose(pipe);
  }
  // "tarnsim ctl WORDS": its output, after "ERROR: " when it failed.
  static std::string ctl(const std::string& words) {
    return run(std::string(kDir) + "tarnsim ctl --timeout 5000 " + words);
  }
};

#define ASSERT_CTL(words) \
  ASSERT_NE(conntest::Simulator::ctl(words).rfind("ERROR", 0), 0u) << (words)

// A listening socket on a UNIX path, or on 127.0.0.1 at a port the system
// picks; closed (and its path removed) on destruction.
class Listener {
 public:
  // backlog 0 makes a queue that one connection not yet accepted fills.
  explicit Listener(const std::string& path, int backlog = 16) : path_(path) {
    struct sockaddr_un address = {AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(path.c_str());
    listenOn(reinterpret_cast<struct sockaddr*>(&address), sizeof address, backlog);
  }
  Listener() {
    struct sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    listenOn(reinterpret_cast<struct sockaddr*>(&address), length);
    getsockname(fd_, reinterpret_cast<struct sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  const std::string& path() const { return path_; }
  // True when a connection is waiting to be accepted within timeoutMs.
  bool pending(int timeoutMs) const {
    struct pollfd entry = {fd_, POLLIN, 0};
    return fd_ >= 0 && ::poll(&entry, 1, timeoutMs) > 0;
  }
  // The next connection's descriptor (the caller closes it), or -1 after 5 s.
  int acceptPeer() const {
    return pending(5000) ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }

 private:
  void listenOn(const struct sockaddr* address, socklen_t length, int backlog = 16) {
    fd_ = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd_, address, length) == 0 && listen(fd_, backlog) == 0) return;
    ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
  int port_ = -1;
};

}  // namespace conntest

#endif  // TNMIBD_TESTS_UNIT_API_CONN_TEST_UTIL_H_
