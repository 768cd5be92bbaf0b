#include "api/api_event_records.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

// A head (no buffer, as the events handler keeps it) and n items behind it.
struct Chain {
  EventItem head;
  EventItem* items[3];
  explicit Chain(int n) {
    EventItem* tail = &head;
    for (int i = 0; i < n; i++) {
      items[i] = EventItem::strdup(("line " + std::to_string(i)).c_str());
      tail->append(items[i]);
      tail = items[i];
    }
  }
};

TEST(EventItem, CopiesTheTextAndAnEmptyItemCopiesAsEmpty) {
  EventItem* item = EventItem::strdup("_event_ mount _node_ 10.0.0.1");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->prev, nullptr);
  EXPECT_EQ(item->next, nullptr);
  char out[64];
  memset(out, 'x', sizeof out);
  EXPECT_EQ(item->copyBuf(out), out);
  EXPECT_STREQ(out, "_event_ mount _node_ 10.0.0.1");
  delete item;
  EventItem empty;
  memset(out, 'x', sizeof out);
  EXPECT_STREQ(empty.copyBuf(out), "");
}

TEST(EventItem, DeletingAnItemUnlinksItFromItsNeighbours) {
  Chain one(1);
  delete one.items[0];
  EXPECT_EQ(one.head.next, nullptr);
  Chain three(3);
  delete three.items[1];
  EXPECT_EQ(three.items[0]->next, three.items[2]);
  EXPECT_EQ(three.items[2]->prev, three.items[0]);
  // destroyList frees the rest (leaks show in the sanitizer build) and unlinks the head.
  EventItem::destroyList(three.head.next);
  EXPECT_EQ(three.head.next, nullptr);
  EventItem::destroyList(nullptr);
}

TEST(EventItem, AppendAttachesAWholeChain) {
  Chain list(1);
  EventItem* first = EventItem::strdup("a");
  EventItem* second = EventItem::strdup("b");
  first->append(second);
  list.items[0]->append(first);
  EXPECT_EQ(list.items[0]->next, first);
  EXPECT_EQ(first->prev, list.items[0]);
  EXPECT_EQ(first->next, second);
  EXPECT_EQ(second->prev, first);
  EXPECT_EQ(second->next, nullptr);
  list.items[0]->append(nullptr);  // detaching keeps the detached chain intact
  EXPECT_EQ(list.items[0]->next, nullptr);
  EXPECT_EQ(first->next, second);
  EventItem::destroyList(first);
  EventItem::destroyList(list.head.next);
}

TEST(EventRecords, OverlongTextIsCutToTheField) {
  std::string longText(400, 'z');
  DiskActionEvent e(longText.c_str(), "fs", longText.c_str());
  EXPECT_EQ(std::string(e.node), longText.substr(0, 255));
  EXPECT_STREQ(e.fs, "fs");  // the neighbouring field is untouched
  EXPECT_EQ(strlen(e.disk), 255u);
}

}  // namespace
