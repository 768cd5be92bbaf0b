#include "api/api_event.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <atomic>
#include <new>

#include "agent/clock.h"
#include "agent/log.h"
#include "agent/running.h"
#include "agent/scoped.h"
#include "agent/text.h"
#include "api/api_conn.h"
#include "api/api_event_counts.h"
#include "api/api_poll.h"
#include "api/api_reader.h"

EventsHandler* theEventsHandler = nullptr;

pthread_mutex_t EventsHandler::listMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t EventsHandler::mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t EventsHandler::cond = PTHREAD_COND_INITIALIZER;
int EventsHandler::conditionMet = 0;

namespace {

// The values read from one line, in the order of the row's keywords.
typedef char Values[8][EVENT_TEXT_SIZE];

// A base-10 number as the daemon writes it (leading blanks and a sign, up to
// the first non-digit, none gives 0), narrowed to 32 bits.
int32_t toInt32(const char* text) {
  return static_cast<int32_t>(static_cast<uint32_t>(strtoll(text, nullptr, 10)));
}

template <class R>
void destroyRecord(Event* event) {
  delete static_cast<R*>(event);
}

Event* buildMount(Values v) { return new (std::nothrow) MountActionEvent(v[0], v[1]); }
Event* buildDisk(Values v) { return new (std::nothrow) DiskActionEvent(v[0], v[1], v[2]); }
Event* buildChdisk(Values v) {
  return new (std::nothrow) ChdiskEvent(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
}
Event* buildTakeover(Values v) { return new (std::nothrow) SgmgrTakeoverEvent(v[0], v[1], v[2]); }
Event* buildNode(Values v) { return new (std::nothrow) NodeStatusEvent(v[0]); }
Event* buildFsAction(Values v) { return new (std::nothrow) FilesystemActionEvent(v[0], v[1]); }
Event* buildHung(Values v) { return new (std::nothrow) HungThreadEvent(v[0], toInt32(v[1]), v[2]); }
Event* buildPoolUtil(Values v) {
  return new (std::nothrow) StgPoolUtilizationEvent(v[0], v[1], toInt32(v[2]));
}

// One row per event type, in type order: the type word's prefix, how the
// record is built from the values of the listed keywords (null: built
// elsewhere or not at all), and how a record of the row is deleted.
struct EventTypeRow {
  const char* keyword;
  Event* (*build)(Values values);
  void (*destroy)(Event* event);
  const char* keywords[9];
};

const EventTypeRow kEventTypes[EVENT_TYPE_COUNT] = {
    {"mount", buildMount, destroyRecord<MountActionEvent>, {"_node_", "_fs_"}},
    {"unmount", buildMount, destroyRecord<MountActionEvent>, {"_node_", "_fs_"}},
    {"adddisk", buildDisk, destroyRecord<DiskActionEvent>, {"_node_", "_fs_", "_disk_"}},
    {"deldisk", buildDisk, destroyRecord<DiskActionEvent>, {"_node_", "_fs_", "_disk_"}},
    {"chdisk",
     buildChdisk,
     destroyRecord<ChdiskEvent>,
     {"_node_", "_fs_", "_disk_", "_status_", "_availability_", "_fg_", "_meta_", "_data_"}},
    {"takeover",
     buildTakeover,
     destroyRecord<SgmgrTakeoverEvent>,
     {"_node_", "_prevnode_", "_fs_"}},
    {"failure", buildNode, destroyRecord<NodeStatusEvent>, {"_node_"}},
    {"recovery", buildNode, destroyRecord<NodeStatusEvent>, {"_node_"}},
    {"createfs", buildFsAction, destroyRecord<FilesystemActionEvent>, {"_node_", "_fs_"}},
    {"deletefs", buildFsAction, destroyRecord<FilesystemActionEvent>, {"_node_", "_fs_"}},
    {"fsstatechange", nullptr, destroyRecord<FilesystemStateChangeEvent>, {}},
    {"newconnection", buildNode, destroyRecord<NodeStatusEvent>, {"_n_"}},
    {"exception", nullptr, nullptr, {}},
    {"sgStats", nullptr, nullptr, {}},
    {"hungthread", buildHung, destroyRecord<HungThreadEvent>, {"_node_", "_wait_", "_diagnosis_"}},
    {"poolutil",
     buildPoolUtil,
     destroyRecord<StgPoolUtilizationEvent>,
     {"_fs_", "_pool_", "_util_"}},
    {"sdrChanged", nullptr, nullptr, {}},
};

// Copies the keyword's value in text into dst, cut to dstSize - 1
// characters; dst is left empty when the keyword is absent.
bool grab(const char* text, const char* keyword, char* dst, size_t dstSize, unsigned char atStart) {
  dst[0] = '\0';
  return tnperf_grabKeywordValue(text, keyword, dst, atStart, dstSize) != nullptr;
}

// Reads a "_user_"/"_meta_" pair from text.
void grabPair(const char* text, char* user, char* meta) {
  grab(text, "_user_", user, EVENT_TEXT_SIZE, 0);
  grab(text, "_meta_", meta, EVENT_TEXT_SIZE, 0);
}

// Deletes a record of the given type through its own class.
void destroyEvent(int type, Event* event) {
  if (type >= 0 && type < EVENT_TYPE_COUNT && kEventTypes[type].destroy != nullptr) {
    kEventTypes[type].destroy(event);
  }
}

// Seconds between attempts to open the event connection after a failed init.
const unsigned kFirstRetrySeconds = 5;
const unsigned kMaxRetrySeconds = 60;

}  // namespace

EventsHandler::EventsHandler(MErrno* err, int debug)
    : sendThread(),
      receiveThread(),
      listTail(&listHead),
      listLength(0),
      diskScans(0),
      callbacks(),
      wrapper(nullptr),
      debug(debug),
      pollingHandler(nullptr),
      stopRequested(false),
      lifeMutex_(PTHREAD_MUTEX_INITIALIZER),
      receiveStarted_(false),
      receiveLeft_(false),
      pendingPollingHandler_(nullptr) {
  if (err != nullptr) *err = 0;
}

EventsHandler::~EventsHandler() {
  EventItem::destroyList(listHead.next);
  delete wrapper;
}

int EventsHandler::init(PollingHandler* pollingHandler, int debug) {
  MErrno err = 0;
  theEventsHandler = new EventsHandler(&err, debug);
  theEventsHandler->pendingPollingHandler_ = pollingHandler;
  int rc = theEventsHandler->connectEvents();
  if (rc != 0) {
    ts_print("_error_ creating tnperf wrapper utils\n");
    return rc;
  }
  theEventsHandler->pollingHandler = pollingHandler;
  return 0;
}

void EventsHandler::term() {
  if (theEventsHandler == nullptr) return;
  // A receive thread left in its wait at a stop still uses the handler and
  // its wrapper: both stay until the process ends.
  if (theEventsHandler->receiveLeft_) return;
  delete theEventsHandler;
  theEventsHandler = nullptr;
}

int EventsHandler::connectEvents() {
  MErrno err = 0;
  TnperfWrapperUtils* made = new TnperfWrapperUtils(&err, 0);
  if (err != 0) {
    // A wrapper without a connection is of no use; the next attempt makes a new one.
    delete made;
    return err;
  }
  if (made->registerEvents(eventLineCallback) != 0) {
    delete made;
    return 1;
  }
  wrapper = made;
  return 0;
}

void EventsHandler::registerEventCallback(int type, EventCallback callback, void* data) {
  if (type < 0 || type >= EVENT_TYPE_COUNT) return;
  callbacks[type].callback = callback;
  callbacks[type].data = data;
}

int EventsHandler::run() {
  bool sendStarted = false;
  {
    ScopedLock lock(&lifeMutex_);
    if (stopRequested.load()) return 0;
    sendStarted = pthread_create(&sendThread, nullptr, sendHandlerBody, this) == 0;
    if (!sendStarted) ts_print("_error_ failed to create send thread ....\n");
    receiveStarted_ = pthread_create(&receiveThread, nullptr, receiveHandlerBody, this) == 0;
    if (!receiveStarted_) ts_print("_error_ failed to create receive thread ....\n");
  }
  if (sendStarted && pthread_join(sendThread, nullptr) != 0)
    ts_print("_error_ send thread join ....\n");
  if (!receiveStarted_) return 0;
  if (!stopRequested.load()) {
    if (pthread_join(receiveThread, nullptr) != 0) ts_print("_error_ receive thread join ....\n");
    return 0;
  }
  ScopedLock lock(&lifeMutex_);
  receiveLeft_ = true;
  pthread_detach(receiveThread);
  return 0;
}

void EventsHandler::stop() {
  {
    ScopedLock lock(&lifeMutex_);
    stopRequested.store(true);
  }
  wakeSendThread();
}

void* EventsHandler::receiveHandlerBody(void* arg) {
  EventsHandler* handler = static_cast<EventsHandler*>(arg);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  setvbuf(stderr, nullptr, _IOLBF, 0);
  if (handler->wrapper == nullptr) handler->retryConnection();
  if (handler->wrapper != nullptr) handler->wrapper->waitEvents();
  return nullptr;
}

// After a failed init there is no connection to wait on: the receive thread
// keeps trying to open one, backing off to once a minute, and carries on as
// usual once it succeeds. Until then no event line can arrive, so the send
// thread only sleeps; should the daemon be gone for good, the polling side
// finds it at its next command and asks main to stop. A stop ends the retries.
void EventsHandler::retryConnection() {
  char message[160];
  snprintf(message, sizeof message,
           "Warning: no events connection to the TARN daemon, no traps until it is made; "
           "retrying within %u seconds\n",
           kMaxRetrySeconds);
  ts_print(message);
  unsigned delay = kFirstRetrySeconds;
  do {
    if (!sleepUnlessStopped(static_cast<int>(delay) * 1000)) return;
    delay = delay * 2 > kMaxRetrySeconds ? kMaxRetrySeconds : delay * 2;
  } while (connectEvents() != 0);
  // The handoff of every line through listMutex orders this write before its use.
  pollingHandler = pendingPollingHandler_;
  ts_print("Warning: events connection to the TARN daemon made, traps are sent again\n");
}

void* EventsHandler::sendHandlerBody(void* arg) {
  EventsHandler* handler = static_cast<EventsHandler*>(arg);
  while (!handler->stopRequested.load()) {
    handler->waitReceiveThread();
    handler->dispatchPending();
  }
  return nullptr;
}

namespace {
std::atomic<uint64_t> eventsReceived{0};
std::atomic<uint64_t> eventsDropped{0};
const int64_t kDropWarnSeconds = 60;
// Under listMutex: when the last drop warning was given (0: never), and the drops since.
int64_t dropWarnedAt = 0;
uint64_t droppedSinceWarning = 0;

// Counts count dropped lines; the number to warn about when a warning is due,
// else 0. Caller holds listMutex.
uint64_t noteDroppedLines(int count) {
  eventsDropped.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
  droppedSinceWarning += static_cast<uint64_t>(count);
  const int64_t now = monotonicMicros() / 1000000 + 1;
  if (dropWarnedAt != 0 && now - dropWarnedAt < kDropWarnSeconds) return 0;
  dropWarnedAt = now;
  const uint64_t dropped = droppedSinceWarning;
  droppedSinceWarning = 0;
  return dropped;
}
}  // namespace

uint64_t eventsReceivedCount() { return eventsReceived.load(std::memory_order_relaxed); }

uint64_t eventsDroppedCount() { return eventsDropped.load(std::memory_order_relaxed); }

int eventLineCallback(char* line, void* argument) {
  (void)argument;
  eventsReceived.fetch_add(1, std::memory_order_relaxed);
  EventsHandler* handler = theEventsHandler;
  // After a stop nobody takes lines off the list any more.
  if (handler == nullptr || handler->stopRequested.load()) return 0;
  EventItem* item = EventItem::strdup(line);
  if (item == nullptr) return 0;
  int size = static_cast<int>(strlen(line) + 1);
  handler->appendEventToList(item, item, 1, size);
  return 0;
}

int EventsHandler::appendEventToList(EventItem* first, EventItem* last, int count, int size) {
  (void)size;
  uint64_t warnDropped = 0;
  bool full;
  {
    ScopedLock lock(&listMutex);
    full = listLength + count > kMaxPendingLines;
    if (full) {
      warnDropped = noteDroppedLines(count);
    } else {
      listTail->append(first);
      listTail = last;
      listLength += count;
    }
  }
  if (full) {
    EventItem::destroyList(first);
    if (warnDropped > 0) {
      char message[160];
      snprintf(message, sizeof message,
               "Warning: event list full (%d lines waiting), %llu events dropped\n",
               kMaxPendingLines, static_cast<unsigned long long>(warnDropped));
      ts_print(message);
    }
    return 1;
  }
  if (debug) fprintf(stderr, "new event item is added to list\n");
  wakeSendThread();
  return 0;
}

char* EventsHandler::getEventFromList(char* buffer, int size) {
  ScopedLock lock(&listMutex);
  EventItem* item = listHead.next;
  if (item == nullptr) return nullptr;
  size_t need = (item->buffer != nullptr ? strlen(item->buffer) : 0) + 1;
  char* target = buffer;
  if (size >= 1 && need > static_cast<size_t>(size)) target = new (std::nothrow) char[need];
  if (target == nullptr) {
    // Out of memory: the line is kept, cut to the caller's buffer.
    target = buffer;
    copyText(buffer, static_cast<size_t>(size), item->buffer);
  } else {
    item->copyBuf(target);
  }
  delete item;
  listLength--;
  if (listHead.next == nullptr) listTail = &listHead;
  return target;
}

void EventsHandler::wakeSendThread() {
  pthread_mutex_lock(&mutex);
  if (debug) fprintf(stderr, "recv pthread_mutex_lock()\n");
  conditionMet = 1;
  if (debug) fprintf(stderr, "recv Wake up all waiters...\n");
  pthread_cond_broadcast(&cond);
  if (debug) fprintf(stderr, "recv pthread_cond_broadcast()\n");
  pthread_mutex_unlock(&mutex);
  if (debug) fprintf(stderr, "recv pthread_mutex_unlock()\n");
}

void EventsHandler::waitReceiveThread() {
  pthread_mutex_lock(&mutex);
  if (debug) fprintf(stderr, "send pthread_mutex_lock()\n");
  while (conditionMet == 0) {
    if (debug) fprintf(stderr, "send Thread blocked\n");
    pthread_cond_wait(&cond, &mutex);
    if (debug) fprintf(stderr, "send pthread_cond_wait()\n");
  }
  conditionMet = 0;
  pthread_mutex_unlock(&mutex);
  if (debug) fprintf(stderr, "send pthread_mutex_unlock()\n");
}

int EventsHandler::dispatchPending() {
  char own[LINE_BUFFER_SIZE];
  int counter = 0;
  bool scanDue = false;
  char* line;
  while (!stopRequested.load() && (line = getEventFromList(own, sizeof own)) != nullptr) {
    if (debug) fprintf(stderr, "%dth extracted item = %s\n", counter, line);
    counter++;
    int type = getEventType(line);
    countEventOfType(type);
    // A scan reads the whole configuration: the last of a run of changes
    // finds what every one of them made.
    if (type == EVENT_SDRCHANGED) {
      scanDue = true;
      if (line != own) delete[] line;
      continue;
    }
    if (scanDue) runDiskScan();
    scanDue = false;
    Event* event = type < 0 ? nullptr : createEventObject(type, line);
    if (event != nullptr) {
      if (callbacks[type].callback != nullptr) {
        callbacks[type].callback(event, callbacks[type].data);
      } else {
        destroyEvent(type, event);
      }
    }
    if (line != own) delete[] line;
  }
  if (scanDue) runDiskScan();
  return counter;
}

int EventsHandler::getEventType(char* line) {
  char word[LINE_BUFFER_SIZE];
  if (!grab(line, "_event_", word, sizeof word, 1)) {
    ts_print("_error_ answer parsing error ....\n");
    return -1;
  }
  if (debug) fprintf(stderr, "answer = %s\n", word);
  for (int type = 0; type < EVENT_TYPE_COUNT; type++) {
    const char* keyword = kEventTypes[type].keyword;
    if (strncmp(word, keyword, strlen(keyword)) == 0) return type;
  }
  return -1;
}

Event* EventsHandler::createEventObject(int type, char* line) {
  if (type < 0 || type >= EVENT_TYPE_COUNT) return nullptr;
  if (type == EVENT_FSSTATECHANGE) return createStateChangeEvent(line);
  const EventTypeRow& row = kEventTypes[type];
  if (row.build == nullptr) return nullptr;
  Values values;
  for (int i = 0; i < 8; i++) {
    values[i][0] = '\0';
    if (row.keywords[i] != nullptr) {
      grab(line, row.keywords[i], values[i], EVENT_TEXT_SIZE, 0);
    }
  }
  return row.build(values);
}

// The unbalanced pair comes first in the line, the other two follow the
// words that name them; without either word the line is incomplete.
Event* EventsHandler::createStateChangeEvent(char* line) {
  const char* illReplicated = strstr(line, "_illreplicated_");
  const char* exposed = strstr(line, "_exposed_");
  if (illReplicated == nullptr || exposed == nullptr) return nullptr;
  Values v;
  grab(line, "_fs_", v[0], EVENT_TEXT_SIZE, 0);
  grabPair(line, v[1], v[2]);
  grabPair(illReplicated, v[3], v[4]);
  grabPair(exposed, v[5], v[6]);
  return new (std::nothrow) FilesystemStateChangeEvent(v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
}

void EventsHandler::runDiskScan() {
  diskScans++;
  if (pollingHandler != nullptr) pollingHandler->updateDiskSDRInfo(1);
}
