// The command wrapper: one connection to the TARN daemon's command socket used
// either as a command/response service (the polling side) or as the event
// stream (the events handler).
//
// Command cycle: processCommand (repeat while it returns 2), prepBuffer,
// getNextInstance per record line, getBufferedValue or beginParsing and
// getNextToken per value, cleanupCommand before the next command. Every answer
// line is spooled to a response file private to this instance and process,
// "/var/tarnfs/tnperf/response.<pid>.<n>". The file is removed by the
// destructor, and by an exit hook at any exit of the process (status 0 or 1)
// while its instance lives; the first instance of a process removes the
// files of processes that no longer run. There is no lock: the polling side's
// instance is used under the polling handler's mutex, the events side's
// instance by the events handler's receive thread only.
#ifndef TNMIBD_API_API_CONN_H_
#define TNMIBD_API_API_CONN_H_

#include <stdio.h>

#include "api/merrno.h"

class Tnperf_ConnectionElement;

class TnperfWrapperUtils {
 public:
  // Size of lineBuffer, valueBuffer and resultBuffer.
  enum { BUFFER_SIZE = 1048576 };
  // Size of the command buffer: a command of at most 10,238 characters, the
  // appended newline and the terminator.
  enum { COMMAND_BUFFER_SIZE = 10240 };
  enum { MAX_COMMAND_LENGTH = COMMAND_BUFFER_SIZE - 2 };
  // How long the daemon may stay silent inside an answer before the command
  // connection is given up: far longer than a healthy daemon pauses, and
  // short enough that a request waiting on the poll still gets an answer
  // before the master gives up on this subagent.
  enum { RESPONSE_SILENCE_MS = 5000 };

  // Opens the response file and connects to the daemon socket. *err is 0 when
  // the instance is ready, 1 otherwise (the cause has been logged).
  TnperfWrapperUtils(MErrno* err, int debug);
  // Closes and removes the response file, closes the connection and the
  // event pipe. Not while another thread is inside waitEvents.
  ~TnperfWrapperUtils();
  TnperfWrapperUtils(const TnperfWrapperUtils&) = delete;
  TnperfWrapperUtils& operator=(const TnperfWrapperUtils&) = delete;

  // Creates the polling side's instance in theTnperfWrapperUtils unless one
  // exists. 0 on success, else the constructor's error value.
  static int init(int debug);
  // Destroys theTnperfWrapperUtils and clears it.
  static void term();

  // Set-up steps of the constructor: 0 or 1.
  int commonInits();
  int connect();

  // Sends one command line without its leading whitespace. 0 sent; 2 not
  // sent but reconnected (send it again); -1 refused (too long, or no
  // connection). Ends the process with status 1 when the reconnect fails.
  int sendCommand(const char* command);
  // Spools the answer, up to and including "_response_ end", into the
  // response file; event lines in between are not stored. Returns 0, or -1
  // when the answer failed (a line over 1,048,574 characters, silence for
  // RESPONSE_SILENCE_MS, or the connection lost inside it): its lines are
  // taken out of the file again, one warning is logged and the connection is
  // re-established, so the next command reads its own answer. Ends the
  // process with status 1 when the reconnect fails.
  int getResponse(const char* command);
  // sendCommand, then getResponse when it was sent: 0 answered, 2 reconnected
  // (send again), -1 refused or the answer failed.
  int processCommand(const char* command);
  // Empties the response file. 0, or -1 when it could not be reopened (the
  // next command is then refused until a later cleanupCommand succeeds).
  int cleanupCommand();

  // Number of response lines beginning with prefix; leaves the file at its end.
  int getInstanceCount(const char* prefix);
  // Rewinds the response file: 0 on success.
  int prepBuffer();
  // 1 when the next line beginning with prefix is now the current line, 0 at
  // the end of the response.
  int getNextInstance(const char* prefix);
  // The keyword's value in the current line, at most length characters, or
  // "" when absent; never null. Valid until the next call.
  char* getBufferedValue(const char* keyword, unsigned char atStart, int length);
  // Splits the current line in place and returns its first token unchanged
  // (null for a blank line); getNextToken returns the following ones with one
  // leading and one trailing single quote removed, null at the end or before
  // any beginParsing.
  char* beginParsing();
  char* getNextToken();

  // Prepares the event connection: callback receives every event line, with
  // null data; the event stream may stay silent for any time. Ends the
  // process with status 1 when the pipe cannot be made.
  void registerEvents(int (*callback)(char* line, void* data));
  // Reads the event connection for ever, reconnecting when it breaks; ends
  // the process with status 1 when the reconnect fails. Never returns.
  void waitEvents();

  // The response file's path (for tests and diagnostics).
  const char* responsePath() const { return responseFilePath; }
  // The connection element (owned by this instance; null before connect).
  Tnperf_ConnectionElement* element() const { return connection; }

 private:
  // Reconnects the command connection; ends the process when that fails.
  void reconnectOrExit();
  // Drops what a failed answer wrote after offset start and re-establishes
  // the connection; err is the drain's errno. Returns -1.
  int dropFailedAnswer(long start, int err);

  Tnperf_ConnectionElement* connection;
  FILE* responseFile;
  char responseFilePath[256];
  char* lineBuffer;
  char* valueBuffer;
  char* resultBuffer;
  char* tokenPosition;
  FILE* eventPipeRead;
  FILE* eventPipeWrite;
  int debug;
};

// The polling side's instance, null when there is none.
extern TnperfWrapperUtils* theTnperfWrapperUtils;

#endif  // TNMIBD_API_API_CONN_H_
