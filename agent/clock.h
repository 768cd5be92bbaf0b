// The monotonic clock of the agent's timeouts and deadlines.
#ifndef TNMIBD_AGENT_CLOCK_H_
#define TNMIBD_AGENT_CLOCK_H_

#include <stdint.h>
#include <time.h>

// Microseconds of CLOCK_MONOTONIC. Any thread.
inline int64_t monotonicMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

#endif  // TNMIBD_AGENT_CLOCK_H_
