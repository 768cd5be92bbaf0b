// Fuzz target: a daemon answer through the file line reader, line counter and keyword parser,
// then in the wrapper's response file through the polls' record walks (file-local in api_poll.cc,
// hence the include). In tests/sandbox.sh only: the wrapper connects to the daemon's fixed
// socket, where this harness listens (no command is sent), and keeps its file beside it.
#include "api/api_poll.cc"  // NOLINT: the walks under test are file-local there

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "api/api_conn.h"
#include "api/api_reader.h"

namespace {

// Besides the input's own: keywords of the polls and events, one with its own blank, a bare "_".
const char* const kKeywords[] = {"_n_", "_rc_", "_fs_", "_event_", " _msg_", "_"};

TnperfWrapperUtils* wrapper = nullptr;
FILE* devNull = nullptr;

// The file-mode reader and line counter, then on every line read the keyword parser (with
// unbounded and small value buffers) and the spooling of answer lines.
void readAsFile(const uint8_t* data, size_t size) {
  ScopedFile file(size == 0 ? fopen("/dev/null", "r")
                            : fmemopen(const_cast<uint8_t*>(data), size, "r"));
  if (file.get() == nullptr) return;
  tnperf_countLines(file.get());
  char small[8];
  while (tnperf_readln(file.get(), small, nullptr, sizeof small) != -1) continue;
  rewind(file.get());
  std::vector<char> line(size + 1), value(size + 1);
  std::string chosen;
  for (int rc = 0, n = 0; rc != -1; n++) {
    rc = tnperf_readln(file.get(), line.data(), nullptr);
    if (n == 0) chosen = line.data();
    tnperf_findBlackSpace(line.data());
    tnperf_findWhiteSpace(line.data());
    for (unsigned char atStart = 0; atStart < 2; atStart++) {
      for (const char* keyword : kKeywords) {
        tnperf_grabKeywordValue(line.data(), keyword, value.data(), atStart);
      }
      tnperf_grabKeywordValue(line.data(), chosen.c_str(), value.data(), atStart);
      tnperf_grabKeywordValue(line.data(), chosen.c_str(), small, atStart, sizeof small);
    }
    tnperf_blastLineToFile(line.data(), devNull);
  }
}

// Every instance with the given prefix, from the start of the response.
template <class F>
void forEachInstance(TnperfWrapperUtils* utils, const char* prefix, F walk) {
  utils->prepBuffer();
  while (utils->getNextInstance(prefix) != 0) walk();
}

// The polls' reads of their records, the disk statistics blocks included.
void walkRecords(TnperfWrapperUtils* u) {
  MErrno err = 0;
  ClusterInfo cluster(&err);
  NodeInfo node(&err);
  FilesystemInfo fs(&err);
  StoragePoolInfo pool(&err);
  DiskInfo disk(&err);
  forEachInstance(u, "_cluster_", [&] { walkLine(u, &cluster, kClusterRows, kClusterLimit); });
  forEachInstance(u, "_node_", [&] {
    Key ip(u->getBufferedValue("_addr_", 0, 256));
    walkLine(u, &node, kNodeRows, kNodeLimit);
  });
  forEachInstance(u, "_tnperf", [&] {
    Key ip(u->getBufferedValue("_n_", 0, 256));
    walkLine(u, &node, kNodeConfigRows, kNodeConfigLimit);
  });
  forEachInstance(u, "_fsstate_", [&] { walkLine(u, &fs, kFsStateRows, kFsStateLimit); });
  forEachInstance(u, "_tnperf", [&] {
    toInt32(u->getBufferedValue("_rc_", 0, 256));
    Key name(u->getBufferedValue("_fs_", 0, 256));
    walkLine(u, &fs, kFsStatsRows, kFsStatsLimit);
  });
  forEachInstance(u, "_pool_", [&] {
    Key name(u->getBufferedValue("_pool_", 1, 256));
    walkLine(u, &pool, kPoolRows, kPoolLimit);
  });
  forEachInstance(u, "_disk_", [&] {
    Key name(u->getBufferedValue("_disk_", 1, 256));
    char failureGroup[RECORD_TEXT_SIZE];
    copyText(failureGroup, u->getBufferedValue("_fg_", 0, 256));
    WalkState state;
    state.buffered = failureGroup;
    walkLine(u, &disk, kDiskRows, kDiskLimit, &state);
  });
  bool readMin = false, writeMin = false;
  forEachInstance(u, "_tnperf", [&] {
    toInt32(u->getBufferedValue("_rc_", 0, 256));
    Key name(u->getBufferedValue("_d_", 0, 256));
    copyText(disk.nodeName, u->getBufferedValue("_nn_", 0, 256));
    walkDiskBlock(u, "_r_", &disk, kDiskReadRows, &readMin);
    walkDiskBlock(u, "_w_", &disk, kDiskWriteRows, &writeMin);
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  struct statfs fs;  // only in the sandbox's private tmpfs may the daemon's paths be made
  if (statfs("/var/tarnfs/tnperf", &fs) != 0 || fs.f_type != 0x01021994 /* tmpfs */) {
    fprintf(stderr, "fuzz_response: run inside tests/sandbox.sh (see fuzz/run.sh)\n");
    exit(2);
  }
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);  // for the wrapper's connect to succeed
  sockaddr_un address = {AF_UNIX, {}};
  copyText(address.sun_path, "/var/tarnfs/tnperf/tnperfSocket");
  unlink(address.sun_path);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0) {
    perror("fuzz_response: listen");
    exit(2);
  }
  MErrno err = 0;
  devNull = fopen("/dev/null", "w");
  wrapper = new TnperfWrapperUtils(&err, 0);
  if (err != 0 || devNull == nullptr) exit(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  readAsFile(data, size);
  // The input in the wrapper's response file, as if the daemon had answered it.
  ScopedFd fd(open(wrapper->responsePath(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (fd.get() < 0 || write(fd.get(), data, size) != static_cast<ssize_t>(size)) abort();
  walkRecords(wrapper);
  return 0;
}
