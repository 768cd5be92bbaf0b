#include "api/api_reader.h"

#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "agent/log.h"
#include "api/api_conn_element.h"

// Preconditions of the event reader that hold whenever the caller keeps its
// contract; checked in every build, not only in debug builds.
#define TN_CHECK(condition) \
  ((condition) ? (void)0 : checkFailed(#condition, __FILE__, __LINE__, __func__))

namespace {

// Reports a broken precondition in the C library's assertion format and aborts.
[[noreturn]] void checkFailed(const char* condition, const char* file, int line,
                              const char* function) {
  fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, condition);
  abort();
}

const char kResponseEnd[] = "_response_ end";
// How long a burst of event lines may pause before the reader looks at the file again.
const int kBurstWaitMs = 100;

int readFileLine(FILE* file, char* buffer, size_t bufferSize) {
  size_t count = 0;
  int c;
  flockfile(file);
  while ((c = getc_unlocked(file)) != EOF && c != '\n') {
    if (count + 1 < bufferSize) buffer[count++] = static_cast<char>(c);
  }
  funlockfile(file);
  if (bufferSize > 0) buffer[count] = '\0';
  return c == '\n' ? '\n' : -1;
}

// True when the socket shows an error or an invalid descriptor, or a hang-up
// with nothing left to read, or the check itself fails.
bool connectionBroken(Tnperf_ConnectionElement* element) {
  short revents = 0;
  if (element->poll(POLLIN, 1, &revents) < 0) return true;
  if (revents & (POLLERR | POLLNVAL)) return true;
  return (revents & POLLHUP) && !(revents & POLLIN);
}

void traceAsyncData(Tnperf_ConnectionElement* element) {
  time_t now = time(nullptr);
  char* timeString = ctime(&now);
  TN_CHECK(timeString != 0);
  timeString[strcspn(timeString, "\n")] = '\0';
  fprintf(stderr, "_trace_ Found async data from %s at %s\n", element->get_name(), timeString);
}

// A daemon that floods over-long lines gets one warning a minute, not one each.
RateLimitedLog droppedEventWarnings(60);

void warnDroppedEvent(const char* line) {
  char message[TS_PRINT_MAX + 1];
  snprintf(message, sizeof message,
           "Warning: Dropped an event line longer than %d characters: %.64s...\n",
           TNPERF_EVENT_LINE_SIZE - 1, line);
  droppedEventWarnings.print(message);
}

// Delivers the burst of event lines waiting on the element's socket. Returns
// 0 when the burst is over, -1 when the connection failed or ended.
int deliverEvents(Tnperf_ConnectionElement* element) {
  TnperfLineHandler callback = element->eventCallback;
  TN_CHECK(callback);
  char line[TNPERF_EVENT_LINE_SIZE];
  for (;;) {
    if (connectionBroken(element)) return -1;
    int rc = tnperf_readlnSocket(element, line, sizeof line);
    if (rc == -1) return -1;
    if (rc == TNPERF_LINE_TOO_LONG)
      warnDroppedEvent(line);
    else
      callback(line, element->eventCallbackData);
    short revents = 0;
    int ready = element->poll(POLLIN, kBurstWaitMs, &revents);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
  }
}

int readlnEvents(FILE* file, char* buffer, Tnperf_ConnectionElement* element, size_t bufferSize) {
  TN_CHECK(element->get_socket() >= 0);
  for (;;) {
    // Lines already in the element's buffer are ready without a wait.
    bool buffered = element->buffered() > 0;
    struct pollfd watched[2] = {{element->get_socket(), POLLIN, 0}, {fileno(file), POLLIN, 0}};
    if (::poll(watched, 2, buffered ? 0 : -1) < 0) {
      if (errno == EINTR) continue;
      perror("select()");
      return -1;
    }
    if (buffered) watched[0].revents |= POLLIN;
    if (watched[0].revents != 0) {
      if (element->get_trace() != 0) traceAsyncData(element);
      if (deliverEvents(element) < 0) return -1;
    }
    if (watched[1].revents != 0) return readFileLine(file, buffer, bufferSize);
  }
}

// Start of the value after the first match of keyword, or null.
const char* findKeywordValue(const char* line, const char* keyword, unsigned char atStart) {
  size_t length = strlen(keyword);
  if (length == 0) return nullptr;
  // The three patterns: "keyword ", " keyword " and a keyword with its own blank.
  bool blankBefore = atStart == 0 && keyword[0] != ' ';
  bool blankAfter = atStart != 0 || keyword[0] != ' ';
  for (const char* p = line; (p = strstr(p, keyword)) != nullptr; p++) {
    if (blankBefore && (p == line || p[-1] != ' ')) continue;
    if (blankAfter && p[length] != ' ') continue;
    return p + length + (blankAfter ? 1 : 0);
  }
  return nullptr;
}

}  // namespace

int tnperf_countLines(FILE* file) {
  fpos_t start;
  if (fgetpos(file, &start) != 0) return 0;
  int count = 0;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
    for (const char* p = chunk; (p = static_cast<const char*>(memchr(p, '\n', chunk + n - p))); p++)
      count++;
  }
  clearerr(file);
  fsetpos(file, &start);
  return count;
}

int tnperf_readln(FILE* file, char* buffer, Tnperf_ConnectionElement* element, size_t bufferSize) {
  if (element == nullptr) return readFileLine(file, buffer, bufferSize);
  return readlnEvents(file, buffer, element, bufferSize);
}

int tnperf_readlnSocket(Tnperf_ConnectionElement* element, char* buffer, size_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) return -1;
  for (int failures = 0;;) {
    size_t length = 0;
    int rc = element->takeLine(buffer, bufferSize, false, &length);
    if (rc == Tnperf_ConnectionElement::LINE_NEWLINE)
      return length < bufferSize ? '\n' : static_cast<int>(TNPERF_LINE_TOO_LONG);
    // A broken connection must not make the reader spin for ever.
    if (rc == Tnperf_ConnectionElement::LINE_END_OF_STREAM || ++failures >= TNPERF_RECEIVE_RETRIES)
      return -1;
  }
}

int tnperf_blastLineToFile(char* line, void* data) {
  fprintf(static_cast<FILE*>(data), "%s\n", line);
  return strcmp(line, kResponseEnd) == 0 ? 1 : 0;
}

char* tnperf_findBlackSpace(const char* text) {
  while (*text != '\0' && isspace(static_cast<unsigned char>(*text))) text++;
  return const_cast<char*>(text);
}

char* tnperf_findWhiteSpace(const char* text) {
  while (*text != '\0' && !isspace(static_cast<unsigned char>(*text))) text++;
  return const_cast<char*>(text);
}

char* tnperf_grabKeywordValue(const char* line, const char* keyword, char* value,
                              unsigned char atStart, size_t valueSize) {
  const char* start = findKeywordValue(line, keyword, atStart);
  if (start == nullptr) return nullptr;
  char stop = ' ';
  if (*start == '\'') {
    start++;
    stop = '\'';
  }
  const char* end = strchr(start, stop);
  size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
  if (valueSize == 0) return value;
  if (length > valueSize - 1) length = valueSize - 1;
  memcpy(value, start, length);
  value[length] = '\0';
  return value;
}
