#include "sim/sockets.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "agent/scoped.h"
#include "agent/text.h"
#include "sim/server.h"

namespace sim {

const char kDaemonSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";
const char kControlSocketPath[] = "/var/tarnfs/tnperf/tarnsim.ctl";

namespace {

int makeAddress(const std::string& path, sockaddr_un* addr, std::string* err) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    *err = path + ": a socket path must have 1 to " + std::to_string(sizeof addr->sun_path - 1) +
           " characters";
    return 1;
  }
  copyText(addr->sun_path, path.c_str());
  return 0;
}

void makeParentDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);  // an existing directory is fine
  }
}

std::string failure(const std::string& path, const char* what) {
  return path + ": " + what + ": " + strerror(errno);
}

// Removes a socket file that nobody serves any more. 0 when the path is free.
int clearStale(const std::string& path, std::string* err) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  if (!S_ISSOCK(st.st_mode)) {
    *err = path + ": exists and is not a socket";
    return 1;
  }
  std::string ignored;
  ScopedFd probe(connectUnix(path, &ignored));
  if (probe.get() >= 0) {
    *err = path + ": another server is listening there";
    return 1;
  }
  if (unlink(path.c_str()) != 0) {
    *err = failure(path, "cannot remove the stale socket");
    return 1;
  }
  return 0;
}

}  // namespace

int listenUnix(const std::string& path, std::string* err) {
  sockaddr_un addr;
  if (makeAddress(path, &addr, err)) return -1;
  makeParentDirs(path);
  if (clearStale(path, err)) return -1;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    *err = failure(path, "cannot make a socket");
    return -1;
  }
  if (bind(fd.get(), (sockaddr*)&addr, sizeof addr) != 0) {
    *err = failure(path, "cannot bind");
    return -1;
  }
  if (listen(fd.get(), 128) != 0) {
    *err = failure(path, "cannot listen");
    unlink(path.c_str());
    return -1;
  }
  return fd.release();
}

int connectUnix(const std::string& path, std::string* err, bool nonBlocking) {
  sockaddr_un addr;
  if (makeAddress(path, &addr, err)) return -1;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
  if (fd.get() < 0) {
    *err = failure(path, "cannot make a socket");
    return -1;
  }
  if (connect(fd.get(), (sockaddr*)&addr, sizeof addr) != 0) {
    *err = failure(path, "cannot connect");
    return -1;
  }
  return fd.release();
}

std::string defaultControlPath() {
  const char* env = getenv("TARNSIM_CTL");
  return (env != nullptr && *env != '\0') ? env : kControlSocketPath;
}

namespace {

int sendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    off += n;
  }
  return 0;
}

int receiveAll(int fd, std::string* reply, int timeoutMs) {
  int64_t deadline = monotonicMicros() + (int64_t)timeoutMs * 1000;
  char buf[65536];
  while (true) {
    if (timeoutMs > 0) {
      int64_t left = (deadline - monotonicMicros()) / 1000;
      pollfd p = {fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, (int)left) == 0) return 2;
    }
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 1;
    if (n == 0) return 0;
    reply->append(buf, n);
  }
}

}  // namespace

int controlRequest(const std::string& path, const std::string& line, std::string* body,
                   int timeoutMs) {
  std::string err;
  ScopedFd fd(connectUnix(path, &err));
  if (fd.get() < 0) {
    *body = err + " (is tarnsim running?)";
    return -1;
  }
  if (sendAll(fd.get(), line + "\n")) {
    *body = failure(path, "cannot send the request");
    return -1;
  }
  std::string reply;
  int rc = receiveAll(fd.get(), &reply, timeoutMs);
  if (rc != 0) {
    *body = rc == 2 ? path + ": no reply in time" : failure(path, "cannot read the reply");
    return -1;
  }
  size_t nl = reply.find('\n');
  std::string status = reply.substr(0, nl);
  *body = nl == std::string::npos ? std::string() : reply.substr(nl + 1);
  if (status == "ok") return 0;
  if (status == "error") return 1;
  *body = path + ": broken reply from the simulator";
  return -1;
}

}  // namespace sim
