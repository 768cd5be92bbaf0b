#include "api/api_conn.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/running.h"
#include "agent/scoped.h"
#include "agent/text.h"
#include "api/api_conn_element.h"
#include "api/api_reader.h"

TnperfWrapperUtils* theTnperfWrapperUtils = nullptr;

namespace {

const char kSocketPath[] = "/var/tarnfs/tnperf/tnperfSocket";
const char kResponseDirectory[] = "/var/tarnfs/tnperf";
const char kTokenSeparators[] = " \n\t";
const char kCommandGone[] = "Error: TARN daemon connection failed, exiting...\n";

// Numbers the instances of this process, so that no two share a response file.
std::atomic<unsigned> instanceCounter{0};

// Creates path for reading and writing, owner only: a new file (nothing at
// the path before, not even a link), checked once open to be a plain file
// of this process's user with no other name. Null on failure with errno set.
FILE* openResponseFile(const char* path) {
  ScopedFd fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return nullptr;
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return nullptr;
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
    errno = EPERM;
    return nullptr;
  }
  FILE* file = fdopen(fd.get(), "w+");
  if (file != nullptr) fd.release();
  return file;
}

// 0 when the response directory is a directory that only its owner, this
// process's user or root, may change; else 1 after logging why. Another
// user able to write there could put a file of theirs in our file's place.
int checkResponseDirectory() {
  struct stat info;
  char why[128] = "";
  if (lstat(kResponseDirectory, &info) != 0)
    snprintf(why, sizeof why, "%s", strerror(errno));
  else if (!S_ISDIR(info.st_mode))
    snprintf(why, sizeof why, "not a directory");
  else if (info.st_uid != geteuid() && info.st_uid != 0)
    snprintf(why, sizeof why, "owned by uid %ld", static_cast<long>(info.st_uid));
  else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    snprintf(why, sizeof why, "writable by others (mode %04o)",
             static_cast<unsigned>(info.st_mode & 07777));
  if (why[0] == '\0') return 0;
  char message[TS_PRINT_MAX + 1];
  snprintf(message, sizeof message, "Error: response directory %s refused: %s\n",
           kResponseDirectory, why);
  ts_print(message);
  return 1;
}

// The response files of this process's live instances, removed by an exit
// hook: no destructor runs when the process exits. The entries point into
// the instances' own path fields.
const int kMaxOwnFiles = 16;
pthread_mutex_t ownFilesMutex = PTHREAD_MUTEX_INITIALIZER;
const char* ownFiles[kMaxOwnFiles];
pid_t ownFilesPid = 0;  // the process that registered them; 0 before the first
bool sweptStaleFiles = false;

void removeOwnFiles() {
  // A forked child that exits must not take its parent's files.
  if (getpid() != ownFilesPid) return;
  ScopedLock lock(&ownFilesMutex);
  for (const char*& path : ownFiles) {
    if (path != nullptr) unlink(path);
    path = nullptr;
  }
}

// The pid of a name "response.<pid>.<n>", or 0 for any other name.
long responseFilePid(const char* name) {
  static const char kPrefix[] = "response.";
  if (strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return 0;
  char* end = nullptr;
  const char* digits = name + sizeof kPrefix - 1;
  long pid = isdigit(static_cast<unsigned char>(*digits)) ? strtol(digits, &end, 10) : 0;
  if (pid <= 0 || pid > INT_MAX || *end != '.' || !isdigit(static_cast<unsigned char>(end[1])))
    return 0;
  strtoul(end + 1, &end, 10);
  return *end == '\0' ? pid : 0;
}

// True when the file is one of this process's live instances' files.
bool ownFile(const char* path) {
  for (const char* own : ownFiles)
    if (own != nullptr && strcmp(own, path) == 0) return true;
  return false;
}

// Removes the response files whose process no longer runs; a file whose
// process lives (or may live: no right to signal it) is never touched.
// Called with ownFilesMutex held.
void removeStaleFiles() {
  DIR* dir = opendir(kResponseDirectory);
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    long pid = responseFilePid(entry->d_name);
    if (pid == 0) continue;
    char path[sizeof kResponseDirectory + sizeof entry->d_name + 1];
    snprintf(path, sizeof path, "%s/%s", kResponseDirectory, entry->d_name);
    // This pid's files that no instance owns were left by an earlier process with the same pid.
    bool dead = pid == static_cast<long>(getpid())
                    ? !ownFile(path)
                    : kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    if (dead) unlink(path);
  }
  closedir(dir);
}

// Notes path for removal at exit; the first call also sweeps stale files and installs the hook.
void registerOwnFile(const char* path) {
  ScopedLock lock(&ownFilesMutex);
  if (!sweptStaleFiles) {
    sweptStaleFiles = true;
    removeStaleFiles();
  }
  if (ownFilesPid != getpid()) {
    // In a forked child the entries are the parent's files, not its own.
    for (const char*& slot : ownFiles) slot = nullptr;
    if (ownFilesPid == 0) atexit(removeOwnFiles);
    ownFilesPid = getpid();
  }
  for (const char*& slot : ownFiles) {
    if (slot == nullptr) {
      slot = path;
      return;
    }
  }
}

void forgetOwnFile(const char* path) {
  ScopedLock lock(&ownFilesMutex);
  for (const char*& slot : ownFiles)
    if (slot == path) slot = nullptr;
}

// The limits one answer is spooled within, and the file it goes to.
struct AnswerBudget {
  FILE* file;
  int64_t deadline;  // monotonic microseconds
  long long bytesLeft;
};

// drainStringSocket's result for an answer given up before its end line.
const int kAnswerGivenUp = 3;

// Line handler of getResponse: tnperf_blastLineToFile within the budget;
// kAnswerGivenUp, with errno E2BIG (size), ETIME (time) or ECANCELED (a
// stop), instead of storing a line past a limit.
int spoolWithinBudget(char* line, void* data) {
  AnswerBudget* budget = static_cast<AnswerBudget*>(data);
  budget->bytesLeft -= static_cast<long long>(strlen(line)) + 1;
  errno = budget->bytesLeft < 0                  ? E2BIG
          : monotonicMicros() > budget->deadline ? ETIME
          : stopRequested()                      ? ECANCELED
                                                 : 0;
  return errno != 0 ? kAnswerGivenUp : tnperf_blastLineToFile(line, budget->file);
}

// Why an answer failed, by the drain's errno, as the warning gives it.
struct FailureReason {
  int err;
  const char* format;
  long value;
};
const FailureReason kFailureReasons[] = {
    {ETIMEDOUT, "silent for %ld s", TnperfWrapperUtils::RESPONSE_SILENCE_MS / 1000},
    {EMSGSIZE, "a line over %ld characters", TnperfWrapperUtils::BUFFER_SIZE - 2},
    {E2BIG, "over %ld MiB", TnperfWrapperUtils::RESPONSE_MAX_BYTES >> 20},
    {ETIME, "not ended within %ld s", TnperfWrapperUtils::RESPONSE_TOTAL_MS / 1000},
};

bool startsWith(const char* line, const char* prefix) {
  return strncmp(line, prefix, strlen(prefix)) == 0;
}

}  // namespace

TnperfWrapperUtils::TnperfWrapperUtils(MErrno* err, int debugArg)
    : connection(nullptr),
      responseFile(nullptr),
      lineBuffer(new (std::nothrow) char[BUFFER_SIZE]),
      valueBuffer(new (std::nothrow) char[BUFFER_SIZE]),
      resultBuffer(new (std::nothrow) char[BUFFER_SIZE]),
      tokenPosition(nullptr),
      eventPipeRead(nullptr),
      eventPipeWrite(nullptr),
      debug(debugArg),
      fileEmptied(0) {
  responseFilePath[0] = '\0';
  if (err != nullptr) *err = 0;
  int rc = commonInits();
  if (err != nullptr) *err = rc;
}

TnperfWrapperUtils::~TnperfWrapperUtils() {
  if (responseFile != nullptr) fclose(responseFile);
  // The file belongs to this instance alone: leave nothing behind.
  if (responseFilePath[0] != '\0') {
    forgetOwnFile(responseFilePath);
    unlink(responseFilePath);
  }
  delete connection;
  if (eventPipeRead != nullptr) fclose(eventPipeRead);
  if (eventPipeWrite != nullptr) fclose(eventPipeWrite);
  delete[] lineBuffer;
  delete[] valueBuffer;
  delete[] resultBuffer;
}

int TnperfWrapperUtils::init(int debugArg) {
  if (theTnperfWrapperUtils != nullptr) return 0;
  MErrno err = 0;
  theTnperfWrapperUtils = new TnperfWrapperUtils(&err, debugArg);
  if (err == 0) return 0;
  delete theTnperfWrapperUtils;
  theTnperfWrapperUtils = nullptr;
  return err;
}

void TnperfWrapperUtils::term() {
  delete theTnperfWrapperUtils;
  theTnperfWrapperUtils = nullptr;
}

int TnperfWrapperUtils::commonInits() {
  if (lineBuffer == nullptr || valueBuffer == nullptr || resultBuffer == nullptr) {
    ts_print("Error: Failed to allocate memory\n");
    return 1;
  }
  lineBuffer[0] = valueBuffer[0] = resultBuffer[0] = '\0';
  if (checkResponseDirectory() != 0) return 1;
  snprintf(responseFilePath, sizeof responseFilePath, "%s/response.%ld.%u", kResponseDirectory,
           static_cast<long>(getpid()), instanceCounter++);
  // Registered before it is made, so that no exit can leave it behind.
  registerOwnFile(responseFilePath);
  responseFile = openResponseFile(responseFilePath);
  if (responseFile == nullptr) {
    char message[TS_PRINT_MAX + 1];
    snprintf(message, sizeof message, "Error: Failed to make response file %s: %s\n",
             responseFilePath, strerror(errno));
    forgetOwnFile(responseFilePath);
    responseFilePath[0] = '\0';  // nothing of ours to remove
    ts_print(message);
    return 1;
  }
  if (connect() != 0) {
    ts_print("Error: Failed to make connection\n");
    return 1;
  }
  return 0;
}

int TnperfWrapperUtils::connect() {
  connection = new (std::nothrow) Tnperf_ConnectionElement(kSocketPath, -1);
  if (connection == nullptr) {
    ts_print("Error: Failed to allocate memory\n");
    return 1;
  }
  connection->set_trace(0);
  connection->set_receive_timeout(RESPONSE_SILENCE_MS);
  if (connection->connectSocket(0) < 0) {
    ts_print("Error: Failed to connect\n");
    return 1;
  }
  return 0;
}

int TnperfWrapperUtils::sendCommand(const char* command) {
  if (command == nullptr || connection == nullptr) return -1;
  if (debug != 0) {
    fprintf(stderr, "Processing command %s\n", command);
    fflush(stderr);
  }
  if (strnlen(command, MAX_COMMAND_LENGTH + 1) > MAX_COMMAND_LENGTH) {
    char message[TS_PRINT_MAX + 1];
    snprintf(message, sizeof message,
             "Error: Command longer than %d characters refused: %.64s...\n", MAX_COMMAND_LENGTH,
             command);
    ts_print(message);
    return -1;
  }
  char text[COMMAND_BUFFER_SIZE];
  size_t length = copyText(text, sizeof text, tnperf_findBlackSpace(command));
  text[length++] = '\n';
  text[length] = '\0';
  // A short send leaves the rest to a further send; a failed one means the
  // daemon connection broke.
  for (size_t sent = 0; sent < length;) {
    int n = connection->write(text + sent, static_cast<int>(length - sent));
    // A reconnect that had to back off refuses the command: a daemon that
    // keeps closing the connection must not keep the caller resending.
    if (n < 0) return reconnect("command", kCommandGone) == 0 ? 2 : -1;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int ReconnectPacer::nextDelay(int64_t now) {
  const bool steady = now - lastAttempt_ >= int64_t{RECONNECT_STEADY_MS} * 1000;
  if (steady)
    delayMs_ = 0;
  else
    delayMs_ = delayMs_ == 0 ? RECONNECT_FIRST_DELAY_MS
                             : std::min(2 * delayMs_, int{RECONNECT_MAX_DELAY_MS});
  lastAttempt_ = now + int64_t{delayMs_} * 1000;
  return delayMs_;
}

int TnperfWrapperUtils::reconnect(const char* side, const char* goneMessage) {
  const int64_t start = monotonicMicros();
  bool delayed = false;
  while (!stopRequested()) {
    int delay = pacer.nextDelay(monotonicMicros());
    if (delay > 0 && pacer.firstDelayOfStreak()) {
      char message[TS_PRINT_MAX + 1];
      snprintf(message, sizeof message,
               "Warning: TARN daemon %s connection keeps failing, reconnecting with back-off "
               "up to %d ms\n",
               side, int{ReconnectPacer::RECONNECT_MAX_DELAY_MS});
      ts_print(message);
    }
    delayed = delayed || delay > 0;
    if (!sleepUnlessStopped(delay)) break;
    if (connection->connectSocket(0) >= 0) return delayed ? 1 : 0;
    if (stopRequested()) break;
    if (monotonicMicros() - start >= int64_t{RECONNECT_GIVE_UP_MS} * 1000) {
      ts_print(goneMessage);
      requestStop(1);
      break;
    }
  }
  return -1;
}

int TnperfWrapperUtils::getResponse(const char* /*command*/) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[BUFFER_SIZE]);
  if (buffer == nullptr || responseFile == nullptr) return 0;
  if (connection->get_socket() < 0) return 0;
  long start = ftell(responseFile);
  AnswerBudget budget = {responseFile, monotonicMicros() + int64_t{RESPONSE_TOTAL_MS} * 1000,
                         RESPONSE_MAX_BYTES};
  int rc = connection->drainStringSocket(buffer.get(), BUFFER_SIZE, spoolWithinBudget, &budget);
  int err = errno;
  fflush(responseFile);
  // A failed drain is not ignored: the unread rest of the answer, or an
  // answer still to come, would otherwise be read as the next command's.
  return rc == 0 ? 0 : dropFailedAnswer(start, err);
}

int TnperfWrapperUtils::dropFailedAnswer(long start, int err) {
  if (start >= 0 && fseek(responseFile, start, SEEK_SET) == 0)
    (void)!ftruncate(fileno(responseFile), start);
  // At a stop the connection is only closed: nothing will use it again.
  if (err == ECANCELED || stopRequested()) {
    connection->close();
    return -1;
  }
  char reason[64] = "connection lost";
  for (const FailureReason& row : kFailureReasons)
    if (row.err == err) snprintf(reason, sizeof reason, row.format, row.value);
  char message[TS_PRINT_MAX + 1];
  snprintf(message, sizeof message,
           "Warning: TARN daemon answer failed (%s), command connection re-established\n", reason);
  ts_print(message);
  reconnect("command", kCommandGone);
  return -1;
}

int TnperfWrapperUtils::processCommand(const char* command) {
  // Without an empty response file the answer would be lost or mixed up.
  if (responseFile == nullptr || fileEmptied != 0) return -1;
  int rc = sendCommand(command);
  if (rc != 0) return rc;
  return getResponse(command);
}

int TnperfWrapperUtils::cleanupCommand() {
  tokenPosition = nullptr;
  if (responseFile == nullptr) return -1;
  // The file stays open: a name put in its place by path is never used.
  fileEmptied = fflush(responseFile) == 0 && ftruncate(fileno(responseFile), 0) == 0 &&
                        fseek(responseFile, 0, SEEK_SET) == 0
                    ? 0
                    : -1;
  if (fileEmptied == 0) return 0;
  char message[TS_PRINT_MAX + 1];
  snprintf(message, sizeof message, "Error: Failed to empty response file %s: %s\n",
           responseFilePath, strerror(errno));
  ts_print(message);
  return -1;
}

int TnperfWrapperUtils::prepBuffer() {
  tokenPosition = nullptr;
  if (responseFile == nullptr) return -1;
  return fseek(responseFile, 0, SEEK_SET);
}

int TnperfWrapperUtils::getNextInstance(const char* prefix) {
  tokenPosition = nullptr;
  if (responseFile == nullptr || prefix == nullptr) return 0;
  while (tnperf_readln(responseFile, lineBuffer, nullptr, BUFFER_SIZE) != -1) {
    if (debug != 0) fprintf(stderr, "%s\n", lineBuffer);
    if (startsWith(lineBuffer, prefix)) return 1;
  }
  return 0;
}

int TnperfWrapperUtils::getInstanceCount(const char* prefix) {
  if (responseFile == nullptr || prefix == nullptr) return 0;
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[BUFFER_SIZE]);
  if (scratch == nullptr || fseek(responseFile, 0, SEEK_SET) != 0) return 0;
  int lines = tnperf_countLines(responseFile);
  int count = 0;
  for (int i = 0; i < lines; i++) {
    scratch[0] = '\0';
    tnperf_readln(responseFile, scratch.get(), nullptr, BUFFER_SIZE);
    if (debug != 0) {
      fprintf(stderr, "%s\n", scratch.get());
      fflush(stderr);
    }
    if (startsWith(scratch.get(), prefix)) count++;
  }
  return count;
}

char* TnperfWrapperUtils::getBufferedValue(const char* keyword, unsigned char atStart, int length) {
  resultBuffer[0] = '\0';
  if (keyword == nullptr ||
      tnperf_grabKeywordValue(lineBuffer, keyword, valueBuffer, atStart, BUFFER_SIZE) == nullptr)
    return resultBuffer;
  copyText(resultBuffer, BUFFER_SIZE, valueBuffer, length > 0 ? static_cast<size_t>(length) : 0);
  return resultBuffer;
}

char* TnperfWrapperUtils::beginParsing() {
  tokenPosition = nullptr;
  return strtok_r(lineBuffer, kTokenSeparators, &tokenPosition);
}

char* TnperfWrapperUtils::getNextToken() {
  if (tokenPosition == nullptr) return nullptr;
  char* token = strtok_r(nullptr, kTokenSeparators, &tokenPosition);
  if (token == nullptr) return nullptr;
  if (token[0] == '\'') token++;
  size_t length = strlen(token);
  if (length > 0 && token[length - 1] == '\'') token[length - 1] = '\0';
  return token;
}

int TnperfWrapperUtils::registerEvents(int (*callback)(char* line, void* data)) {
  if (eventPipeRead != nullptr) fclose(eventPipeRead);
  if (eventPipeWrite != nullptr) fclose(eventPipeWrite);
  eventPipeRead = eventPipeWrite = nullptr;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) == 0) {
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);
    eventPipeRead = fdopen(readEnd.get(), "r");
    if (eventPipeRead != nullptr) readEnd.release();
    eventPipeWrite = fdopen(writeEnd.get(), "w");
    if (eventPipeWrite != nullptr) writeEnd.release();
  }
  if (eventPipeRead == nullptr || eventPipeWrite == nullptr) {
    ts_print("Error opening event handler pipe.\n");
    return -1;
  }
  // The event reader waits on the descriptor: no line may sit unseen in a
  // stdio buffer.
  setvbuf(eventPipeRead, nullptr, _IONBF, 0);
  if (connection != nullptr) {
    connection->eventCallback = callback;
    connection->eventCallbackData = nullptr;
    connection->set_receive_timeout(-1);
  }
  return 0;
}

void TnperfWrapperUtils::waitEvents() {
  static const char kEventsGone[] =
      "Error: Events handler TARN daemon connection failed, exiting...\n";
  if (connection == nullptr) {
    ts_print(kEventsGone);
    requestStop(1);
    return;
  }
  std::unique_ptr<char[]> line(new char[COMMAND_BUFFER_SIZE]);
  while (!stopRequested()) {
    if (connection->get_socket() >= 0 &&
        tnperf_readln(eventPipeRead, line.get(), connection, COMMAND_BUFFER_SIZE) != -1)
      continue;
    if (reconnect("events", kEventsGone) < 0) return;
  }
}
