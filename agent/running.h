// Whether the process goes on, and the status it ends with.
//
// Only main ends the process. A stop request (a signal, or a worker thread
// that finds the TARN daemon gone) clears keepRunning and records the exit
// status; main's loop then sees the flag, stops the workers in order and
// exits with processExitStatus(). A thread that finds the daemon gone never
// calls exit itself: that would run the static destructors while main is
// still inside the structures they free.
#ifndef TNMIBD_AGENT_RUNNING_H_
#define TNMIBD_AGENT_RUNNING_H_

#include <poll.h>

#include <atomic>

#include "agent/clock.h"

// The main loop runs while this is nonzero. Set by main after init_snmp,
// cleared by requestStop from any thread or a signal handler: an atomic, as
// a worker thread now writes it while main reads it.
inline std::atomic<int> keepRunning{0};

namespace running_detail {
inline std::atomic<bool> stopRequested{false};
inline std::atomic<int> exitStatus{0};
}  // namespace running_detail

// Asks main to stop; a nonzero status becomes the exit status (the first one
// given wins). Any thread, and signal handlers (lock-free atomics only).
inline void requestStop(int status) {
  int none = 0;
  if (status != 0) running_detail::exitStatus.compare_exchange_strong(none, status);
  running_detail::stopRequested.store(true);
  keepRunning = 0;
}

// True once requestStop was called. Any thread.
inline bool stopRequested() { return running_detail::stopRequested.load(); }

// The status main exits with: 0, or the first nonzero status requested.
inline int processExitStatus() { return running_detail::exitStatus.load(); }

// Forgets a stop request and its status (tests only, between cases).
inline void clearStopRequest() {
  running_detail::stopRequested.store(false);
  running_detail::exitStatus.store(0);
}

// Sleeps ms milliseconds in slices of at most 50 ms, returning early (false)
// once a stop is requested; true when the whole time passed. Any thread.
inline bool sleepUnlessStopped(int ms) {
  const int64_t until = monotonicMicros() + static_cast<int64_t>(ms) * 1000;
  for (;;) {
    if (stopRequested()) return false;
    int64_t left = (until - monotonicMicros()) / 1000;
    if (left <= 0) return true;
    ::poll(nullptr, 0, left < 50 ? static_cast<int>(left) : 50);
  }
}

#endif  // TNMIBD_AGENT_RUNNING_H_
