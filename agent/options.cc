#include "agent/options.h"

#include <stdlib.h>
#include <string.h>

#ifndef TNMIBD_VERSION
#define TNMIBD_VERSION "unknown"
#endif

const char* const kAgentVersion = TNMIBD_VERSION;

const char* const kUsageText =
    "Usage: tnmibd [-D | --help | --version]\n"
    "SNMP AgentX subagent of the TARN file system: serves TARN-MIB through the\n"
    "node's master agent and turns daemon events into traps. It runs in the\n"
    "foreground until SIGTERM or SIGINT; SIGHUP is ignored.\n"
    "\n"
    "  -D         turn on the Net-SNMP library's debugging output\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Net-SNMP settings (agentXSocket, agentxPingInterval, ...) are read from\n"
    "tarnMgmt.conf in the library's configuration path; see tnmibd(8).\n";

// Where the library keeps its state, and the modules it loads, when the
// environment names none. The directory is the one the packaged service gets.
const LibraryDefault kLibraryDefaults[] = {
    {"SNMP_PERSISTENT_DIR", "/run/tnmibd"},
    {"MIBS", "SNMPv2-MIB"},
};

FirstArgument parseFirstArgument(int argc, char* const* argv) {
  if (argc < 2 || argv[1] == nullptr) return ARG_RUN;
  static const struct {
    const char* text;
    FirstArgument action;
  } kArguments[] = {{"-D", ARG_DEBUG}, {"--help", ARG_HELP}, {"--version", ARG_VERSION}};
  for (const auto& a : kArguments)
    if (strcmp(argv[1], a.text) == 0) return a.action;
  return ARG_RUN;
}

bool debugRequested(int argc, char* const* argv) {
  return parseFirstArgument(argc, argv) == ARG_DEBUG;
}

int setLibraryDefaults() {
  for (const LibraryDefault& d : kLibraryDefaults)
    if (setenv(d.name, d.value, 0) != 0) return -1;
  return 0;
}

namespace {

// fallback when value is null; the number when value is a whole decimal
// number from low to high; else -1.
long parseWholeNumber(const char* value, long fallback, long low, long high) {
  if (value == nullptr) return fallback;
  if (*value == '\0') return -1;
  long number = 0;
  for (const char* c = value; *c != '\0'; c++) {
    if (*c < '0' || *c > '9') return -1;
    number = number * 10 + (*c - '0');
    if (number > high) return -1;
  }
  return number >= low ? number : -1;
}

}  // namespace

long parseBusyPollMicros(const char* value) {
  return parseWholeNumber(value, kDefaultBusyPollMicros, 0, kMaxBusyPollMicros);
}

long parseAgentXTimeout(const char* value) {
  return parseWholeNumber(value, kDefaultAgentXTimeout, 1, kMaxAgentXTimeout);
}
