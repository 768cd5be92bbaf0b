// Cost of the command cycle: one command whose answer is 10,000 lines of 200
// characters, spooled to the response file by processCommand and walked
// with getNextInstance. Prints lines per second and the receive calls made
// per answer (one per byte before reads went through the element's buffer). Uses the daemon's fixed
// socket path, so it runs inside the test sandbox: bench/bench_conn.sh BUILD.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "agent/scoped.h"
#include "api/api_conn.h"

namespace {

const char kSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";
const int kLines = 10000;
const int kLineLength = 200;
const int kRounds = 5;

std::atomic<long> receiveCalls{0};

// The answer: kLines record lines of kLineLength characters, then the end line.
std::string makeAnswer() {
  std::string answer;
  for (int i = 0; i < kLines; i++) {
    char head[64];
    int n = snprintf(head, sizeof head, "_bench_ _i_ %06d _v_ ", i);
    answer.append(head, static_cast<size_t>(n));
    answer.append(static_cast<size_t>(kLineLength - n), 'v');
    answer.push_back('\n');
  }
  return answer + "_response_ end\n";
}

// The stand-in daemon: answers each command line on its one connection.
// Uses read/write so that only the wrapper's receives are counted.
void serve(int listener, const std::string& answer) {
  ScopedFd peer(accept(listener, nullptr, nullptr));
  char byte;
  while (::read(peer.get(), &byte, 1) == 1) {
    if (byte != '\n') continue;
    for (size_t sent = 0; sent < answer.size();) {
      ssize_t n = ::write(peer.get(), answer.data() + sent, answer.size() - sent);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
}

int listenAtSocketPath() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", kSocketPath);
  unlink(kSocketPath);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 1) != 0) {
    perror("bench_conn: listen");
    return -1;
  }
  return fd;
}

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void runRounds(TnperfWrapperUtils& wrapper) {
  printf("%-6s %10s %14s %10s %14s %12s %10s\n", "round", "spool s", "spool lines/s", "walk s",
         "walk lines/s", "recv calls", "us/recv");
  for (int round = 1; round <= kRounds; round++) {
    wrapper.cleanupCommand();
    long before = receiveCalls;
    auto t0 = std::chrono::steady_clock::now();
    int rc = wrapper.processCommand("bench answer");
    auto t1 = std::chrono::steady_clock::now();
    long calls = receiveCalls - before;
    int found = 0;
    wrapper.prepBuffer();
    while (wrapper.getNextInstance("_bench_") == 1) found++;
    auto t2 = std::chrono::steady_clock::now();
    if (rc != 0 || found != kLines) {
      fprintf(stderr, "bench_conn: round %d: result %d, %d lines found\n", round, rc, found);
      return;
    }
    printf("%-6d %10.4f %14.0f %10.4f %14.0f %12ld %10.2f\n", round, seconds(t1 - t0),
           kLines / seconds(t1 - t0), seconds(t2 - t1), kLines / seconds(t2 - t1), calls,
           seconds(t1 - t0) * 1e6 / static_cast<double>(calls));
  }
}

}  // namespace

// Counts every receive the wrapper makes, then does it.
extern "C" ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  using RecvFn = ssize_t (*)(int, void*, size_t, int);
  static RecvFn real = reinterpret_cast<RecvFn>(dlsym(RTLD_NEXT, "recv"));
  receiveCalls++;
  return real(fd, buffer, length, flags);
}

int main() {
  struct statfs fs;
  if (statfs("/var/tarnfs", &fs) != 0 || fs.f_type != 0x01021994 ||
      access("/var/tarnfs/tnperf", W_OK) != 0) {
    fprintf(stderr, "bench_conn: run inside the test sandbox (bench/bench_conn.sh)\n");
    return 2;
  }
  std::string answer = makeAnswer();
  ScopedFd listener(listenAtSocketPath());
  if (listener.get() < 0) return 1;
  std::thread daemon(serve, listener.get(), std::cref(answer));
  {
    MErrno err = 0;
    TnperfWrapperUtils wrapper(&err, 0);
    if (err != 0) return 1;
    printf("answer: %d lines of %d characters (%zu bytes)\n", kLines, kLineLength, answer.size());
    runRounds(wrapper);
    printf("receive calls per answer at one per byte would be: %zu\n", answer.size());
  }
  daemon.join();
  unlink(kSocketPath);
  return 0;
}
