// Event records and the raw event list.
//
// An EventItem holds one event line, exactly as the daemon sent it, while it
// waits between the events handler's receive thread and its send thread. The
// Event records are what the send thread makes of a line: one plain record
// per kind of event, handed to the trap sender registered for its type, which
// converts the Event* statically to the concrete type and deletes it.
#ifndef TNMIBD_API_API_EVENT_RECORDS_H_
#define TNMIBD_API_API_EVENT_RECORDS_H_

#include <stdint.h>

// Size of every text field of a record: at most 255 characters and the NUL.
// Longer texts are cut to 255 characters, never written past the field.
enum { EVENT_TEXT_SIZE = 256 };

// Empty base of the records: no data, no virtual operations.
class Event {
 public:
  Event() {}
  ~Event() {}
};

// "mount", "unmount".
class MountActionEvent : public Event {
 public:
  MountActionEvent(const char* node, const char* fs);
  char node[EVENT_TEXT_SIZE];
  char fs[EVENT_TEXT_SIZE];
};

// "adddisk", "deldisk".
class DiskActionEvent : public Event {
 public:
  DiskActionEvent(const char* node, const char* fs, const char* disk);
  char node[EVENT_TEXT_SIZE];
  char fs[EVENT_TEXT_SIZE];
  char disk[EVENT_TEXT_SIZE];
};

// "chdisk".
class ChdiskEvent : public Event {
 public:
  ChdiskEvent(const char* node, const char* fs, const char* disk, const char* status,
              const char* availability, const char* failureGroup, const char* metadata,
              const char* data);
  char node[EVENT_TEXT_SIZE];
  char fs[EVENT_TEXT_SIZE];
  char disk[EVENT_TEXT_SIZE];
  char status[EVENT_TEXT_SIZE];
  char availability[EVENT_TEXT_SIZE];
  char failureGroup[EVENT_TEXT_SIZE];
  char metadata[EVENT_TEXT_SIZE];
  char data[EVENT_TEXT_SIZE];
};

// "takeover": node is the new file system manager, prevNode the previous one.
class SgmgrTakeoverEvent : public Event {
 public:
  SgmgrTakeoverEvent(const char* node, const char* prevNode, const char* fs);
  char node[EVENT_TEXT_SIZE];
  char prevNode[EVENT_TEXT_SIZE];
  char fs[EVENT_TEXT_SIZE];
};

// "failure", "recovery", "newconnection".
class NodeStatusEvent : public Event {
 public:
  explicit NodeStatusEvent(const char* node);
  char node[EVENT_TEXT_SIZE];
};

// "createfs", "deletefs": node is the file system manager.
class FilesystemActionEvent : public Event {
 public:
  FilesystemActionEvent(const char* node, const char* fs);
  char node[EVENT_TEXT_SIZE];
  char fs[EVENT_TEXT_SIZE];
};

// "fsstatechange": the daemon's texts for unbalanced, ill-replicated and
// exposed user data and metadata.
class FilesystemStateChangeEvent : public Event {
 public:
  FilesystemStateChangeEvent(const char* fs, const char* userUnbalanced, const char* metaUnbalanced,
                             const char* userIllReplicated, const char* metaIllReplicated,
                             const char* userExposed, const char* metaExposed);
  char fs[EVENT_TEXT_SIZE];
  char userUnbalanced[EVENT_TEXT_SIZE];
  char metaUnbalanced[EVENT_TEXT_SIZE];
  char userIllReplicated[EVENT_TEXT_SIZE];
  char metaIllReplicated[EVENT_TEXT_SIZE];
  char userExposed[EVENT_TEXT_SIZE];
  char metaExposed[EVENT_TEXT_SIZE];
};

// "hungthread".
class HungThreadEvent : public Event {
 public:
  HungThreadEvent(const char* node, int64_t waitTime, const char* diagnosis);
  char node[EVENT_TEXT_SIZE];
  int64_t waitTime;
  char diagnosis[EVENT_TEXT_SIZE];
};

// "poolutil".
class StgPoolUtilizationEvent : public Event {
 public:
  StgPoolUtilizationEvent(const char* fs, const char* pool, int32_t utilization);
  char fs[EVENT_TEXT_SIZE];
  char pool[EVENT_TEXT_SIZE];
  int32_t utilization;
};

// "sdrChanged": carries nothing; the events handler acts on it itself.
class SDRChangedEvent : public Event {
 public:
  SDRChangedEvent() {}
};

// A node of the doubly linked list of pending event lines. An item owns its
// buffer (an array); deleting an item unlinks it from its neighbours.
class EventItem {
 public:
  EventItem();
  // Frees buffer, then links prev and next to each other, closing the gap.
  ~EventItem();
  EventItem(const EventItem&) = delete;
  EventItem& operator=(const EventItem&) = delete;

  // A new unlinked item owning a copy of text; null when memory runs out.
  static EventItem* strdup(const char* text);

  // Copies buffer (the empty string when there is none) with its NUL into
  // dst, which must hold the text's length plus one; returns dst.
  char* copyBuf(char* dst);

  // Makes item this item's next and, for a non-null item, this its prev; the
  // item's own next is kept, so a whole chain is attached.
  void append(EventItem* item);

  // Deletes every item after first, then first itself; null does nothing. A
  // head that first was linked behind ends with next null.
  static void destroyList(EventItem* first);

  char* buffer;
  EventItem* prev;
  EventItem* next;
};

#endif  // TNMIBD_API_API_EVENT_RECORDS_H_
