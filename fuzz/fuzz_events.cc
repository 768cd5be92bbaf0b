// Fuzz target: event lines, from the receive thread's queue to the event
// records.
//
// Each line of the input is queued as the receive thread queues a line it
// read (eventLineCallback), and then one pass of the send thread
// (dispatchPending) takes them: the type word, the keyword values and the
// record of each line. Every record reaches a callback, as the trap senders
// receive it, that checks each text field is terminated within its size and
// deletes the record through its own class.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "api/api_event.h"
#include "fuzz/fuzz_util.h"

namespace {

// Checks the record's text fields and deletes it, as a trap sender would.
template <class R, char (R::*... Fields)[EVENT_TEXT_SIZE]>
int consume(Event* event, void*) {
  R* record = static_cast<R*>(event);
  for (const char* text : {static_cast<const char*>(record->*Fields)...}) {
    if (strnlen(text, EVENT_TEXT_SIZE) == EVENT_TEXT_SIZE) abort();
  }
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
  std::vector<std::string> lines = fuzz::splitLines(data, size);
  for (std::string& line : lines) eventLineCallback(&line[0], nullptr);
  if (handler->dispatchPending() != static_cast<int>(lines.size())) abort();
  return 0;
}
