// Fuzz target: the query tool's output read by the polls' line reader and record parsers (file-
// local in api_poll.cc, hence the include) as the cluster, node and disk queries, then swept and
// merged into a copy; then the disk query again without the first line, so that records go.
#include "api/api_poll.cc"  // NOLINT: the parsers under test are file-local there

namespace {

// The query runner's loop over the tool's output.
void parseOutput(const uint8_t* data, size_t size, ClusterInfo* master, bool firstLineOnly,
                 void (*apply)(ClusterInfo*, const char*)) {
  ScopedFile output(size == 0 ? nullptr : fmemopen(const_cast<uint8_t*>(data), size, "r"));
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
    size_t rest = static_cast<size_t>(newline + 1 - data);
    parseOutput(data + rest, size - rest, &master, false, applyDiskRecord);
    sweepTree(&master);
    mergeDisks(&master, &copy, 0);
  }
  return 0;
}
