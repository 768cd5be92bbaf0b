// The agent's one logging function: a time-stamped line on standard error.
#ifndef TNMIBD_AGENT_LOG_H_
#define TNMIBD_AGENT_LOG_H_

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

#endif  // TNMIBD_AGENT_LOG_H_
