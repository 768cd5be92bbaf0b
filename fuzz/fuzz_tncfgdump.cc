// Fuzz target: the output of the configuration query tool, as the polls
// parse it.
//
// The input stands for what tncfgdump prints. The polls' own line reader
// (readQueryLine, which cuts long lines) and record parsers read it three
// times, as the query runner does: as the cluster query (first line only),
// the node query and the disk query, followed by the configuration scan's
// sweep. The disk query then reads the input again without its first line, so
// that the sweep also removes records, and the master tree is merged into a
// copy as the disk poll does. The reader and the parsers live in
// api_poll.cc's anonymous namespace, so that file is compiled into this one;
// how the tool is started is left out, so no process is started.
#include "api/api_poll.cc"  // NOLINT: the parsers under test are file-local there

#include "fuzz/fuzz_util.h"

namespace {

// The query runner's loop over the tool's output.
void parseOutput(const uint8_t* data, size_t size, ClusterInfo* master, bool firstLineOnly,
                 void (*apply)(ClusterInfo*, const char*)) {
  ScopedFile output(fuzz::openInput(data, size));
  if (output.get() == nullptr) return;
  char line[QUERY_LINE_SIZE];
  while (readQueryLine(output.get(), line)) {
    apply(master, line);
    if (firstLineOnly) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MErrno err = 0;
  ClusterInfo master(&err), copy(&err);
  parseOutput(data, size, &master, true, applyClusterRecord);
  parseOutput(data, size, &master, false, applyNodeRecord);
  parseOutput(data, size, &master, false, applyDiskRecord);
  sweepTree(&master);
  copy.copyNodes(&master);
  mergeDisks(&master, &copy, -1);
  const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
  if (newline != nullptr) {
    const uint8_t* rest = newline + 1;
    parseOutput(rest, size - static_cast<size_t>(rest - data), &master, false, applyDiskRecord);
    sweepTree(&master);
    mergeDisks(&master, &copy, 0);
  }
  return 0;
}
