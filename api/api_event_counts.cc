#include "api/api_event_counts.h"

#include <atomic>

#include "agent/clock.h"
#include "api/api_event.h"

namespace {

struct TypeCount {
  std::atomic<uint64_t> lines{0};
  std::atomic<int64_t> lastMicros{-1};
};

TypeCount counts[EVENT_TYPE_COUNT];

bool inRange(int type) { return type >= 0 && type < EVENT_TYPE_COUNT; }

}  // namespace

void countEventOfType(int type) {
  if (!inRange(type)) return;
  counts[type].lastMicros.store(monotonicMicros(), std::memory_order_relaxed);
  counts[type].lines.fetch_add(1, std::memory_order_relaxed);
}

uint64_t eventsOfTypeCount(int type) {
  return inRange(type) ? counts[type].lines.load(std::memory_order_relaxed) : 0;
}

int64_t lastEventOfTypeMicros(int type) {
  return inRange(type) ? counts[type].lastMicros.load(std::memory_order_relaxed) : -1;
}
