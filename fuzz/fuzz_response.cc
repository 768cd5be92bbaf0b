// Fuzz target: a daemon answer, as the agent reads and parses it.
//
// The input is the text of a response. It goes through the file line reader
// (tnperf_readln, tnperf_countLines), the keyword parser
// tnperf_grabKeywordValue with some keywords of the polls and events and with
// one the input chooses (its first line), and then into the command wrapper's
// response file, from which the polls' own record walks read it:
// getNextInstance, getBufferedValue, beginParsing and getNextToken, and the
// keyword tables with their conversions. (The socket side of the line reader
// is the connection's, and is left to its own tests.) The walks and
// tables live in api_poll.cc's anonymous namespace, so that file is compiled
// into this one rather than exposing them.
//
// Runs inside tests/sandbox.sh: the wrapper keeps its response file under the
// daemon's fixed directory and connects to the fixed socket path, where this
// harness listens (it never accepts, and no command is sent).
#include "api/api_poll.cc"  // NOLINT: the walks under test are file-local there

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "api/api_conn.h"
#include "api/api_reader.h"
#include "fuzz/fuzz_util.h"

namespace {

const char kSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";

// Keywords looked up in every line besides the input's own: some of the polls
// and events, one that begins with its own blank, and a bare underscore.
const char* const kKeywords[] = {"_n_", "_rc_", "_fs_", "_event_", " _msg_", "_"};

TnperfWrapperUtils* wrapper = nullptr;
FILE* devNull = nullptr;

// Listens on the daemon's socket path so that the wrapper's connect succeeds.
int listenOnDaemonPath() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  copyText(address.sun_path, kSocketPath);
  unlink(kSocketPath);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0) {
    perror("fuzz_response: listen");
    return -1;
  }
  return fd;
}

// The keyword parser on one line, with unbounded and with small value buffers.
void grabAll(const std::string& line, const std::string& chosen) {
  std::vector<char> value(line.size() + 1);
  char small[8];
  tnperf_findBlackSpace(line.c_str());
  tnperf_findWhiteSpace(line.c_str());
  for (unsigned char atStart = 0; atStart < 2; atStart++) {
    for (const char* keyword : kKeywords) {
      tnperf_grabKeywordValue(line.c_str(), keyword, value.data(), atStart);
    }
    tnperf_grabKeywordValue(line.c_str(), chosen.c_str(), value.data(), atStart);
    tnperf_grabKeywordValue(line.c_str(), chosen.c_str(), small, atStart, sizeof small);
  }
}

// The file-mode line reader and the line counter, then the keyword parser on
// every line read, which is also spooled as the wrapper spools answer lines.
void readAsFile(const uint8_t* data, size_t size) {
  ScopedFile file(fuzz::openInput(data, size));
  if (file.get() == nullptr) return;
  tnperf_countLines(file.get());
  char small[16];
  while (tnperf_readln(file.get(), small, nullptr, sizeof small) != -1) {
  }
  rewind(file.get());
  std::vector<char> line(size + 1);
  std::string chosen;
  bool first = true;
  int rc;
  do {
    rc = tnperf_readln(file.get(), line.data(), nullptr);
    if (first) chosen = line.data();
    first = false;
    grabAll(line.data(), chosen);
    tnperf_blastLineToFile(line.data(), devNull);
  } while (rc != -1);
}

// Every instance with the given prefix, from the start of the response.
template <class F>
void forEachInstance(TnperfWrapperUtils* utils, const char* prefix, F walk) {
  utils->prepBuffer();
  while (utils->getNextInstance(prefix) != 0) walk();
}

// The node and file system polls' reads of their records.
void walkNodeAndFsRecords(TnperfWrapperUtils* u) {
  MErrno err = 0;
  ClusterInfo cluster(&err);
  NodeInfo node(&err);
  FilesystemInfo fs(&err);
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
}

// The pool and disk polls' reads of their records, the statistics blocks included.
void walkPoolAndDiskRecords(TnperfWrapperUtils* u) {
  MErrno err = 0;
  StoragePoolInfo pool(&err);
  DiskInfo disk(&err);
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

// Puts the input in the wrapper's response file, as if the daemon had answered it.
bool storeResponse(const uint8_t* data, size_t size) {
  ScopedFd fd(open(wrapper->responsePath(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  return fd.get() >= 0 && write(fd.get(), data, size) == static_cast<ssize_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!fuzz::inSandbox()) {
    fprintf(stderr, "fuzz_response: run inside tests/sandbox.sh (see fuzz/run.sh)\n");
    exit(2);
  }
  MErrno err = 0;
  devNull = fopen("/dev/null", "w");
  if (listenOnDaemonPath() < 0 || devNull == nullptr) exit(2);
  wrapper = new TnperfWrapperUtils(&err, 0);
  if (err != 0) exit(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  readAsFile(data, size);
  if (!storeResponse(data, size)) abort();
  walkNodeAndFsRecords(wrapper);
  walkPoolAndDiskRecords(wrapper);
  return 0;
}
