// Speed figures of the simulator: generating a large cluster, answering the
// agent's biggest commands on it, and delivering event bursts and paced
// streams to one event connection. Runs a server on private sockets under
// /tmp; prints one line per figure.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "agent/scoped.h"
#include "sim/generator.h"
#include "sim/server.h"
#include "sim/sockets.h"

namespace {

double secondsSince(int64_t startMicros) { return (sim::monotonicMicros() - startMicros) / 1e6; }

// Reads until `lines` lines ending in `last` (or any line when last is empty) have arrived.
long readLines(int fd, long lines, const char* last) {
  std::string pending;
  char buf[65536];
  long seen = 0;
  while (seen < lines) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return seen;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return seen;
    pending.append(buf, n);
    size_t start = 0, nl;
    while ((nl = pending.find('\n', start)) != std::string::npos) {
      if (*last == '\0' || pending.compare(start, nl - start, last) == 0) ++seen;
      start = nl + 1;
    }
    pending.erase(0, start);
  }
  return seen;
}

void benchCommand(const std::string& path, const std::string& command, int rounds) {
  std::string err;
  ScopedFd fd(sim::connectUnix(path, &err));
  std::string text = command + "\n";
  int64_t start = sim::monotonicMicros();
  for (int i = 0; i < rounds; ++i) {
    if (send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL) != (ssize_t)text.size()) return;
    if (readLines(fd.get(), 1, "_response_ end") != 1) return;
  }
  double s = secondsSince(start);
  printf("answer %-45s %8.3f ms per answer (%d rounds)\n", ("'" + command + "'").c_str(),
         s * 1000 / rounds, rounds);
}

void benchEvents(const std::string& socket, const std::string& ctl, const std::string& request,
                 long n, const char* what) {
  std::string err, body;
  ScopedFd fd(sim::connectUnix(socket, &err));
  usleep(50000);  // let the server accept it before the events go out
  int64_t start = sim::monotonicMicros();
  std::thread control([&] { sim::controlRequest(ctl, request, &body, 60000); });
  long got = readLines(fd.get(), n, "");
  double s = secondsSince(start);
  control.join();
  printf("%-52s %8.0f events/s (%ld of %ld in %.3f s)\n", what, got / s, got, n, s);
}

}  // namespace

int main() {
  sim::GenSpec spec;
  std::string err, pointer;
  sim::parseGenSpec("1024,16,4,64", &spec, &err);
  int64_t start = sim::monotonicMicros();
  sim::Model model;
  if (model.adopt(sim::generateModel(spec), &err, &pointer)) return 1;
  printf("generate and check 1024 nodes, 16 fs, 4 pools, 64 disks  %8.3f s\n", secondsSince(start));
  start = sim::monotonicMicros();
  size_t bytes = model.dump().size();
  printf("dump the model as JSON (%zu bytes)                   %8.3f s\n", bytes,
         secondsSince(start));

  char dir[] = "/tmp/tarnsimbXXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string socket = std::string(dir) + "/sock", ctl = std::string(dir) + "/ctl";
  sim::Server server(&model, socket, ctl);
  if (server.open(&err)) {
    fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  std::thread loop([&] { server.run(); });
  benchCommand(socket, "get nodes", 50);
  benchCommand(socket, "tnperf gfis", 200);
  benchCommand(socket, "get fs fs16 data3", 200);
  benchCommand(socket, "tnperf ds f cl gen1024.tarn.example.com fs fs16 p data3", 200);
  benchEvents(socket, ctl, "burst 200000 _event_ mount _node_ 10.0.0.{i} _fs_ fs01", 200000,
              "burst of 200000 events to one reader");
  benchEvents(socket, ctl, "stream 5000 10000 _event_ hungthread _node_ n{i} _wait_ {t}", 10000,
              "stream paced at 5000/s to one reader");
  std::string body;
  sim::controlRequest(ctl, "shutdown", &body, 5000);
  loop.join();
  rmdir(dir);
  return 0;
}
