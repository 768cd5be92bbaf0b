// The agent's one logging function: a time-stamped line on standard error.
#ifndef TNMIBD_AGENT_LOG_H_
#define TNMIBD_AGENT_LOG_H_

#include <pthread.h>
#include <stdint.h>

// Longest message part written; anything after it is cut, never overrun.
enum { TS_PRINT_MAX = 1023 };

// Writes "<time text>: tnmibd: <first line of message>\n" to standard error in
// one formatted write and returns that write's result. Safe from any thread.
int ts_print(const char* message);

// Reports a MIB object the agent needs that the MIB file does not define:
// "Warning: object <object><suffix> not found in MIB file." through
// ts_print, and counts it. Any thread.
void warnMibObjectMissing(const char* object, const char* suffix = "");

// How many objects warnMibObjectMissing has reported. Any thread.
unsigned missingMibObjects();

// A warning that a fault can repeat without end (a daemon flooding bad
// lines, a table row refused at every poll) goes through one of these: it is
// logged at most once per interval, and the next one logged says how many
// were held back. Any thread. Trivially destructible, so that a static one
// outlives every thread that may still log at exit.
class RateLimitedLog {
 public:
  constexpr explicit RateLimitedLog(int intervalSeconds) : intervalSeconds_(intervalSeconds) {}
  RateLimitedLog(const RateLimitedLog&) = delete;
  RateLimitedLog& operator=(const RateLimitedLog&) = delete;

  // ts_print of message, with " (N more held back)" when N were; or nothing
  // within the interval after the last one logged. 1 logged, 0 held back.
  int print(const char* message);

 private:
  const int intervalSeconds_;
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  int64_t nextAt_ = 0;  // monotonic microseconds; 0 before the first
  unsigned long heldBack_ = 0;
};

#endif  // TNMIBD_AGENT_LOG_H_
