// Fuzz target: each input line queued as the receive thread queues a line it read, then one pass
// of the send thread into the event records. Each record reaches a callback, as a trap sender,
// that checks its texts are terminated within their size and deletes it through its own class.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "api/api_event.h"

namespace {

template <class R, char (R::*... Fields)[EVENT_TEXT_SIZE]>
int consume(Event* event, void*) {
  R* record = static_cast<R*>(event);
  for (const char* text : {static_cast<const char*>(record->*Fields)...})
    if (strnlen(text, EVENT_TEXT_SIZE) == EVENT_TEXT_SIZE) abort();
  delete record;
  return 0;
}

struct CallbackRow {
  int type;
  EventCallback callback;
};

const CallbackRow kCallbacks[] = {
    {EVENT_MOUNT, consume<MountActionEvent, &MountActionEvent::node, &MountActionEvent::fs>},
    {EVENT_UNMOUNT, consume<MountActionEvent, &MountActionEvent::node, &MountActionEvent::fs>},
    {EVENT_ADDDISK, consume<DiskActionEvent, &DiskActionEvent::node, &DiskActionEvent::fs,
                            &DiskActionEvent::disk>},
    {EVENT_DELDISK, consume<DiskActionEvent, &DiskActionEvent::node, &DiskActionEvent::fs,
                            &DiskActionEvent::disk>},
    {EVENT_CHDISK, consume<ChdiskEvent, &ChdiskEvent::node, &ChdiskEvent::fs, &ChdiskEvent::disk,
                           &ChdiskEvent::status, &ChdiskEvent::availability,
                           &ChdiskEvent::failureGroup, &ChdiskEvent::metadata, &ChdiskEvent::data>},
    {EVENT_TAKEOVER, consume<SgmgrTakeoverEvent, &SgmgrTakeoverEvent::node,
                             &SgmgrTakeoverEvent::prevNode, &SgmgrTakeoverEvent::fs>},
    {EVENT_FAILURE, consume<NodeStatusEvent, &NodeStatusEvent::node>},
    {EVENT_RECOVERY, consume<NodeStatusEvent, &NodeStatusEvent::node>},
    {EVENT_CREATEFS,
     consume<FilesystemActionEvent, &FilesystemActionEvent::node, &FilesystemActionEvent::fs>},
    {EVENT_DELETEFS,
     consume<FilesystemActionEvent, &FilesystemActionEvent::node, &FilesystemActionEvent::fs>},
    {EVENT_FSSTATECHANGE,
     consume<FilesystemStateChangeEvent, &FilesystemStateChangeEvent::fs,
             &FilesystemStateChangeEvent::userUnbalanced,
             &FilesystemStateChangeEvent::metaUnbalanced,
             &FilesystemStateChangeEvent::userIllReplicated,
             &FilesystemStateChangeEvent::metaIllReplicated,
             &FilesystemStateChangeEvent::userExposed, &FilesystemStateChangeEvent::metaExposed>},
    {EVENT_NEWCONNECTION, consume<NodeStatusEvent, &NodeStatusEvent::node>},
    {EVENT_HUNGTHREAD,
     consume<HungThreadEvent, &HungThreadEvent::node, &HungThreadEvent::diagnosis>},
    {EVENT_POOLUTIL, consume<StgPoolUtilizationEvent, &StgPoolUtilizationEvent::fs,
                             &StgPoolUtilizationEvent::pool>},
};

// A record for a type without a record is a fault.
int unexpected(Event*, void*) { abort(); }

EventsHandler* makeHandler() {
  MErrno err = 0;
  EventsHandler* handler = new EventsHandler(&err, 0);
  for (int type = 0; type < EVENT_TYPE_COUNT; type++)
    handler->registerEventCallback(type, unexpected, nullptr);
  for (const CallbackRow& row : kCallbacks)
    handler->registerEventCallback(row.type, row.callback, nullptr);
  return handler;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static EventsHandler* handler = makeHandler();
  theEventsHandler = handler;
  std::string text(reinterpret_cast<const char*>(data), size);
  int lines = 0;
  for (size_t start = 0; start < size; lines++) {  // a last line without its newline counts
    size_t end = std::min(text.find('\n', start), size);
    std::string line = text.substr(start, end - start);
    eventLineCallback(&line[0], nullptr);
    start = end + 1;
  }
  if (handler->dispatchPending() != lines) abort();
  return 0;
}
