// One stream connection to the TARN daemon's command service: a UNIX-domain
// socket given by its path, or a TCP connection to a node name and port. It
// sends and receives raw bytes, reads newline-terminated lines, and hands the
// asynchronous "_event_ " lines that arrive between response lines to a
// callback instead of returning them.
//
// DESIGN (read buffer). Bytes are received in chunks of up to
// READ_BUFFER_SIZE into a buffer the element owns, not one receive call per
// byte: a large poll answers megabytes, and a call per byte was most of its
// cost. What byte-at-a-time reading guaranteed still holds, because the
// buffer is the only way in: every reader of the element (line reads, the
// response drain, the setting aside of event lines inside a response, the
// event reader's lines, raw reads) takes bytes from the buffer first and
// receives only when it is empty, and every wait for readiness (poll) looks
// at the buffer before the socket. So bytes after a line's newline are never
// lost: they wait in the buffer for the element's next reader, exactly as
// they waited in the socket before. Buffered bytes are dropped only when the
// element closes, since they belong to the connection that closed.
//
// No lock: each element is used by one thread at a time. Every send and
// receive suppresses SIGPIPE, so a vanished daemon shows as a -1 result.
#ifndef TNMIBD_API_API_CONN_ELEMENT_H_
#define TNMIBD_API_API_CONN_ELEMENT_H_

#include <stddef.h>

#include <atomic>

// A line handler or event callback: receives a line and the registered data.
typedef int (*TnperfLineHandler)(char* line, void* data);

class Tnperf_ConnectionElement {
 public:
  // Size of the read buffer: the most one receive call takes.
  enum { READ_BUFFER_SIZE = 65536 };
  // The longest a connect may take: a daemon that stops accepting must not
  // hold a thread (and a stop) in connect for ever.
  enum { CONNECT_TIMEOUT_MS = 2000 };
  // Results of takeLine.
  enum { LINE_FAILED = -1, LINE_END_OF_STREAM = 0, LINE_NEWLINE = 1, LINE_FULL = 2 };

  // Stores a copy of name; a name beginning with "/" (or a port of -1) makes
  // a named socket. Nothing is opened.
  Tnperf_ConnectionElement(const char* name, int port);
  // Closes the socket and frees the name.
  ~Tnperf_ConnectionElement();
  Tnperf_ConnectionElement(const Tnperf_ConnectionElement&) = delete;
  Tnperf_ConnectionElement& operator=(const Tnperf_ConnectionElement&) = delete;

  // Sets the trace level (0 silent, 1 progress and errors, 2 also byte counts
  // and event notes) and returns the previous one.
  short set_trace(short level);
  int get_socket() const { return socketFd; }
  const char* get_name() const { return name; }
  // The descriptor while a connection is open, else -1. Any thread: for
  // reports on the connection, never for reading or writing it.
  int liveSocket() const { return liveFd.load(std::memory_order_relaxed); }
  short get_trace() const { return trace; }
  // Bytes received and not yet taken by any reader.
  int buffered() const { return readEnd - readStart; }
  // Bounds how long a receive waits for the daemon's next bytes: -1 (the
  // default) waits for ever, otherwise a receive that gets nothing within ms
  // milliseconds fails with errno ETIMEDOUT, and one waiting when a stop is
  // requested fails with ECANCELED. Survives reconnects. Returns the
  // previous bound.
  int set_receive_timeout(int ms);

  // Opens a new connection, closing any descriptor still open first. A
  // nonzero argument turns error reporting on for good. The connect gives up
  // after CONNECT_TIMEOUT_MS (errno ETIMEDOUT), or at once when a stop is
  // requested (ECANCELED). Returns the descriptor, or -1 (reported through
  // ts_print when errors are reported or tracing is on).
  int connectSocket(int reportErrors);
  // 0 when already closed, else close's result; the element is closed after.
  int close();
  // One receive / one send of at most length bytes: the byte count, 0 at end
  // of stream (read only), or -1. A read takes buffered bytes first and then
  // does not receive. A failed read or write closes the element.
  int read(char* buffer, int length);
  int write(const char* buffer, int length);
  // Reads one line (without its newline) into buffer of length bytes and
  // returns its length, or -1: closed, end of stream before any byte, a
  // failed receive, or a line longer than length - 2 characters (one of
  // exactly length - 1 characters is reported as an overrun). Event lines go
  // to eventCallback, or are dropped without one, and are never returned. The
  // socket stays open on failure; errno is EMSGSIZE for a line too long,
  // ETIMEDOUT when the receive time-out passed, 0 at end of stream.
  int readSocketLine(char* buffer, int length);
  // Takes the next line from the buffer, receiving as needed, and stores at
  // most size - 1 of its characters in buffer, always terminated; *length is
  // the number of characters the line had so far. Returns LINE_NEWLINE when
  // its newline was taken, LINE_END_OF_STREAM when the stream ended first
  // (the text so far is stored), LINE_FAILED when a receive failed (errno
  // tells), and with stopWhenFull LINE_FULL at the first character that does
  // not fit (taken; the rest of the line stays unread). Without stopWhenFull
  // the rest of a long line is taken and dropped.
  int takeLine(char* buffer, size_t size, bool stopWhenFull, size_t* length);
  // Reads lines into buffer and hands each to handler(line, data) until the
  // handler returns nonzero: 1 ends the drain with 0, any other value is
  // returned. A failed line read returns -1.
  int drainStringSocket(char* buffer, int length, TnperfLineHandler handler, void* data);
  // Polls the descriptor for events for at most timeout milliseconds and
  // returns the system call's result; the returned events go to *revents
  // when it is given. When POLLIN is asked for and bytes are buffered, it
  // returns 1 with POLLIN at once, without asking the socket.
  int poll(short events, int timeout, short* revents = nullptr);
  // The fixed 32-bit word exchange of node/port connections: 0 on success or
  // when skipped (closed or named socket), 1 on failure (the element is then
  // closed).
  int handshake();

  // Receives each event line and eventCallbackData; null drops event lines.
  // Set by the owner before reading; survives reconnects.
  TnperfLineHandler eventCallback;
  void* eventCallbackData;

 private:
  // ts_print of "_error_ Node <name>, port <port>: Error <err> <what>: <text>"
  // when errors are reported or tracing is on.
  void reportError(const char* what, int err, const char* text);
  int failConnect(const char* what, int err);
  int setOptions();
  int connectNamed();
  int connectNodePort();
  // Receives one line into buffer; see readSocketLine (event lines included).
  int receiveLine(char* buffer, int length);
  // Waits for the socket to become readable within the receive time-out:
  // 0 when it is (or there is no bound), -1 with errno set otherwise.
  int waitReadable();
  // Refills the empty buffer with one receive: its result, as for read.
  int fill();

  char* name;
  int port;
  int socketFd;
  std::atomic<int> liveFd{-1};  // socketFd, for liveSocket
  short trace;
  unsigned reportErrors : 1;
  unsigned namedSocket : 1;
  int receiveTimeout;
  // Received bytes not yet taken are readBuffer[readStart, readEnd).
  int readStart;
  int readEnd;
  char readBuffer[READ_BUFFER_SIZE];
};

#endif  // TNMIBD_API_API_CONN_ELEMENT_H_
