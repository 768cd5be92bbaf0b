// Fuzz target: the output of the configuration query tool, as the polls
// parse it.
//
// The input stands for what tncfgdump prints. The polls' own query runner
// (runQuery: the command line, the line reader that cuts long lines, and the
// record parser) reads it three times: as the cluster query (first line
// only), the node query and the disk query, followed by the configuration
// scan's sweep. The disk query then runs again on the input without its first
// line, so the sweep also removes records, and the master tree is merged into
// a copy as the disk poll does. The runner and the parsers live in
// api_poll.cc's anonymous namespace, so that file is compiled into this one.
//
// popen is replaced below: the "tool" answers with the input, and no process
// is started.
#include "api/api_poll.cc"  // NOLINT: the parsers under test are file-local there

#include <stdlib.h>

#include "fuzz/fuzz_util.h"

namespace {

const uint8_t* queryOutput = nullptr;
size_t queryOutputSize = 0;
const char kToolPrefix[] = "/usr/lpp/tarnfs/bin/tncfgdump ";

}  // namespace

// The query runner's popen: the command must name the tool; its output is the
// current input.
extern "C" FILE* popen(const char* command, const char* mode) {
  if (strncmp(command, kToolPrefix, sizeof kToolPrefix - 1) != 0 || strcmp(mode, "r") != 0) abort();
  return fuzz::openInput(queryOutput, queryOutputSize);
}

extern "C" int pclose(FILE* pipe) { return fclose(pipe); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MErrno err = 0;
  ClusterInfo master(&err), copy(&err);
  queryOutput = data;
  queryOutputSize = size;
  runQuery(kClusterQuery, 0, &master, true, applyClusterRecord);
  runQuery(kNodeQuery, 1, &master, false, applyNodeRecord);
  runQuery(kDiskQuery, 1, &master, false, applyDiskRecord);
  sweepTree(&master);
  copy.copyNodes(&master);
  mergeDisks(&master, &copy, -1);
  const uint8_t* rest = static_cast<const uint8_t*>(memchr(data, '\n', size));
  if (rest != nullptr) {
    queryOutput = rest + 1;
    queryOutputSize = size - static_cast<size_t>(queryOutput - data);
    runQuery(kDiskQuery, 0, &master, false, applyDiskRecord);
    sweepTree(&master);
    mergeDisks(&master, &copy, 0);
  }
  return 0;
}
