// The monotonic clock of the agent's timeouts and deadlines.
#ifndef TNMIBD_AGENT_CLOCK_H_
#define TNMIBD_AGENT_CLOCK_H_

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

// Microseconds of CLOCK_MONOTONIC. Any thread.
inline int64_t monotonicMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The clock of the data's time stamps, ages and staleness checks: monotonic,
// so that a step of the wall clock neither stops the polls (a stamp in the
// future looks fresh) nor makes data look new. It counts from a day before the
// monotonic clock's origin, so that a stamp never set (zero) is always older
// than any staleness limit, even just after boot.
const int64_t kStampOriginSeconds = 86400;

// Seconds of the stamp clock. Any thread.
inline int64_t stampSeconds() { return monotonicMicros() / 1000000 + kStampOriginSeconds; }

// The stamp clock's time now, into *t. Any thread.
inline void stampTime(struct timeval* t) {
  const int64_t micros = monotonicMicros();
  t->tv_sec = static_cast<time_t>(micros / 1000000 + kStampOriginSeconds);
  t->tv_usec = static_cast<suseconds_t>(micros % 1000000);
}

#endif  // TNMIBD_AGENT_CLOCK_H_
