// Helpers shared by the fuzz harnesses: the input split into NUL-terminated
// lines, the input as a read-only FILE*, and the check that the daemon's
// fixed paths are the sandbox's private ones.
#ifndef TNMIBD_FUZZ_FUZZ_UTIL_H_
#define TNMIBD_FUZZ_FUZZ_UTIL_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <string>
#include <vector>

namespace fuzz {

// The input's lines without their newlines (a last line without one counts).
inline std::vector<std::string> splitLines(const uint8_t* data, size_t size) {
  std::vector<std::string> lines;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  for (size_t i = 0; i <= size; i++) {
    if (i < size && text[i] != '\n') continue;
    if (i < size || i > start) lines.emplace_back(text + start, i - start);
    start = i + 1;
  }
  return lines;
}

// The input as a stream to read from; /dev/null for an empty input. The
// caller closes it.
inline FILE* openInput(const uint8_t* data, size_t size) {
  if (size == 0) return fopen("/dev/null", "r");
  return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

// True inside tests/sandbox.sh, where /var/tarnfs is a private tmpfs: only
// there may a harness create the daemon's socket and the response files.
inline bool inSandbox() {
  struct statfs fs;
  struct stat dir;
  return statfs("/var/tarnfs", &fs) == 0 && fs.f_type == 0x01021994 /* tmpfs */ &&
         stat("/var/tarnfs/tnperf", &dir) == 0 && S_ISDIR(dir.st_mode);
}

}  // namespace fuzz

#endif  // TNMIBD_FUZZ_FUZZ_UTIL_H_
