// Counts of the daemon's event lines by type: how many of each type the send
// thread has taken, and when it took the last one. They only ever grow until
// the process ends; the health table reads them.
#ifndef TNMIBD_API_API_EVENT_COUNTS_H_
#define TNMIBD_API_API_EVENT_COUNTS_H_

#include <stdint.h>

// Counts one line of type (0 to 16, the row numbers of the events handler's
// type table) and stamps it with the monotonic clock; other values are
// ignored. Send thread (any thread).
void countEventOfType(int type);

// Lines of type counted since start-up; 0 for a type out of range. Any thread.
uint64_t eventsOfTypeCount(int type);

// Monotonic microseconds of the last line of type, or -1 when none has come
// (or the type is out of range). Any thread.
int64_t lastEventOfTypeMicros(int type);

#endif  // TNMIBD_API_API_EVENT_COUNTS_H_
