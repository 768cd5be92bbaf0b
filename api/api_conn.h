// The command wrapper: one connection to the TARN daemon's command socket used
// either as a command/response service (the polling side) or as the event
// stream (the events handler).
//
// Command cycle: processCommand (repeat while it returns 2), prepBuffer,
// getNextInstance per record line, getBufferedValue or beginParsing and
// getNextToken per value, cleanupCommand before the next command. Every answer
// line is spooled to a response file private to this instance and process,
// "/var/tarnfs/tnperf/response.<pid>.<n>", made new (never one found at
// the path) in a directory that no other user may write to, and kept open:
// it is never opened again by its name. The file is removed by the
// destructor, and by an exit hook at any exit of the process (status 0 or 1)
// while its instance lives; the first instance of a process removes the
// files of processes that no longer run. There is no lock: the polling side's
// instance is used under the polling handler's mutex, the events side's
// instance by the events handler's receive thread only.
#ifndef TNMIBD_API_API_CONN_H_
#define TNMIBD_API_API_CONN_H_

#include <stdint.h>
#include <stdio.h>

#include "api/merrno.h"

class Tnperf_ConnectionElement;

// Spaces out reconnects: the first attempt after a steady spell goes at once;
// each attempt that follows the one before within RECONNECT_STEADY_MS waits
// twice as long as the last wait, from RECONNECT_FIRST_DELAY_MS up to
// RECONNECT_MAX_DELAY_MS. Used by one thread at a time (its wrapper's).
class ReconnectPacer {
 public:
  enum { RECONNECT_FIRST_DELAY_MS = 50, RECONNECT_MAX_DELAY_MS = 2000, RECONNECT_STEADY_MS = 1000 };

  // Milliseconds to wait before an attempt made at now (monotonicMicros),
  // which is noted as made; 0 at once.
  int nextDelay(int64_t now);
  // True for the first delayed attempt of a streak: the one to log.
  bool firstDelayOfStreak() const { return delayMs_ == RECONNECT_FIRST_DELAY_MS; }

 private:
  int64_t lastAttempt_ = INT64_MIN / 2;
  int delayMs_ = 0;
};

class TnperfWrapperUtils {
 public:
  // Size of lineBuffer, valueBuffer and resultBuffer.
  enum { BUFFER_SIZE = 1048576 };
  // Size of the command buffer: a command of at most 10,238 characters, the
  // appended newline and the terminator.
  enum { COMMAND_BUFFER_SIZE = 10240 };
  enum { MAX_COMMAND_LENGTH = COMMAND_BUFFER_SIZE - 2 };
  // How long the daemon may stay silent inside an answer before the command
  // connection is given up: far longer than a healthy daemon pauses (its
  // largest answers start within milliseconds), yet under the 6 s (1 s time-out,
  // five retries) after which the master, at its defaults, answers genErr
  // and closes this subagent's session while a poll holds the main thread.
  enum { RESPONSE_SILENCE_MS = 5000 };
  // The most one answer may take, and its most bytes: a daemon that keeps
  // sending without the end line must neither hold the caller past the
  // master's patience nor fill the response directory.
  enum { RESPONSE_TOTAL_MS = 5000 };
  enum : long { RESPONSE_MAX_BYTES = 64L << 20 };

  // Checks the response directory, makes the response file and connects to
  // the daemon socket. *err is 0 when the instance is ready, 1 otherwise (the
  // cause has been logged).
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

  // How long a reconnect keeps trying a daemon that refuses (with the
  // pacer's back-off) before the daemon counts as gone.
  enum { RECONNECT_GIVE_UP_MS = 3000 };

  // Sends one command line without its leading whitespace. 0 sent; 2 not
  // sent but reconnected at once (send it again); -1 refused (too long, no
  // connection, a stop, or a reconnect that had to back off: the connection
  // is made for the next command). When the daemon is gone, logs
  // "Error: TARN daemon connection failed, exiting..." and asks main to stop
  // with status 1 (see agent/running.h).
  int sendCommand(const char* command);
  // Spools the answer, up to and including "_response_ end", into the
  // response file; event lines in between are not stored. Returns 0, or -1
  // when the answer failed (a line over 1,048,574 characters, silence for
  // RESPONSE_SILENCE_MS, more than RESPONSE_TOTAL_MS or RESPONSE_MAX_BYTES in
  // all, the connection lost inside it, or a stop request): its lines are
  // taken out of the file again, one warning is logged and the connection is
  // re-established, so the next command reads its own answer (at a stop it
  // is only closed, silently); a daemon gone is handled as in sendCommand.
  int getResponse(const char* command);
  // sendCommand, then getResponse when it was sent: 0 answered, 2 reconnected
  // (send again), -1 refused or the answer failed.
  int processCommand(const char* command);
  // Empties the response file, which stays open for the instance's life.
  // 0, or -1 when it could not be emptied (the next command is then refused
  // until a later cleanupCommand succeeds).
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
  // null data; the event stream may stay silent for any time. 0, or -1 when
  // the pipe cannot be made (logged).
  int registerEvents(int (*callback)(char* line, void* data));
  // Reads the event connection, reconnecting with back-off when it breaks,
  // until a stop is requested or the daemon is gone: then it logs
  // "Error: Events handler TARN daemon connection failed, exiting...", asks
  // main to stop with status 1 and returns. The events receive thread only.
  void waitEvents();

  // The response file's path (for tests and diagnostics).
  const char* responsePath() const { return responseFilePath; }
  // The connection element (owned by this instance; null before connect).
  Tnperf_ConnectionElement* element() const { return connection; }

 private:
  // Reconnects after the pacer's delay, retrying a refused connect for up to
  // RECONNECT_GIVE_UP_MS. 0 connected at once, 1 connected after a back-off,
  // -1 at a stop or with the daemon gone (goneMessage logged, stop requested
  // with status 1).
  int reconnect(const char* side, const char* goneMessage);
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
  int fileEmptied;  // the last cleanupCommand's result
  ReconnectPacer pacer;
};

// The polling side's instance, null when there is none.
extern TnperfWrapperUtils* theTnperfWrapperUtils;

#endif  // TNMIBD_API_API_CONN_H_
