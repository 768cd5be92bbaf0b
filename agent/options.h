// The command line and the agent's own environment variables.
#ifndef TNMIBD_AGENT_OPTIONS_H_
#define TNMIBD_AGENT_OPTIONS_H_

// True when the first argument is exactly "-D" (the SNMP library's
// debugging). Reads no byte past the end of any argument. Any thread.
bool debugRequested(int argc, char* const* argv);

// The variable that sets how long the main loop keeps polling after a turn
// that served a request, in microseconds, and its default and largest values.
#define BUSY_POLL_ENV "TNMIBD_BUSY_POLL_MICROS"
const long kDefaultBusyPollMicros = 200;
const long kMaxBusyPollMicros = 1000000;

// The busy-poll time for the variable's value: kDefaultBusyPollMicros when
// value is null (unset), the number when value is a whole decimal number
// from 0 to kMaxBusyPollMicros, else -1. Any thread.
long parseBusyPollMicros(const char* value);

#endif  // TNMIBD_AGENT_OPTIONS_H_
