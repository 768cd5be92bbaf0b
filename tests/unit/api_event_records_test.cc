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

TEST(EventItem, DeletingTheOnlyItemLeavesTheHeadEmpty) {
  Chain chain(1);
  delete chain.items[0];
  EXPECT_EQ(chain.head.next, nullptr);
}

TEST(EventItem, DeletingAMiddleItemLinksItsNeighbours) {
  Chain chain(3);
  delete chain.items[1];
  EXPECT_EQ(chain.items[0]->next, chain.items[2]);
  EXPECT_EQ(chain.items[2]->prev, chain.items[0]);
  EventItem::destroyList(chain.head.next);
}

TEST(EventItem, DestroyListFreesTheWholeChainBehindTheHead) {
  // Leaks would show under the sanitizer build; the head must end unlinked.
  Chain chain(3);
  EventItem::destroyList(chain.head.next);
  EXPECT_EQ(chain.head.next, nullptr);
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

TEST(EventRecords, EmptyTextsStayEmptyAndNumbersAreKept) {
  ChdiskEvent chdisk("", "", "", "", "", "", "", "");
  EXPECT_STREQ(chdisk.node, "");
  EXPECT_STREQ(chdisk.data, "");
  HungThreadEvent hung("n1", -5, "");
  EXPECT_EQ(hung.waitTime, -5);
  StgPoolUtilizationEvent pool("fs1", "system", 97);
  EXPECT_STREQ(pool.pool, "system");
  EXPECT_EQ(pool.utilization, 97);
  NodeStatusEvent node("10.0.0.9");
  EXPECT_STREQ(node.node, "10.0.0.9");
  EXPECT_EQ(sizeof node.node, 256u);
}

TEST(EventRecords, ConstructorsKeepArgumentOrder) {
  FilesystemStateChangeEvent e("fs", "uu", "mu", "ui", "mi", "ue", "me");
  EXPECT_STREQ(e.fs, "fs");
  EXPECT_STREQ(e.userUnbalanced, "uu");
  EXPECT_STREQ(e.metaUnbalanced, "mu");
  EXPECT_STREQ(e.userIllReplicated, "ui");
  EXPECT_STREQ(e.metaIllReplicated, "mi");
  EXPECT_STREQ(e.userExposed, "ue");
  EXPECT_STREQ(e.metaExposed, "me");
  SgmgrTakeoverEvent t("new", "old", "fs");
  EXPECT_STREQ(t.node, "new");
  EXPECT_STREQ(t.prevNode, "old");
  EXPECT_STREQ(t.fs, "fs");
}

TEST(EventRecords, OverlongTextIsCutToTheField) {
  std::string longText(400, 'z');
  DiskActionEvent e(longText.c_str(), "fs", longText.c_str());
  EXPECT_EQ(strlen(e.node), 255u);
  EXPECT_EQ(std::string(e.node), longText.substr(0, 255));
  EXPECT_STREQ(e.fs, "fs");  // the neighbouring field is untouched
  EXPECT_EQ(strlen(e.disk), 255u);
}

}  // namespace
