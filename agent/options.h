// The command line: only the first argument is examined.
#ifndef TNMIBD_AGENT_OPTIONS_H_
#define TNMIBD_AGENT_OPTIONS_H_

// True when the first argument is exactly "-D" (the SNMP library's
// debugging). Reads no byte past the end of any argument. Any thread.
bool debugRequested(int argc, char* const* argv);

#endif  // TNMIBD_AGENT_OPTIONS_H_
