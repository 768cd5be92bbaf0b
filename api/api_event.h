// The events handler: turns the TARN daemon's asynchronous event lines into
// calls of per-type callbacks (the trap senders).
//
// DESIGN: the handler owns a daemon connection of its own and runs two
// threads. The receive thread sits in the command wrapper's waitEvents and,
// for every line, only copies it into an EventItem, links it behind the list
// tail under listMutex and wakes the send thread, so the connection is read
// again at once whatever the senders cost. The send thread sleeps until woken
// (mutex, cond, conditionMet), then drains the whole list: it finds each
// line's type, builds the event record and calls the callback registered for
// that type, one at a time and in arrival order. The list holds at most
// kMaxPendingLines: while the send thread is held up (a configuration scan
// that hangs, a master that reads no traps), a storm of events is dropped
// past that and counted, instead of growing the agent without end. A run of
// "sdrChanged" lines costs one disk scan, run where the first of them stood.
// listMutex and mutex are
// never held together, and listMutex is never held while parsing or calling
// a callback. The callback table, wrapper, debug and pollingHandler are
// written on the main thread before run starts the threads.
//
// Stopping: stop (main thread) sets stopRequested and wakes the send thread,
// which returns between two lines; run joins it and returns, so the caller
// can join the thread that runs run before anything the send thread uses
// (the trap queue, the polling handler) is freed. The receive thread waits
// in the daemon connection's read, which has no way out but the process's
// end: from the stop on it drops every line, and it is left in its wait,
// detached, with the handler and its wrapper, which are then never freed.
// When it finds the daemon gone it does not end the process: it asks main to
// stop (status 1) and returns, and main's stop then runs as above.
#ifndef TNMIBD_API_API_EVENT_H_
#define TNMIBD_API_API_EVENT_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "api/api_event_records.h"
#include "api/merrno.h"

class PollingHandler;
class TnperfWrapperUtils;

// A callback receives an event record, which it owns and deletes, and the
// opaque value it was registered with; its result is not examined.
typedef int (*EventCallback)(Event* event, void* data);

// Event types: the row numbers of the type table, in its order.
enum EventType {
  EVENT_MOUNT = 0,
  EVENT_UNMOUNT = 1,
  EVENT_ADDDISK = 2,
  EVENT_DELDISK = 3,
  EVENT_CHDISK = 4,
  EVENT_TAKEOVER = 5,
  EVENT_FAILURE = 6,
  EVENT_RECOVERY = 7,
  EVENT_CREATEFS = 8,
  EVENT_DELETEFS = 9,
  EVENT_FSSTATECHANGE = 10,
  EVENT_NEWCONNECTION = 11,
  EVENT_EXCEPTION = 12,
  EVENT_SGSTATS = 13,
  EVENT_HUNGTHREAD = 14,
  EVENT_POOLUTIL = 15,
  EVENT_SDRCHANGED = 16,
  EVENT_TYPE_COUNT = 17
};

class EventsHandler {
 public:
  // Size of the send thread's own line buffer; longer lines get an array of
  // their own.
  enum { LINE_BUFFER_SIZE = 1024 };

  // An empty list and no callbacks, wrapper or polling handler. Never fails.
  EventsHandler(MErrno* err, int debug);
  // Deletes the pending lines.
  ~EventsHandler();
  EventsHandler(const EventsHandler&) = delete;
  EventsHandler& operator=(const EventsHandler&) = delete;

  // Creates theEventsHandler and its daemon connection and registers for
  // event lines. 0; or the wrapper's error value after logging
  // "_error_ creating tnperf wrapper utils" (the handler then exists without
  // connection or polling handler, and its receive thread keeps trying to
  // connect, backing off to once a minute). Main thread, once.
  static int init(PollingHandler* pollingHandler, int debug);
  // Deletes theEventsHandler with its wrapper and clears it; does nothing
  // when run left its receive thread running at a stop. Call only after
  // stop, once run has returned, or when run never started.
  static void term();

  // Makes the send thread end and run return (see DESIGN); a later run
  // returns at once. Main thread; any number of times.
  void stop();

  // Stores the callback and its argument for type (0 to 16), replacing an
  // earlier pair. Main thread, before run.
  void registerEventCallback(int type, EventCallback callback, void* data);

  // Starts the send thread, then the receive thread, and joins them; after
  // a stop, joins the send thread and leaves the receive thread in its wait
  // (see DESIGN). Blocks until then. Failures are logged and the next step
  // is taken.
  int run();

  // Thread bodies; the argument is the handler.
  static void* receiveHandlerBody(void* handler);
  static void* sendHandlerBody(void* handler);

  // Most lines the list holds.
  static constexpr int kMaxPendingLines = 50000;
  // Receive side: links the chain first..last (count lines) behind the tail
  // under listMutex, then wakes the send thread; returns 0. When the list
  // would hold more than kMaxPendingLines, deletes the chain instead, counts
  // its lines as dropped (warned about at most once a minute) and returns 1.
  // size is not used.
  int appendEventToList(EventItem* first, EventItem* last, int count, int size);
  // Send side: takes the first pending line out of the list and returns its
  // text in buffer, or, when size >= 1 and the text with its NUL needs more
  // than size bytes, in a new array that the caller frees (delete[]). Null
  // when the list is empty.
  char* getEventFromList(char* buffer, int size);
  // Sets conditionMet and wakes the send thread.
  void wakeSendThread();
  // Sleeps until conditionMet is set, then clears it.
  void waitReceiveThread();

  // One pass of the send thread: takes every pending line and dispatches it;
  // a run of "sdrChanged" lines runs one disk scan, before the next line of
  // another type. Returns the number of lines taken. Send thread (or a test
  // in its place).
  int dispatchPending();
  // The row of the type table that the line's "_event_" word begins with, or
  // -1 (no "_event_": logged; no row: silent).
  int getEventType(char* line);
  // The record for a line of the given type, or null when the type builds
  // none ("exception", "sgStats", "sdrChanged", an
  // incomplete "fsstatechange", a type above 16). Values longer than 255
  // characters are cut.
  Event* createEventObject(int type, char* line);

  // One attempt to open the event connection: creates the wrapper and
  // registers eventLineCallback. 0, or the wrapper's error value.
  int connectEvents();

  struct CallbackEntry {
    EventCallback callback;
    void* data;
  };

  pthread_t sendThread;
  pthread_t receiveThread;
  EventItem listHead;
  EventItem* listTail;
  // Lines in the list; under listMutex.
  int listLength;
  // Disk scans run for "sdrChanged" lines. Send thread.
  int diskScans;
  CallbackEntry callbacks[EVENT_TYPE_COUNT];
  TnperfWrapperUtils* wrapper;
  int debug;
  PollingHandler* pollingHandler;

  // Guards the links behind listHead and listTail.
  static pthread_mutex_t listMutex;
  // The wake-up handshake between the two threads: conditionMet is 1 when
  // lines were appended since the send thread last woke.
  static pthread_mutex_t mutex;
  static pthread_cond_t cond;
  static int conditionMet;
  // Set by stop; the send thread returns when it sees it.
  std::atomic<bool> stopRequested;

 private:
  Event* createStateChangeEvent(char* line);
  // Guards the thread start-up in run against stop (with stopRequested):
  // whether the receive thread was started, and whether run left it running
  // after a stop.
  pthread_mutex_t lifeMutex_;
  bool receiveStarted_;
  bool receiveLeft_;
  // Receive thread, after a failed init: connects, retrying until it succeeds.
  void retryConnection();
  void runDiskScan();
  // The polling handler to use once a retried connection succeeds.
  PollingHandler* pendingPollingHandler_;
};

// The wrapper's line callback: queues a copy of line on theEventsHandler.
// The line is dropped when it cannot be copied. Returns 0.
int eventLineCallback(char* line, void* argument);

// Event lines received from the daemon since start-up, and those of them
// dropped at a full list. Any thread.
uint64_t eventsReceivedCount();
uint64_t eventsDroppedCount();

// The one events handler; null before init and after term.
extern EventsHandler* theEventsHandler;

#endif  // TNMIBD_API_API_EVENT_H_
