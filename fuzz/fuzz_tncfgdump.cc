// Fuzz target: the query tool's output read by the polls' line reader and record parsers (file-
// local in api_poll.cc, hence the include) as the cluster, node and disk queries, then swept and
// merged into a copy; then the disk query again without the first line, so that records go.
#include "api/api_poll.cc"  // NOLINT: the parsers under test are file-local there

namespace {

// The query runner's loop over the tool's output.
template <typename Apply>
void parseOutput(const uint8_t* data, size_t size, bool firstLineOnly, Apply apply) {
  ScopedFile output(size == 0 ? nullptr : fmemopen(const_cast<uint8_t*>(data), size, "r"));
  if (output.get() == nullptr) return;
  char line[QUERY_LINE_SIZE];
  while (readQueryLine(output.get(), line)) {
    apply(line);
    if (firstLineOnly) break;
  }
}

// The disk query over the output, then its sweep.
void scanDisks(const uint8_t* data, size_t size, ClusterInfo* master) {
  DiskScan scan(master);
  parseOutput(data, size, false, [&scan](const char* line) { scan.apply(line); });
  sweepTree(master);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MErrno err = 0;
  ClusterInfo master(&err), copy(&err);
  parseOutput(data, size, true, [&master](const char* line) { applyClusterRecord(&master, line); });
  parseOutput(data, size, false, [&master](const char* line) { applyNodeRecord(&master, line); });
  scanDisks(data, size, &master);
  copy.copyNodes(&master);
  copy.copyDisks(&master, nullptr, nullptr);
  const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
  if (newline != nullptr) {
    size_t rest = static_cast<size_t>(newline + 1 - data);
    scanDisks(data + rest, size - rest, &master);
    copy.copyDisks(&master, nullptr, "system");  // one pool of every file system
  }
  return 0;
}
