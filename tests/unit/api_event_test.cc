#include "api/api_event.h"

#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "api/api_conn.h"
#include "api_conn_test_util.h"

namespace {

using Texts = std::vector<std::string>;
const char kTypeWordError[] = "_error_ answer parsing error ....\n";

template <typename F>
std::string stderrOf(F body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

int typeOf(const std::string& text) {
  EventsHandler handler(nullptr, 0);
  std::string line = text;
  return handler.getEventType(&line[0]);
}

// Builds the record of the line's own type; the caller deletes it as T.
template <class T>
T* build(const std::string& text) {
  EventsHandler handler(nullptr, 0);
  std::string line = text;
  int type = handler.getEventType(&line[0]);
  return type < 0 ? nullptr : static_cast<T*>(handler.createEventObject(type, &line[0]));
}

TEST(EventType, TypeWordsMatchTheirRowByPrefixAndTheKeywordNeedNotLead) {
  static const char* const kWords[] = {
      "mount",     "unmount",  "adddisk",    "deldisk",  "chdisks",       "takeover",
      "failure",   "recovery", "createfs",   "deletefs", "fsstatechange", "newconnection",
      "exception", "sgStats",  "hungthread", "poolutil", "sdrChanged"};
  for (int i = 0; i < static_cast<int>(std::size(kWords)); i++) {
    SCOPED_TRACE(kWords[i]);
    EXPECT_EQ(typeOf(std::string("_event_ ") + kWords[i]), i);
  }
  EXPECT_EQ(typeOf("_event_ mountpoint _node_ a"), 0);
  EXPECT_EQ(typeOf("_event_ unmount _node_ a"), 1);
  EXPECT_EQ(typeOf("_node_ a _event_ deldisk _fs_ b"), 3);  // the keyword need not lead
  std::string log = stderrOf([] {
    EventsHandler handler(nullptr, 1);
    char line[] = "_event_ poolutil _fs_ x";
    EXPECT_EQ(handler.getEventType(line), 15);
  });
  EXPECT_NE(log.find("answer = poolutil\n"), std::string::npos) << log;
}

TEST(EventType, ShorterOrUnknownWordsAndMissingEventKeyword) {
  std::string log = stderrOf([] {
    EXPECT_EQ(typeOf("_event_ moun _node_ a"), -1);
    EXPECT_EQ(typeOf("_event_ sgstats"), -1);  // compared with its case
    EXPECT_EQ(typeOf("_event_ bogus"), -1);
  });
  EXPECT_EQ(log, "");  // an unknown type is dropped silently
  log = stderrOf([] { EXPECT_EQ(typeOf("mount _node_ a _fs_ b"), -1); });
  EXPECT_NE(log.find(kTypeWordError), std::string::npos) << log;
}

TEST(EventRecord, KeywordsFillFieldsInRecordOrder) {
  ChdiskEvent* e = build<ChdiskEvent>(
      "_event_ chdisk _data_ yes _meta_ no _fg_ 7 _availability_ up _status_ ready "
      "_disk_ d1 _fs_ fs1 _node_ 10.0.0.2");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(Texts({e->node, e->fs, e->disk, e->status, e->availability, e->failureGroup,
                   e->metadata, e->data}),
            Texts({"10.0.0.2", "fs1", "d1", "ready", "up", "7", "no", "yes"}));
  delete e;
  SgmgrTakeoverEvent* t =
      build<SgmgrTakeoverEvent>("_event_ takeover _node_ n2 _prevnode_ n1 _fs_ fs9");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Texts({t->node, t->prevNode, t->fs}), Texts({"n2", "n1", "fs9"}));
  delete t;
}

TEST(EventRecord, QuotedValuesMissingKeywordsAndWordBoundaries) {
  MountActionEvent* m = build<MountActionEvent>("_event_ mount x_node_ bad _node_ 'node one' _x_");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(Texts({m->node, m->fs}), Texts({"node one", ""}));  // missing keyword: empty field
  delete m;
  // The keyword at the very end of the line has no value after a blank.
  FilesystemActionEvent* f = build<FilesystemActionEvent>("_event_ createfs _fs_ 'a b' _node_");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Texts({f->fs, f->node}), Texts({"a b", ""}));
  delete f;
}

TEST(EventRecord, NewConnectionReadsN) {
  NodeStatusEvent* n = build<NodeStatusEvent>("_event_ newconnection _n_ 10.1.1.1");
  NodeStatusEvent* node = build<NodeStatusEvent>("_event_ newconnection _node_ 10.1.1.1");
  ASSERT_TRUE(n != nullptr && node != nullptr);
  EXPECT_STREQ(n->node, "10.1.1.1");
  EXPECT_STREQ(node->node, "");
  delete n;
  delete node;
}

TEST(EventRecord, NumbersAreBaseTenNarrowedTo32Bits) {
  static const struct {
    const char* wait;
    int64_t expected;
  } kCases[] = {{"5", 5},    {"' -12abc'", -12}, {"+7", 7},
                {"abc", 0},  {"4294967297", 1},  {"2147483648", -2147483648LL},
                {"'9 9'", 9}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.wait);
    HungThreadEvent* e = build<HungThreadEvent>(std::string("_event_ hungthread _node_ n _wait_ ") +
                                                c.wait + " _diagnosis_ 'long wait'");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->waitTime, c.expected);
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
  EXPECT_EQ(Texts({e->fs, e->userUnbalanced, e->metaUnbalanced, e->userIllReplicated,
                   e->metaIllReplicated, e->userExposed, e->metaExposed}),
            Texts({"gpfs1", "u1", "m1", "u2", "m 2", "u3", "m3"}));
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
  // EVENT_SDRCHANGED: without a polling handler the disk scan is skipped.
  for (int type :
       std::vector<int>{EVENT_EXCEPTION, EVENT_SGSTATS, EVENT_TYPE_COUNT, -1, EVENT_SDRCHANGED})
    EXPECT_EQ(handler.createEventObject(type, line), nullptr) << type;
}

TEST(EventRecord, LongValuesAreCutAndLongLinesParsedWhole) {
  std::string longNode(300, 'n');
  DiskActionEvent* e = build<DiskActionEvent>("_event_ adddisk _node_ " + longNode + " _fs_ " +
                                              std::string(1500, 'f') + " _disk_ last");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->node), longNode.substr(0, 255));
  EXPECT_EQ(strlen(e->fs), 255u);
  EXPECT_STREQ(e->disk, "last");  // found past the first 1023 characters
  delete e;
}

struct Received {
  std::vector<std::string> nodes;
  std::vector<int> tags;
};

template <class T, int Tag>
int record(Event* event, void* data) {
  T* e = static_cast<T*>(event);
  static_cast<Received*>(data)->nodes.push_back(e->node);
  static_cast<Received*>(data)->tags.push_back(Tag);
  delete e;
  return 0;
}

int mustNotRun(Event* event, void*) {
  ADD_FAILURE() << "callback for a type that builds no record";
  delete static_cast<NodeStatusEvent*>(event);
  return 0;
}

void queueLine(EventsHandler* handler, const std::string& text) {
  EventItem* item = EventItem::strdup(text.c_str());
  ASSERT_NE(item, nullptr);
  handler->appendEventToList(item, item, 1, static_cast<int>(text.size() + 1));
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
  queueLine(&handler, "third");  // the list works again after it was emptied
  EXPECT_STREQ(handler.getEventFromList(buffer, sizeof buffer), "third");
  // Lines still pending are freed with the handler (the sanitizer build sees a leak).
  queueLine(&handler, "a");
  queueLine(&handler, "b");
}

TEST(EventList, ALineLongerThanTheBufferGetsItsOwnArray) {
  EventsHandler handler(nullptr, 0);
  std::string line(2000, 'q');
  queueLine(&handler, line);
  char buffer[EventsHandler::LINE_BUFFER_SIZE];
  char* got = handler.getEventFromList(buffer, sizeof buffer);
  ASSERT_NE(got, nullptr);
  EXPECT_NE(got, buffer);
  EXPECT_EQ(std::string(got), line);
  delete[] got;
  // A line that exactly fills the buffer with its NUL stays in the buffer.
  queueLine(&handler, std::string(EventsHandler::LINE_BUFFER_SIZE - 1, 'f'));
  EXPECT_EQ(handler.getEventFromList(buffer, sizeof buffer), buffer);
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

TEST(EventDispatch, OnePassHandsRecordsToTheirCallbacksInArrivalOrderAndLongLinesWhole) {
  EventsHandler handler(nullptr, 1);
  Received received;
  handler.registerEventCallback(EVENT_MOUNT, record<MountActionEvent, 0>, &received);
  handler.registerEventCallback(EVENT_FAILURE, record<NodeStatusEvent, 1>, &received);
  handler.registerEventCallback(EVENT_EXCEPTION, mustNotRun, nullptr);
  handler.registerEventCallback(EVENT_SGSTATS, mustNotRun, nullptr);
  std::string node(200, 'n');
  std::string longLine = "_event_ mount " + std::string(1800, 'p') + " _node_ " + node;
  std::string log = stderrOf([&] {
    for (std::string line :
         {"_event_ mount _node_ a _fs_ f", "_event_ exception _node_ x", "_event_ failure _node_ b",
          "_event_ recovery _node_ c" /* no callback: freed */, "_event_ sgStats _node_ y",
          "no event keyword", "_event_ mount _node_ d", longLine.c_str()})
      queueLine(&handler, line);
    EXPECT_EQ(handler.dispatchPending(), 8);
  });
  EXPECT_EQ(received.nodes, (std::vector<std::string>{"a", "b", "d", node}));
  EXPECT_EQ(received.tags, (std::vector<int>{0, 1, 0, 0}));
  EXPECT_NE(log.find("0th extracted item = _event_ mount _node_ a _fs_ f\n"), std::string::npos);
  EXPECT_NE(log.find("6th extracted item = _event_ mount _node_ d\n"), std::string::npos);
  EXPECT_NE(log.find("new event item is added to list\n"), std::string::npos);
  EXPECT_NE(log.find(kTypeWordError), std::string::npos);
  EXPECT_EQ(handler.dispatchPending(), 0);
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
    std::this_thread::yield();  // the waiter blocks first; an append then wakes it
    queueLine(&handler, "_event_ failure _node_ n");
    sender.join();
  });
  EXPECT_EQ(EventsHandler::conditionMet, 0);
  EXPECT_NE(log.find("recv pthread_cond_broadcast()\n"), std::string::npos) << log;
  EXPECT_NE(log.find("send pthread_mutex_unlock()\n"), std::string::npos) << log;
}

const char kDaemonSocket[] = "/var/tarnfs/tnperf/tnperfSocket";

class EventsInit : public testing::Test {
 protected:
  void SetUp() override {
    struct stat st;
    if (stat("/var/tarnfs/tnperf", &st) != 0 || !S_ISDIR(st.st_mode))
      GTEST_SKIP() << "needs the sandbox's /var/tarnfs";
  }
  void TearDown() override {
    if (theEventsHandler == nullptr) return;
    EventsHandler::term();  // run never started: the wrapper goes with the handler
    EXPECT_EQ(theEventsHandler, nullptr);
  }
  int marker = 0;
  PollingHandler* polling = reinterpret_cast<PollingHandler*>(&marker);
};

TEST_F(EventsInit, WithoutADaemonTheHandlerExistsWithoutConnection) {
  unlink(kDaemonSocket);
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
}

TEST_F(EventsInit, WithADaemonTheConnectionAndPollingHandlerAreKept) {
  conntest::Listener daemon(kDaemonSocket);
  ASSERT_TRUE(daemon.ok());
  EXPECT_EQ(EventsHandler::init(polling, 0), 0);
  ASSERT_NE(theEventsHandler, nullptr);
  EXPECT_NE(theEventsHandler->wrapper, nullptr);
  EXPECT_EQ(theEventsHandler->pollingHandler, polling);
  int peer = daemon.acceptPeer();
  EXPECT_GE(peer, 0);  // the handler's own connection reached the daemon
  if (peer >= 0) close(peer);
}

}  // namespace
