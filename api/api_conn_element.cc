#include "api/api_conn_element.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/running.h"

namespace {

const char kEventPrefix[] = "_event_ ";
const size_t kEventPrefixLength = sizeof kEventPrefix - 1;

// The handshake of node/port connections, in host order; sent and checked in
// network byte order.
const uint32_t kHandshakeMagic = 0xF3689038u;
const uint32_t kHandshakeMessage[10] = {kHandshakeMagic, 0, 0, 0, 0, 12, 0, 7, 0, 2};
const int kHandshakeReplyWords = 5;

// Milliseconds left until deadline (monotonic microseconds), at most cap; 0 when past.
int millisLeft(int64_t deadline, int cap) {
  int64_t left = (deadline - monotonicMicros()) / 1000;
  if (left <= 0) return 0;
  return left < cap ? static_cast<int>(left) : cap;
}

// Waits for a connect in progress on fd to finish: 0 done (the connect's own
// result is then in SO_ERROR), 1 not yet after waitMs, -1 failed.
int awaitConnect(int fd, int waitMs) {
  struct pollfd entry = {fd, POLLOUT, 0};
  int ready = ::poll(&entry, 1, waitMs);
  if (ready < 0) return errno == EINTR ? 1 : -1;
  if (ready == 0) return 1;
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) < 0) return -1;
  errno = err;
  return err == 0 ? 0 : -1;
}

// Connects fd without ever blocking for long: a listener whose queue is full
// (EAGAIN on a named socket) is asked again every 10 ms, a connect in
// progress (TCP) is awaited, for at most CONNECT_TIMEOUT_MS and never past a
// stop request. The descriptor is blocking again afterwards. 0, or -1 with
// errno set (ETIMEDOUT past the bound, ECANCELED at a stop).
int connectBounded(int fd, const struct sockaddr* address, socklen_t length) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  const int64_t deadline =
      monotonicMicros() + Tnperf_ConnectionElement::CONNECT_TIMEOUT_MS * int64_t{1000};
  int rc = ::connect(fd, address, length);
  bool inProgress = rc < 0 && (errno == EINPROGRESS || errno == EALREADY);
  while (rc < 0 && (inProgress || errno == EAGAIN || errno == EINTR)) {
    if (stopRequested()) {
      errno = ECANCELED;
      return -1;
    }
    int waitMs = millisLeft(deadline, inProgress ? 50 : 10);
    if (waitMs == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (inProgress) {
      int done = awaitConnect(fd, waitMs);
      if (done < 0) return -1;
      rc = done == 0 ? 0 : -1;
      continue;
    }
    ::poll(nullptr, 0, waitMs);
    rc = ::connect(fd, address, length);
    if (rc < 0 && errno == EISCONN) rc = 0;
    inProgress = rc < 0 && (errno == EINPROGRESS || errno == EALREADY);
  }
  if (rc < 0) return -1;
  return fcntl(fd, F_SETFL, flags);
}

char* copyName(const char* name) {
  const char* src = name != nullptr ? name : "";
  size_t n = strlen(src) + 1;
  char* copy = static_cast<char*>(malloc(n));
  if (copy != nullptr) memcpy(copy, src, n);
  return copy;
}

}  // namespace

Tnperf_ConnectionElement::Tnperf_ConnectionElement(const char* nameArg, int portArg)
    : eventCallback(nullptr),
      eventCallbackData(nullptr),
      name(copyName(nameArg)),
      port(nameArg != nullptr && nameArg[0] == '/' ? -1 : portArg),
      socketFd(-1),
      trace(0),
      reportErrors(0),
      namedSocket(0),
      receiveTimeout(-1),
      readStart(0),
      readEnd(0) {}

Tnperf_ConnectionElement::~Tnperf_ConnectionElement() {
  close();
  free(name);
}

short Tnperf_ConnectionElement::set_trace(short level) {
  short previous = trace;
  trace = level;
  return previous;
}

int Tnperf_ConnectionElement::set_receive_timeout(int ms) {
  int previous = receiveTimeout;
  receiveTimeout = ms < 0 ? -1 : ms;
  return previous;
}

void Tnperf_ConnectionElement::reportError(const char* what, int err, const char* text) {
  if (!reportErrors && trace == 0) return;
  char message[TS_PRINT_MAX + 1];
  snprintf(message, sizeof message, "_error_ Node %s, port %d: Error %d %s: %s\n",
           name != nullptr ? name : "", port, err, what, text);
  ts_print(message);
}

int Tnperf_ConnectionElement::failConnect(const char* what, int err) {
  reportError(what, err, strerror(err));
  close();
  return -1;
}

int Tnperf_ConnectionElement::connectSocket(int reportErrorsArg) {
  namedSocket = port == -1;
  if (reportErrorsArg != 0) reportErrors = 1;
  // A reconnect after a hang-up must not leak the old descriptor.
  close();
  if (name == nullptr) {
    reportError("opening stream socket", ENOMEM, strerror(ENOMEM));
    return -1;
  }
  if (trace != 0) {
    fprintf(stderr, "_info_ Connecting to %s...\n", name);
    if (namedSocket)
      fprintf(stderr, "_info_ Using named socket %s...\n", name);
    else
      fprintf(stderr, "_info_ Using node/port %s/%d...\n", name, port);
  }
  int fd = ::socket(namedSocket ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int err = errno;
    reportError("opening stream socket", err, strerror(err));
    return -1;
  }
  socketFd = fd;
  if (setOptions() < 0) return -1;
  int rc = namedSocket ? connectNamed() : connectNodePort();
  if (rc < 0) return -1;
  if (trace != 0) fprintf(stderr, "_trace_ done\n");
  liveFd.store(socketFd, std::memory_order_relaxed);
  return socketFd;
}

int Tnperf_ConnectionElement::setOptions() {
  int one = 1;
  if (setsockopt(socketFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
    return failConnect("setsockopt reuse", errno);
  // Closing discards unsent data at once instead of lingering.
  struct linger lingerOption = {1, 0};
  if (setsockopt(socketFd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption) < 0)
    return failConnect("setsockopt linger", errno);
  return 0;
}

int Tnperf_ConnectionElement::connectNamed() {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  size_t pathLength = strlen(name);
  // A path that does not fit the address would be cut and reach the wrong
  // socket: refuse it as a failed connect.
  if (pathLength >= sizeof address.sun_path)
    return failConnect("connecting stream socket", ENAMETOOLONG);
  memcpy(address.sun_path, name, pathLength + 1);
  socklen_t length =
      static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + pathLength + 1);
  if (connectBounded(socketFd, reinterpret_cast<struct sockaddr*>(&address), length) < 0)
    return failConnect("connecting stream socket", errno);
  return 0;
}

int Tnperf_ConnectionElement::connectNodePort() {
  int one = 1;
  if (setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0)
    return failConnect("setsockopt nodelay", errno);
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    reportError("Unable to connect to target node", rc, gai_strerror(rc));
    close();
    return -1;
  }
  struct sockaddr_in address;
  memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connectBounded(socketFd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0)
    return failConnect("connecting stream socket", errno);
  return 0;
}

int Tnperf_ConnectionElement::close() {
  readStart = readEnd = 0;
  if (socketFd < 0) return 0;
  liveFd.store(-1, std::memory_order_relaxed);
  int rc = ::close(socketFd);
  socketFd = -1;
  return rc;
}

int Tnperf_ConnectionElement::waitReadable() {
  if (receiveTimeout < 0) return 0;
  const int64_t deadline = monotonicMicros() + int64_t{receiveTimeout} * 1000;
  // In slices, so that a stop ends the wait on any thread, signals blocked or not.
  for (;;) {
    if (stopRequested()) {
      errno = ECANCELED;
      return -1;
    }
    struct pollfd entry = {socketFd, POLLIN, 0};
    int slice = millisLeft(deadline, 100);
    int rc = ::poll(&entry, 1, slice);
    if (rc > 0) return 0;
    if (rc == 0 && slice == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (rc < 0 && errno != EINTR) return -1;
  }
}

int Tnperf_ConnectionElement::fill() {
  readStart = readEnd = 0;
  if (waitReadable() < 0) return -1;
  ssize_t n;
  do {
    n = ::recv(socketFd, readBuffer, sizeof readBuffer, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n > 0) readEnd = static_cast<int>(n);
  return static_cast<int>(n);
}

int Tnperf_ConnectionElement::read(char* buffer, int length) {
  if (socketFd < 0) return -1;
  int n = length > 0 ? length : 0;
  if (buffered() > 0) {
    if (n > buffered()) n = buffered();
    memcpy(buffer, readBuffer + readStart, static_cast<size_t>(n));
    readStart += n;
  } else {
    ssize_t got =
        waitReadable() < 0 ? -1 : ::recv(socketFd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
    if (got < 0) {
      int err = errno;
      reportError("in read", err, strerror(err));
      close();
      return -1;
    }
    n = static_cast<int>(got);
  }
  if (trace > 1) fprintf(stderr, "_trace_ Node %s, port %d: Read %d bytes\n", name, port, n);
  return n;
}

int Tnperf_ConnectionElement::write(const char* buffer, int length) {
  if (socketFd < 0) return -1;
  ssize_t n = ::send(socketFd, buffer, length > 0 ? static_cast<size_t>(length) : 0, MSG_NOSIGNAL);
  if (n < 0) {
    int err = errno;
    close();
    reportError("in write", err, strerror(err));
    return -1;
  }
  if (trace > 1) fprintf(stderr, "_trace_ Node %s, port %d: Wrote %d bytes\n", name, port, (int)n);
  return static_cast<int>(n);
}

int Tnperf_ConnectionElement::takeLine(char* buffer, size_t size, bool stopWhenFull,
                                       size_t* length) {
  *length = 0;
  if (buffer == nullptr || size == 0) {
    errno = EINVAL;
    return LINE_FAILED;
  }
  size_t count = 0;  // characters of the line so far
  size_t stored = 0;
  int result = LINE_NEWLINE;
  for (;;) {
    if (readStart == readEnd) {
      int n = socketFd < 0 ? (errno = EBADF, -1) : fill();
      if (n <= 0) {
        result = n == 0 ? LINE_END_OF_STREAM : LINE_FAILED;
        break;
      }
    }
    const char* from = readBuffer + readStart;
    const char* newline = static_cast<const char*>(memchr(from, '\n', buffered()));
    size_t take = newline != nullptr ? static_cast<size_t>(newline - from) : buffered();
    size_t room = size - 1 - stored;
    if (stopWhenFull && take > room) {
      // The first character that does not fit is taken, as a one-byte
      // reader would have taken it; the rest of the line stays unread.
      memcpy(buffer + stored, from, room);
      stored += room;
      count += room + 1;
      readStart += static_cast<int>(room + 1);
      result = LINE_FULL;
      break;
    }
    size_t copy = take < room ? take : room;
    memcpy(buffer + stored, from, copy);
    stored += copy;
    count += take;
    readStart += static_cast<int>(take);
    if (newline != nullptr) {
      readStart++;
      break;
    }
  }
  buffer[stored] = '\0';
  *length = count;
  return result;
}

int Tnperf_ConnectionElement::receiveLine(char* buffer, int length) {
  size_t count = 0;
  int rc = takeLine(buffer, static_cast<size_t>(length), true, &count);
  if (rc == LINE_FAILED) {
    int err = errno;
    if (reportErrors || trace != 0) {
      char message[TS_PRINT_MAX + 1];
      snprintf(message, sizeof message, "_error_ Error %d reading from stream socket: %s\n", err,
               strerror(err));
      ts_print(message);
    }
    errno = err;
    return -1;
  }
  // One character past the longest line: give up at once, without a message.
  if (rc == LINE_FULL) {
    errno = EMSGSIZE;
    return -1;
  }
  // The stream ended before this line began.
  if (rc == LINE_END_OF_STREAM && count == 0) {
    errno = 0;
    return -1;
  }
  if (count >= static_cast<size_t>(length) - 1) {
    if (reportErrors || trace != 0) {
      char message[TS_PRINT_MAX + 1];
      snprintf(message, sizeof message,
               "_error_ Node %s, port %d: Read overrun of %d byte buffer!\n", name, port, length);
      ts_print(message);
    }
    errno = EMSGSIZE;
    return -1;
  }
  if (trace > 1)
    fprintf(stderr, "_trace_ Node %s, port %d: Read %d bytes\n", name, port, (int)count);
  return static_cast<int>(count);
}

int Tnperf_ConnectionElement::readSocketLine(char* buffer, int length) {
  if (socketFd < 0 || buffer == nullptr || length < 2) return -1;
  for (;;) {
    int count = receiveLine(buffer, length);
    if (count < 0) return -1;
    if (strncmp(buffer, kEventPrefix, kEventPrefixLength) != 0) return count;
    // An asynchronous event between response lines: never part of the answer.
    if (trace > 1)
      fprintf(stderr, "_trace_ %s event message: '%s'\n",
              eventCallback != nullptr ? "Returning" : "Discarding", buffer);
    if (eventCallback != nullptr) eventCallback(buffer, eventCallbackData);
  }
}

int Tnperf_ConnectionElement::drainStringSocket(char* buffer, int length, TnperfLineHandler handler,
                                                void* data) {
  for (;;) {
    if (readSocketLine(buffer, length) < 0) return -1;
    int rc = handler(buffer, data);
    if (rc == 1) return 0;
    if (rc != 0) return rc;
  }
}

int Tnperf_ConnectionElement::poll(short events, int timeout, short* revents) {
  if ((events & POLLIN) && buffered() > 0) {
    if (revents != nullptr) *revents = POLLIN;
    return 1;
  }
  struct pollfd entry = {socketFd, events, 0};
  int rc = ::poll(&entry, 1, timeout);
  if (revents != nullptr) *revents = rc > 0 ? entry.revents : 0;
  return rc;
}

int Tnperf_ConnectionElement::handshake() {
  if (socketFd < 0 || namedSocket) return 0;
  uint32_t message[10];
  for (int i = 0; i < 10; i++) message[i] = htonl(kHandshakeMessage[i]);
  bool ok = write(reinterpret_cast<const char*>(message), sizeof message) == (int)sizeof message;
  uint32_t reply[kHandshakeReplyWords];
  ok = ok && read(reinterpret_cast<char*>(reply), sizeof reply) == (int)sizeof reply;
  // The third word is not examined.
  ok = ok && ntohl(reply[0]) == kHandshakeMagic && reply[1] == 0 && reply[3] == 0 && reply[4] == 0;
  if (ok) return 0;
  char text[TS_PRINT_MAX + 1];
  snprintf(text, sizeof text, "Warning: Failed to handshake with %s\n", name);
  ts_print(text);
  close();
  return 1;
}
