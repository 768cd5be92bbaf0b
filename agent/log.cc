#include "agent/log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <atomic>

#include "agent/clock.h"
#include "agent/scoped.h"

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

int RateLimitedLog::print(const char* message) {
  unsigned long heldBack = 0;
  {
    ScopedLock lock(&mutex_);
    const int64_t now = monotonicMicros();
    if (nextAt_ != 0 && now < nextAt_) {
      ++heldBack_;
      return 0;
    }
    nextAt_ = now + int64_t{intervalSeconds_} * 1000000;
    heldBack = heldBack_;
    heldBack_ = 0;
  }
  if (heldBack == 0) {
    ts_print(message);
    return 1;
  }
  // Room is left for the count: it is never the part cut off.
  char line[TS_PRINT_MAX + 1 - 48];
  snprintf(line, sizeof line, "%s", message != nullptr ? message : "");
  line[strcspn(line, "\n")] = '\0';
  char withCount[TS_PRINT_MAX + 1];
  snprintf(withCount, sizeof withCount, "%s (%lu more held back)", line, heldBack);
  ts_print(withCount);
  return 1;
}
