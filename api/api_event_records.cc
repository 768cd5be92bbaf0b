#include "api/api_event_records.h"

#include <string.h>
#include <new>

#include "agent/text.h"

MountActionEvent::MountActionEvent(const char* node, const char* fs) {
  copyText(this->node, node);
  copyText(this->fs, fs);
}

DiskActionEvent::DiskActionEvent(const char* node, const char* fs, const char* disk) {
  copyText(this->node, node);
  copyText(this->fs, fs);
  copyText(this->disk, disk);
}

ChdiskEvent::ChdiskEvent(const char* node, const char* fs, const char* disk, const char* status,
                         const char* availability, const char* failureGroup, const char* metadata,
                         const char* data) {
  copyText(this->node, node);
  copyText(this->fs, fs);
  copyText(this->disk, disk);
  copyText(this->status, status);
  copyText(this->availability, availability);
  copyText(this->failureGroup, failureGroup);
  copyText(this->metadata, metadata);
  copyText(this->data, data);
}

SgmgrTakeoverEvent::SgmgrTakeoverEvent(const char* node, const char* prevNode, const char* fs) {
  copyText(this->node, node);
  copyText(this->prevNode, prevNode);
  copyText(this->fs, fs);
}

NodeStatusEvent::NodeStatusEvent(const char* node) { copyText(this->node, node); }

FilesystemActionEvent::FilesystemActionEvent(const char* node, const char* fs) {
  copyText(this->node, node);
  copyText(this->fs, fs);
}

FilesystemStateChangeEvent::FilesystemStateChangeEvent(const char* fs, const char* userUnbalanced,
                                                       const char* metaUnbalanced,
                                                       const char* userIllReplicated,
                                                       const char* metaIllReplicated,
                                                       const char* userExposed,
                                                       const char* metaExposed) {
  copyText(this->fs, fs);
  copyText(this->userUnbalanced, userUnbalanced);
  copyText(this->metaUnbalanced, metaUnbalanced);
  copyText(this->userIllReplicated, userIllReplicated);
  copyText(this->metaIllReplicated, metaIllReplicated);
  copyText(this->userExposed, userExposed);
  copyText(this->metaExposed, metaExposed);
}

HungThreadEvent::HungThreadEvent(const char* node, int64_t waitTime, const char* diagnosis)
    : waitTime(waitTime) {
  copyText(this->node, node);
  copyText(this->diagnosis, diagnosis);
}

StgPoolUtilizationEvent::StgPoolUtilizationEvent(const char* fs, const char* pool,
                                                 int32_t utilization)
    : utilization(utilization) {
  copyText(this->fs, fs);
  copyText(this->pool, pool);
}

EventItem::EventItem() : buffer(nullptr), prev(nullptr), next(nullptr) {}

EventItem::~EventItem() {
  delete[] buffer;
  if (prev != nullptr) prev->next = next;
  if (next != nullptr) next->prev = prev;
}

EventItem* EventItem::strdup(const char* text) {
  size_t size = strlen(text) + 1;
  char* copy = new (std::nothrow) char[size];
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, size);
  EventItem* item = new (std::nothrow) EventItem();
  if (item == nullptr) {
    delete[] copy;
    return nullptr;
  }
  item->buffer = copy;
  return item;
}

char* EventItem::copyBuf(char* dst) {
  if (buffer == nullptr) {
    dst[0] = '\0';
  } else {
    memcpy(dst, buffer, strlen(buffer) + 1);
  }
  return dst;
}

void EventItem::append(EventItem* item) {
  next = item;
  if (item != nullptr) item->prev = this;
}

void EventItem::destroyList(EventItem* first) {
  if (first == nullptr) return;
  while (first->next != nullptr) delete first->next;
  delete first;
}
