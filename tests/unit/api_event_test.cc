#include "api/api_event.h"

#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "api/api_conn.h"
#include "api_conn_test_util.h"

namespace {

std::string typeWordError() { return "_error_ answer parsing error ....\n"; }

// Runs body with standard error captured and returns what it printed.
template <typename F>
std::string stderrOf(F body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

int typeOf(const char* text) {
  EventsHandler handler(nullptr, 0);
  std::string line = text;
  return handler.getEventType(&line[0]);
}

// Builds the record of the line's own type; the caller deletes it as T.
template <class T>
T* build(const char* text) {
  EventsHandler handler(nullptr, 0);
  std::string line = text;
  int type = handler.getEventType(&line[0]);
  if (type < 0) return nullptr;
  return static_cast<T*>(handler.createEventObject(type, &line[0]));
}

TEST(EventType, TypeWordsMatchTheirRowByPrefix) {
  EXPECT_EQ(typeOf("_event_ mount _node_ a"), 0);
  EXPECT_EQ(typeOf("_event_ mountpoint _node_ a"), 0);
  EXPECT_EQ(typeOf("_event_ unmount _node_ a"), 1);
  EXPECT_EQ(typeOf("_event_ adddisk"), 2);
  EXPECT_EQ(typeOf("_event_ deldisk"), 3);
  EXPECT_EQ(typeOf("_event_ chdisks"), 4);
  EXPECT_EQ(typeOf("_event_ takeover"), 5);
  EXPECT_EQ(typeOf("_event_ failure"), 6);
  EXPECT_EQ(typeOf("_event_ recovery"), 7);
  EXPECT_EQ(typeOf("_event_ createfs"), 8);
  EXPECT_EQ(typeOf("_event_ deletefs"), 9);
  EXPECT_EQ(typeOf("_event_ fsstatechange"), 10);
  EXPECT_EQ(typeOf("_event_ newconnection"), 11);
  EXPECT_EQ(typeOf("_event_ exception"), 12);
  EXPECT_EQ(typeOf("_event_ sgStats"), 13);
  EXPECT_EQ(typeOf("_event_ hungthread"), 14);
  EXPECT_EQ(typeOf("_event_ poolutil"), 15);
  EXPECT_EQ(typeOf("_event_ sdrChanged"), 16);
}

TEST(EventType, ShorterOrUnknownWordsAndMissingEventKeyword) {
  std::string log = stderrOf([] {
    EXPECT_EQ(typeOf("_event_ moun _node_ a"), -1);
    EXPECT_EQ(typeOf("_event_ sgstats"), -1);  // compared with its case
    EXPECT_EQ(typeOf("_event_ bogus"), -1);
  });
  EXPECT_EQ(log, "");  // an unknown type is dropped silently
  log = stderrOf([] { EXPECT_EQ(typeOf("mount _node_ a _fs_ b"), -1); });
  EXPECT_NE(log.find(typeWordError()), std::string::npos) << log;
}

TEST(EventType, EventKeywordIsFoundAtTheStartOrAfterOtherWords) {
  EXPECT_EQ(typeOf("_node_ a _event_ deldisk _fs_ b"), 3);
  EXPECT_EQ(typeOf("_event_ recovery"), 7);
  std::string log = stderrOf([] {
    EventsHandler handler(nullptr, 1);
    char line[] = "_event_ poolutil _fs_ x";
    EXPECT_EQ(handler.getEventType(line), 15);
  });
  EXPECT_NE(log.find("answer = poolutil\n"), std::string::npos) << log;
}

TEST(EventRecord, KeywordsFillFieldsInRecordOrder) {
  ChdiskEvent* e = build<ChdiskEvent>(
      "_event_ chdisk _data_ yes _meta_ no _fg_ 7 _availability_ up _status_ ready "
      "_disk_ d1 _fs_ fs1 _node_ 10.0.0.2");
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->node, "10.0.0.2");
  EXPECT_STREQ(e->fs, "fs1");
  EXPECT_STREQ(e->disk, "d1");
  EXPECT_STREQ(e->status, "ready");
  EXPECT_STREQ(e->availability, "up");
  EXPECT_STREQ(e->failureGroup, "7");
  EXPECT_STREQ(e->metadata, "no");
  EXPECT_STREQ(e->data, "yes");
  delete e;

  SgmgrTakeoverEvent* t =
      build<SgmgrTakeoverEvent>("_event_ takeover _node_ n2 _prevnode_ n1 _fs_ fs9");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t->node, "n2");
  EXPECT_STREQ(t->prevNode, "n1");
  EXPECT_STREQ(t->fs, "fs9");
  delete t;
}

TEST(EventRecord, QuotedValuesMissingKeywordsAndWordBoundaries) {
  MountActionEvent* m = build<MountActionEvent>("_event_ mount x_node_ bad _node_ 'node one' _x_");
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->node, "node one");
  EXPECT_STREQ(m->fs, "");  // missing keyword: empty field
  delete m;
  // The keyword at the very end of the line has no value after a blank.
  FilesystemActionEvent* f = build<FilesystemActionEvent>("_event_ createfs _fs_ 'a b' _node_");
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->fs, "a b");
  EXPECT_STREQ(f->node, "");
  delete f;
}

TEST(EventRecord, NewConnectionReadsN) {
  NodeStatusEvent* e = build<NodeStatusEvent>("_event_ newconnection _n_ 10.1.1.1");
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->node, "10.1.1.1");
  delete e;
  e = build<NodeStatusEvent>("_event_ newconnection _node_ 10.1.1.1");
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->node, "");
  delete e;
}

TEST(EventRecord, NumbersAreBaseTenNarrowedTo32Bits) {
  struct Case {
    const char* wait;
    int64_t expected;
  } cases[] = {{"5", 5},    {"' -12abc'", -12}, {"+7", 7},
               {"abc", 0},  {"4294967297", 1}, {"2147483648", -2147483648LL},
               {"'9 9'", 9}};
  for (const Case& c : cases) {
    std::string line =
        std::string("_event_ hungthread _node_ n _wait_ ") + c.wait + " _diagnosis_ 'long wait'";
    HungThreadEvent* e = build<HungThreadEvent>(line.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->waitTime, c.expected) << c.wait;
    EXPECT_STREQ(e->diagnosis, "long wait");
    delete e;
  }
  HungThreadEvent* none = build<HungThreadEvent>("_event_ hungthread _node_ n");
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->waitTime, 0);
  delete none;
  StgPoolUtilizationEvent* p =
      build<StgPoolUtilizationEvent>("_event_ poolutil _fs_ f _pool_ p _util_ 4294967295");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->utilization, -1);
  EXPECT_STREQ(p->pool, "p");
  delete p;
}

TEST(EventRecord, StateChangeReadsThreeGroups) {
  FilesystemStateChangeEvent* e = build<FilesystemStateChangeEvent>(
      "_event_ fsstatechange _fs_ gpfs1 _user_ u1 _meta_ m1 _illreplicated_ _user_ u2 _meta_ "
      "'m 2' _exposed_ _user_ u3 _meta_ m3");
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->fs, "gpfs1");
  EXPECT_STREQ(e->userUnbalanced, "u1");
  EXPECT_STREQ(e->metaUnbalanced, "m1");
  EXPECT_STREQ(e->userIllReplicated, "u2");
  EXPECT_STREQ(e->metaIllReplicated, "m 2");
  EXPECT_STREQ(e->userExposed, "u3");
  EXPECT_STREQ(e->metaExposed, "m3");
  delete e;
  // Without either group word the line is incomplete and dropped.
  EXPECT_EQ(build<FilesystemStateChangeEvent>(
                "_event_ fsstatechange _fs_ f _user_ a _meta_ b _exposed_ _user_ c _meta_ d"),
            nullptr);
  EXPECT_EQ(build<FilesystemStateChangeEvent>(
                "_event_ fsstatechange _fs_ f _user_ a _meta_ b _illreplicated_ _user_ c"),
            nullptr);
}

TEST(EventRecord, TypesWithoutRecords) {
  EventsHandler handler(nullptr, 0);
  char line[] = "_event_ exception _node_ n";
  EXPECT_EQ(handler.createEventObject(EVENT_EXCEPTION, line), nullptr);
  EXPECT_EQ(handler.createEventObject(EVENT_SGSTATS, line), nullptr);
  EXPECT_EQ(handler.createEventObject(EVENT_TYPE_COUNT, line), nullptr);
  EXPECT_EQ(handler.createEventObject(-1, line), nullptr);
  // No polling handler: the disk scan is skipped and nothing is built.
  EXPECT_EQ(handler.createEventObject(EVENT_SDRCHANGED, line), nullptr);
}

TEST(EventRecord, LongValuesAreCutAndLongLinesParsedWhole) {
  std::string longNode(300, 'n');
  std::string line =
      "_event_ adddisk _node_ " + longNode + " _fs_ " + std::string(1500, 'f') + " _disk_ last";
  DiskActionEvent* e = build<DiskActionEvent>(line.c_str());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->node), longNode.substr(0, 255));
  EXPECT_EQ(strlen(e->fs), 255u);
  EXPECT_STREQ(e->disk, "last");  // found past the first 1023 characters
  delete e;
}

// Records handed to the callback, kept for inspection and freed at the end.
struct Received {
  std::vector<std::string> nodes;
  std::vector<int> tags;
};

int recordMount(Event* event, void* data) {
  MountActionEvent* e = static_cast<MountActionEvent*>(event);
  static_cast<Received*>(data)->nodes.push_back(e->node);
  static_cast<Received*>(data)->tags.push_back(0);
  delete e;
  return 0;
}

int recordNode(Event* event, void* data) {
  NodeStatusEvent* e = static_cast<NodeStatusEvent*>(event);
  static_cast<Received*>(data)->nodes.push_back(e->node);
  static_cast<Received*>(data)->tags.push_back(1);
  delete e;
  return 0;
}

int mustNotRun(Event* event, void* data) {
  (void)data;
  ADD_FAILURE() << "callback for a type that builds no record";
  delete static_cast<NodeStatusEvent*>(event);
  return 0;
}

void queueLine(EventsHandler* handler, const char* text) {
  EventItem* item = EventItem::strdup(text);
  ASSERT_NE(item, nullptr);
  handler->appendEventToList(item, item, 1, static_cast<int>(strlen(text) + 1));
}

TEST(EventList, LinesComeOutInOrderAndTheTailReturnsToTheHead) {
  EventsHandler handler(nullptr, 0);
  EXPECT_EQ(handler.listTail, &handler.listHead);
  queueLine(&handler, "first");
  queueLine(&handler, "second");
  EXPECT_EQ(handler.listTail->buffer, std::string("second"));
  char buffer[16];
  EXPECT_STREQ(handler.getEventFromList(buffer, sizeof buffer), "first");
  EXPECT_STREQ(handler.getEventFromList(buffer, sizeof buffer), "second");
  EXPECT_EQ(handler.listTail, &handler.listHead);
  EXPECT_EQ(handler.getEventFromList(buffer, sizeof buffer), nullptr);
  // The list works again after it was emptied.
  queueLine(&handler, "third");
  EXPECT_STREQ(handler.getEventFromList(buffer, sizeof buffer), "third");
}

TEST(EventList, ALineLongerThanTheBufferGetsItsOwnArray) {
  EventsHandler handler(nullptr, 0);
  std::string line(2000, 'q');
  queueLine(&handler, line.c_str());
  char buffer[EventsHandler::LINE_BUFFER_SIZE];
  char* got = handler.getEventFromList(buffer, sizeof buffer);
  ASSERT_NE(got, nullptr);
  EXPECT_NE(got, buffer);
  EXPECT_EQ(std::string(got), line);
  delete[] got;
  // A line that exactly fills the buffer with its NUL stays in the buffer.
  std::string fits(EventsHandler::LINE_BUFFER_SIZE - 1, 'f');
  queueLine(&handler, fits.c_str());
  EXPECT_EQ(handler.getEventFromList(buffer, sizeof buffer), buffer);
}

TEST(EventList, PendingLinesAreFreedWithTheHandler) {
  // Checked by the sanitizer build: three queued lines must not leak.
  EventsHandler* handler = new EventsHandler(nullptr, 0);
  queueLine(handler, "a");
  queueLine(handler, "b");
  queueLine(handler, "c");
  delete handler;
}

TEST(EventList, EventLineCallbackQueuesOnTheHandler) {
  EventsHandler handler(nullptr, 0);
  theEventsHandler = &handler;
  char line[] = "_event_ failure _node_ n7";
  EXPECT_EQ(eventLineCallback(line, nullptr), 0);
  line[0] = 'X';  // the queued copy is the handler's own
  theEventsHandler = nullptr;
  char buffer[64];
  EXPECT_STREQ(handler.getEventFromList(buffer, sizeof buffer), "_event_ failure _node_ n7");
  EXPECT_EQ(eventLineCallback(line, nullptr), 0);  // no handler: dropped
}

TEST(EventDispatch, OnePassHandsRecordsToTheirCallbacksInArrivalOrder) {
  EventsHandler handler(nullptr, 1);
  Received received;
  handler.registerEventCallback(EVENT_MOUNT, recordMount, &received);
  handler.registerEventCallback(EVENT_FAILURE, recordNode, &received);
  handler.registerEventCallback(EVENT_EXCEPTION, mustNotRun, nullptr);
  handler.registerEventCallback(EVENT_SGSTATS, mustNotRun, nullptr);
  std::string log = stderrOf([&] {
    queueLine(&handler, "_event_ mount _node_ a _fs_ f");
    queueLine(&handler, "_event_ exception _node_ x");
    queueLine(&handler, "_event_ failure _node_ b");
    queueLine(&handler, "_event_ recovery _node_ c");  // no callback: freed
    queueLine(&handler, "_event_ sgStats _node_ y");
    queueLine(&handler, "no event keyword");
    queueLine(&handler, "_event_ mount _node_ d");
    EXPECT_EQ(handler.dispatchPending(), 7);
  });
  EXPECT_EQ(received.nodes, (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(received.tags, (std::vector<int>{0, 1, 0}));
  EXPECT_NE(log.find("0th extracted item = _event_ mount _node_ a _fs_ f\n"), std::string::npos);
  EXPECT_NE(log.find("6th extracted item = _event_ mount _node_ d\n"), std::string::npos);
  EXPECT_NE(log.find("new event item is added to list\n"), std::string::npos);
  EXPECT_NE(log.find(typeWordError()), std::string::npos);
  EXPECT_EQ(handler.dispatchPending(), 0);
}

TEST(EventDispatch, ALongLineIsDispatchedWhole) {
  EventsHandler handler(nullptr, 0);
  Received received;
  handler.registerEventCallback(EVENT_MOUNT, recordMount, &received);
  std::string node(200, 'n');
  std::string line = "_event_ mount " + std::string(1800, 'p') + " _node_ " + node;
  queueLine(&handler, line.c_str());
  EXPECT_EQ(handler.dispatchPending(), 1);
  EXPECT_EQ(received.nodes, std::vector<std::string>{node});
}

TEST(EventWakeUp, AWakeBeforeTheWaitIsNotLostAndIsConsumed) {
  EventsHandler handler(nullptr, 0);
  handler.wakeSendThread();
  EXPECT_EQ(EventsHandler::conditionMet, 1);
  handler.waitReceiveThread();  // returns at once
  EXPECT_EQ(EventsHandler::conditionMet, 0);
}

TEST(EventWakeUp, AWaitingSendThreadIsWokenByAnAppend) {
  EventsHandler handler(nullptr, 1);
  std::string log = stderrOf([&] {
    std::thread sender([&] { handler.waitReceiveThread(); });
    // The waiter blocks first; an append then wakes it.
    std::this_thread::yield();
    queueLine(&handler, "_event_ failure _node_ n");
    sender.join();
  });
  EXPECT_EQ(EventsHandler::conditionMet, 0);
  EXPECT_NE(log.find("recv pthread_cond_broadcast()\n"), std::string::npos) << log;
  EXPECT_NE(log.find("send pthread_mutex_unlock()\n"), std::string::npos) << log;
  EventItem::destroyList(handler.listHead.next);
  handler.listTail = &handler.listHead;
}

const char kDaemonSocket[] = "/var/tarnfs/tnperf/tnperfSocket";

bool sandboxed() {
  struct stat st;
  return stat("/var/tarnfs/tnperf", &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(EventsInit, WithoutADaemonTheHandlerExistsWithoutConnection) {
  if (!sandboxed()) GTEST_SKIP() << "needs the sandbox's /var/tarnfs";
  unlink(kDaemonSocket);
  int marker = 0;
  PollingHandler* polling = reinterpret_cast<PollingHandler*>(&marker);
  std::string log = stderrOf([&] { EXPECT_NE(EventsHandler::init(polling, 0), 0); });
  EXPECT_NE(log.find("_error_ creating tnperf wrapper utils"), std::string::npos) << log;
  ASSERT_NE(theEventsHandler, nullptr);
  EXPECT_EQ(theEventsHandler->wrapper, nullptr);
  EXPECT_EQ(theEventsHandler->pollingHandler, nullptr);
  // A later attempt, once the daemon listens, opens the connection.
  conntest::Listener daemon(kDaemonSocket);
  ASSERT_TRUE(daemon.ok());
  EXPECT_EQ(theEventsHandler->connectEvents(), 0);
  EXPECT_NE(theEventsHandler->wrapper, nullptr);
  delete theEventsHandler->wrapper;
  EventsHandler::term();
  EXPECT_EQ(theEventsHandler, nullptr);
}

TEST(EventsInit, WithADaemonTheConnectionAndPollingHandlerAreKept) {
  if (!sandboxed()) GTEST_SKIP() << "needs the sandbox's /var/tarnfs";
  conntest::Listener daemon(kDaemonSocket);
  ASSERT_TRUE(daemon.ok());
  int marker = 0;
  PollingHandler* polling = reinterpret_cast<PollingHandler*>(&marker);
  EXPECT_EQ(EventsHandler::init(polling, 0), 0);
  ASSERT_NE(theEventsHandler, nullptr);
  EXPECT_NE(theEventsHandler->wrapper, nullptr);
  EXPECT_EQ(theEventsHandler->pollingHandler, polling);
  int peer = daemon.acceptPeer();
  EXPECT_GE(peer, 0);  // the handler's own connection reached the daemon
  if (peer >= 0) close(peer);
  delete theEventsHandler->wrapper;
  EventsHandler::term();
}

}  // namespace
