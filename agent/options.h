// The command line and the agent's own environment variables.
#ifndef TNMIBD_AGENT_OPTIONS_H_
#define TNMIBD_AGENT_OPTIONS_H_

// What the first argument asks for. Only the first argument is examined, and
// any other value runs the agent: "-D" (exactly) with the SNMP library's
// debugging, "--help" and "--version" print their text and exit instead.
enum FirstArgument { ARG_RUN = 0, ARG_DEBUG, ARG_HELP, ARG_VERSION };

// Reads no byte past the end of any argument. Any thread.
FirstArgument parseFirstArgument(int argc, char* const* argv);

// True when the first argument is exactly "-D". Any thread.
bool debugRequested(int argc, char* const* argv);

// The text --help prints, and the version --version prints.
extern const char* const kUsageText;
extern const char* const kAgentVersion;

// The variable that sets how long the main loop keeps polling after a turn
// that served a request, in microseconds, and its default and largest values.
#define BUSY_POLL_ENV "TNMIBD_BUSY_POLL_MICROS"
const long kDefaultBusyPollMicros = 200;
const long kMaxBusyPollMicros = 1000000;

// The busy-poll time for the variable's value: kDefaultBusyPollMicros when
// value is null (unset), the number when value is a whole decimal number
// from 0 to kMaxBusyPollMicros, else -1. Any thread.
long parseBusyPollMicros(const char* value);

// The variable that tells the agent the master's AgentX timeout, in seconds:
// a request waits for the daemon's answers for four fifths of it at most, and
// is answered from the data at hand after that. Default and largest values.
#define AGENTX_TIMEOUT_ENV "TNMIBD_AGENTX_TIMEOUT"
const long kDefaultAgentXTimeout = 10;
const long kMaxAgentXTimeout = 300;

// The timeout for the variable's value: kDefaultAgentXTimeout when value is
// null, the number when it is a whole decimal number from 1 to
// kMaxAgentXTimeout, else -1. Any thread.
long parseAgentXTimeout(const char* value);

// The SNMP library's environment as the agent wants it when the caller names
// none: the library's state in the agent's own directory, not in the one the
// master shares, and only the base module that TARN-MIB's traps need. A
// variable the caller set is left alone. Main thread, before the library
// starts; returns 0, or -1 when a variable could not be set.
struct LibraryDefault {
  const char* name;
  const char* value;
};
extern const LibraryDefault kLibraryDefaults[];
int setLibraryDefaults();

#endif  // TNMIBD_AGENT_OPTIONS_H_
