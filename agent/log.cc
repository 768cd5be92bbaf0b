#include "agent/log.h"

#include <stdio.h>

#include <string.h>
#include <time.h>
#include <atomic>

int ts_print(const char* message) {
  char timeText[64] = "";
  time_t now = time(nullptr);
  ctime_r(&now, timeText);
  timeText[strcspn(timeText, "\n")] = '\0';

  // Only the first line of the message is logged, cut to the buffer.
  char line[TS_PRINT_MAX + 1];
  snprintf(line, sizeof line, "%s", message != nullptr ? message : "");
  line[strcspn(line, "\n")] = '\0';

  return fprintf(stderr, "%s: tnmibd: %s\n", timeText, line);
}

namespace {
std::atomic<unsigned> missingObjects{0};
}  // namespace

void warnMibObjectMissing(const char* object, const char* suffix) {
  missingObjects.fetch_add(1, std::memory_order_relaxed);
  char message[256];
  snprintf(message, sizeof message, "Warning: object %s%s not found in MIB file.\n", object,
           suffix);
  ts_print(message);
}

unsigned missingMibObjects() { return missingObjects.load(std::memory_order_relaxed); }
