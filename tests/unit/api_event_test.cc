// The events handler: type table, records from lines, list, threads and stop.
#include "api/api_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/api_conn_test_util.h"

namespace {

using Texts = std::vector<std::string>;

template <class T>
std::unique_ptr<T> build(std::string line) {
  EventsHandler handler(nullptr, 0);
  int type = handler.getEventType(&line[0]);
  return std::unique_ptr<T>(type < 0 ? nullptr
                                     : static_cast<T*>(handler.createEventObject(type, &line[0])));
}

// Each type word's trap, and the table's words in type order, are the system tests' to check.
TEST(EventType, TheFirstRowWhoseWordBeginsTheTypeWord) {
  EventsHandler handler(nullptr, 0);
  auto typeOf = [&](std::string line) { return handler.getEventType(&line[0]); };
  EXPECT_EQ(typeOf("_event_ mounts _node_ a"), EVENT_MOUNT);
  EXPECT_EQ(typeOf("_event_ poolutilization"), EVENT_POOLUTIL);
  EXPECT_EQ(typeOf("_node_ a _event_ deldisk _fs_ b"), EVENT_DELDISK);
  EXPECT_EQ(typeOf("_event_ moun _node_ a"), -1);
  EXPECT_EQ(typeOf("_event_ sgstats"), -1);
}

// Every field of every trap's record, from the event line, is the system tests' to check.
TEST(EventRecord, KeywordsFillTheFieldsOfTheRecordsType) {
  // Quoted values; a keyword inside a word is none; long values are cut, and
  // keywords past the first 1023 characters are found.
  auto d = build<DiskActionEvent>("_event_ adddisk x_node_ bad _node_ 'node one' _fs_ " +
                                  std::string(1500, 'f') + " _disk_ last");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Texts({d->node, d->fs, d->disk}), Texts({"node one", std::string(255, 'f'), "last"}));
  // Numbers: base ten up to the first non-digit, narrowed to 32 bits.
  static const std::pair<const char*, int32_t> kWaits[] = {
      {"' -12abc'", -12}, {"abc", 0}, {"4294967297", 1}, {"2147483648", INT32_MIN}};
  for (const auto& [text, expected] : kWaits) {
    auto e = build<HungThreadEvent>(std::string("_event_ hungthread _wait_ ") + text);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->waitTime, expected) << text;
  }
}

// How many disk scans had run when the mount's callback was called.
int scansAtMount = -1;
int noteScans(Event* event, void* handler) {
  delete static_cast<MountActionEvent*>(event);
  scansAtMount = static_cast<EventsHandler*>(handler)->diskScans;
  return 0;
}

// A run of changes costs one scan, where it stood; a full list drops, counts and says so once.
TEST(EventList, ARunOfChangesIsOneScanAndAFullListDropsAndCounts) {
  EventsHandler handler(nullptr, 0);
  handler.registerEventCallback(EVENT_MOUNT, noteScans, &handler);
  auto append = [&](const char* text) {
    EventItem* item = EventItem::strdup(text);
    return handler.appendEventToList(item, item, 1, 0);
  };
  for (const char* line : {"_event_ sdrChanged", "_event_ sdrChanged", "_event_ sdrChanged",
                           "_event_ mount _node_ a", "_event_ sdrChanged", "_event_ sdrChanged"})
    append(line);
  EXPECT_EQ(handler.dispatchPending(), 6);
  EXPECT_EQ(scansAtMount, 1);
  EXPECT_EQ(handler.diskScans, 2);

  const uint64_t dropped = eventsDroppedCount();
  for (int i = 0; i < EventsHandler::kMaxPendingLines; i++)
    ASSERT_EQ(append("_event_ exception"), 0);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; i++) EXPECT_EQ(append("_event_ exception"), 1);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(eventsDroppedCount() - dropped, 3u);
  const size_t warning = log.find("Warning: event list full (50000 lines waiting), 1 events");
  EXPECT_TRUE(warning != std::string::npos && warning == log.rfind("Warning")) << log;
  EXPECT_EQ(handler.dispatchPending(), EventsHandler::kMaxPendingLines);
  EXPECT_EQ(append("_event_ exception"), 0);
}

// Mounts seen by their callback.
std::atomic<int> mounts{0};
int countMount(Event* event, void*) {
  delete static_cast<MountActionEvent*>(event);
  mounts++;
  return 0;
}

// A daemon missing at start-up: init fails, and the receive thread keeps trying until the
// connection is made, then takes the polling handler. A queued line reaches its callback (that
// bursts of every type arrive in order, none lost, is the trap tests'); a stop ends run and term
// leaves the handler to the receive thread, which stays blocked in its read.
TEST(EventThreads, AConnectionMissingAtStartIsRetriedAndLinesReachTheirCallbacksUntilAStop) {
  REQUIRE_SANDBOX();
  const char kSocket[] = "/var/tarnfs/tnperf/tnperfSocket";
  unlink(kSocket);
  int marker = 0;
  PollingHandler* polling = reinterpret_cast<PollingHandler*>(&marker);
  testing::internal::CaptureStderr();
  EXPECT_NE(EventsHandler::init(polling, 0), 0);
  EventsHandler* handler = theEventsHandler;
  EXPECT_EQ(handler->pollingHandler, nullptr);
  handler->registerEventCallback(EVENT_MOUNT, countMount, nullptr);
  std::thread runner([&] { EXPECT_EQ(handler->run(), 0); });
  // The receive thread waits on this connection for the rest of the process.
  static auto* daemon = new conntest::Listener(kSocket);
  ASSERT_TRUE(daemon->ok());
  int peer = daemon->acceptPeer();  // within the first retry, 5 s
  if (peer < 0) peer = daemon->acceptPeer();
  EXPECT_GE(peer, 0);
  EXPECT_TRUE(conntest::waitFor([&] { return handler->pollingHandler == polling; }));
  unlink(kSocket);
  std::string line = "_event_ mount _node_ a";
  eventLineCallback(&line[0], nullptr);
  EXPECT_TRUE(conntest::waitFor([] { return mounts == 1; }));
  handler->stop();
  runner.join();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("_error_ creating tnperf wrapper utils"), std::string::npos) << log;
  EXPECT_NE(log.find("Warning: events connection to the TARN daemon made"), std::string::npos)
      << log;
  EventsHandler::term();
  EXPECT_EQ(theEventsHandler, handler);
}

}  // namespace
