#include "agent/options.h"

#include <string.h>

bool debugRequested(int argc, char* const* argv) {
  return argc > 1 && argv[1] != nullptr && strcmp(argv[1], "-D") == 0;
}

long parseBusyPollMicros(const char* value) {
  if (value == nullptr) return kDefaultBusyPollMicros;
  if (*value == '\0') return -1;
  long micros = 0;
  for (const char* c = value; *c != '\0'; c++) {
    if (*c < '0' || *c > '9') return -1;
    micros = micros * 10 + (*c - '0');
    if (micros > kMaxBusyPollMicros) return -1;
  }
  return micros;
}
