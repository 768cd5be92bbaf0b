// Full poll of a synthetic cluster against the daemon simulator: per level
// the wall and CPU time of the polling thread, the daemon's answer bytes (as
// spooled to the response file), the bytes read from files and pipes (the
// spool read back and the configuration query output), the answers (one
// command send each) and the receive calls per answer, and the process's
// peak memory.
//
// Runs inside the test sandbox (fixed paths): tests/sandbox.sh BUILD/bench/bench_poll
// [NODES,FS,POOLS,DISKS] [ROUNDS]. Starts BUILD/sim/tarnsim itself.
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "api/api_poll.h"
#include "api/api_records.h"

namespace {

const char kQueryTool[] = "/usr/lpp/tarnfs/bin/tncfgdump";

// Counted by the recv and send below: the daemon connection's receive calls,
// and its sends (one per command, so one per answer).
std::atomic<long> receiveCalls{0};
std::atomic<long> sendCalls{0};

bool isMountPoint(const char* path) {
  struct stat here, parent;
  std::string up = std::string(path) + "/..";
  return stat(path, &here) == 0 && stat(up.c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

double nowSeconds() {
  struct timeval t;
  gettimeofday(&t, nullptr);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// A value of the "KEY: value" line of /proc/self/FILE, or -1. FILE
// "task/TID/io" counts that thread's own I/O, without reaped children's.
long long procValue(const char* file, const char* key) {
  char path[128];
  snprintf(path, sizeof path, "/proc/self/%s", file);
  FILE* f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long long value = -1;
  size_t keyLen = strlen(key);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
      value = atoll(line + keyLen + 1);
      break;
    }
  }
  fclose(f);
  return value;
}

// The directory of the build this program belongs to (BUILD/bench/bench_poll).
std::string buildDir() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return ".";
  exe[n] = '\0';
  std::string path(exe);
  path = path.substr(0, path.rfind('/'));  // BUILD/bench
  return path.substr(0, path.rfind('/'));
}

// Starts the simulator on a generated cluster; its pid, or -1.
pid_t startSimulator(const std::string& build, const char* spec) {
  int out[2];
  if (pipe(out) != 0) return -1;
  std::string binary = build + "/sim/tarnsim";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(binary.c_str(), "tarnsim", "--generate", spec, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char buf[256];
  ssize_t got = pid > 0 ? read(out[0], buf, sizeof buf - 1) : -1;  // blocks until "ready"
  // The read end stays open for the simulator's life: a later line must not kill it.
  if (got <= 0) return -1;
  buf[got] = '\0';
  return strstr(buf, "ready") != nullptr ? pid : -1;
}

struct Level {
  const char* name;
  double seconds = 0;
  double userSeconds = 0;
  double systemSeconds = 0;
  long long answerBytes = 0;  // spooled to the response file: the daemon's answers
  long long readBytes = 0;    // spool read-back and query output (socket reads not counted)
  long answers = 0;
  long receives = 0;
  int rc = 0;
};

double seconds(const struct timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs one level on this thread and records its time and I/O.
template <class F>
void measure(Level* level, F fn) {
  char io[64];
  snprintf(io, sizeof io, "task/%d/io", static_cast<int>(gettid()));
  long long w0 = procValue(io, "wchar"), r0 = procValue(io, "rchar");
  long s0 = sendCalls, c0 = receiveCalls;
  struct rusage u0, u1;
  getrusage(RUSAGE_THREAD, &u0);
  double t0 = nowSeconds();
  level->rc = fn();
  level->seconds = nowSeconds() - t0;
  getrusage(RUSAGE_THREAD, &u1);
  level->userSeconds = seconds(u1.ru_utime) - seconds(u0.ru_utime);
  level->systemSeconds = seconds(u1.ru_stime) - seconds(u0.ru_stime);
  level->answerBytes = procValue(io, "wchar") - w0;
  level->readBytes = procValue(io, "rchar") - r0;
  level->answers = sendCalls - s0;
  level->receives = receiveCalls - c0;
}

double perAnswer(long receives, long answers) {
  return answers > 0 ? static_cast<double>(receives) / static_cast<double>(answers) : 0.0;
}

int pollDisksOfAll(PollingHandler* h, ClusterInfo* dst) {
  int rc = 0;
  for (size_t i = 0; i < dst->fileSystems.size(); i++) {
    std::string name = dst->fileSystems[i]->name;
    rc |= h->updateDiskInfo(dst, name.c_str(), nullptr, 1);
  }
  return rc;
}

size_t countDisks(const ClusterInfo& c) {
  size_t n = 0;
  for (FilesystemInfo* fs : c.fileSystems) {
    for (StoragePoolInfo* pool : fs->pools) n += pool->disks.size();
  }
  return n;
}

// One full poll, level by level, in the order of the agent's start-up refresh.
void fullPoll(PollingHandler* h, ClusterInfo* dst, int round) {
  Level levels[] = {{"configuration scan"}, {"cluster"},       {"nodes"},
                    {"file systems+stats"}, {"storage pools"}, {"disks+stats"}};
  measure(&levels[0], [&] { return h->updateDiskSDRInfo(0); });
  measure(&levels[1], [&] { return h->updateClusterInfo(dst, 1) | h->getClusterInfo(dst); });
  measure(&levels[2], [&] { return h->updateNodeInfo(dst, 1); });
  measure(&levels[3], [&] { return h->updateFilesystemInfo(dst, 1); });
  measure(&levels[4], [&] { return h->updateStoragePoolInfo(dst, nullptr); });
  measure(&levels[5], [&] { return pollDisksOfAll(h, dst); });
  printf("round %d\n%-20s %9s %9s %9s %13s %13s %8s %9s %8s %3s\n", round, "level", "wall ms",
         "user ms", "sys ms", "answer bytes", "file bytes", "answers", "recv", "recv/ans", "rc");
  double total = 0;
  long long bytes = 0;
  long answers = 0, receives = 0;
  for (const Level& l : levels) {
    printf("%-20s %9.1f %9.1f %9.1f %13lld %13lld %8ld %9ld %8.1f %3d\n", l.name, l.seconds * 1e3,
           l.userSeconds * 1e3, l.systemSeconds * 1e3, l.answerBytes, l.readBytes, l.answers,
           l.receives, perAnswer(l.receives, l.answers), l.rc);
    total += l.seconds;
    bytes += l.answerBytes;
    answers += l.answers;
    receives += l.receives;
  }
  printf("%-20s %9.1f %33lld %13s %8ld %9ld %8.1f\n", "total", total * 1e3, bytes, "", answers,
         receives, perAnswer(receives, answers));
  printf("peak memory (VmHWM) %lld kB, now (VmRSS) %lld kB\n\n", procValue("status", "VmHWM"),
         procValue("status", "VmRSS"));
}

}  // namespace

// Count every receive and send of the process (the simulator and the query
// tool run in processes of their own), then do them.
extern "C" ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  using RecvFn = ssize_t (*)(int, void*, size_t, int);
  static RecvFn real = reinterpret_cast<RecvFn>(dlsym(RTLD_NEXT, "recv"));
  receiveCalls++;
  return real(fd, buffer, length, flags);
}

extern "C" ssize_t send(int fd, const void* buffer, size_t length, int flags) {
  using SendFn = ssize_t (*)(int, const void*, size_t, int);
  static SendFn real = reinterpret_cast<SendFn>(dlsym(RTLD_NEXT, "send"));
  sendCalls++;
  return real(fd, buffer, length, flags);
}

int main(int argc, char** argv) {
  const char* spec = argc > 1 ? argv[1] : "1024,16,4,64";
  int rounds = argc > 2 ? atoi(argv[2]) : 2;
  if (!isMountPoint("/var/tarnfs") || !isMountPoint("/usr/lpp/tarnfs")) {
    fprintf(stderr, "bench_poll: run it inside the sandbox: tests/sandbox.sh %s\n", argv[0]);
    return 2;
  }
  std::string build = buildDir();
  std::string tool = build + "/sim/tncfgdump";
  unlink(kQueryTool);
  if (symlink(tool.c_str(), kQueryTool) != 0) return perror("bench_poll: symlink"), 1;
  pid_t sim = startSimulator(build, spec);
  if (sim < 0) return fprintf(stderr, "bench_poll: simulator did not start\n"), 1;
  printf(
      "cluster %s (nodes,file systems,pools per fs,disks per pool); memory before start-up "
      "%lld kB\n\n",
      spec, procValue("status", "VmHWM"));
  int rc = PollingHandler::init(0);
  if (rc == 0) {
    ClusterInfo dst(nullptr);
    for (int r = 1; r <= rounds; r++) fullPoll(thePollingHandler, &dst, r);
    printf("polled: %zu nodes, %zu file systems, %zu disks\n", dst.nodes.size(),
           dst.fileSystems.size(), countDisks(dst));
    PollingHandler::term();
  } else {
    fprintf(stderr, "bench_poll: polling handler failed to start (%d)\n", rc);
  }
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  unlink(kQueryTool);
  return rc == 0 ? 0 : 1;
}
