#pragma once

#include "platform/dispatch/Counter.h"
#include "platform/event_source/EndpointSecurity.h"
#include "tracking/PathTrackerInterface.h"

namespace zorva {

// What the dispatcher has seen since start-up, for the service's status.
struct DispatchCounters {
  SingleWriterCounter dispatched;  // every event handed to the dispatcher
  SingleWriterCounter dropped;     // of those, an ignored process's, or a folder's open or close
};

// Turns each file event into exactly one tracker call, after the process filter. It keeps nothing
// between events and runs on the event source's serial thread, so it must return quickly: no
// I/O, no lock, and no path string for the directory opens and closes it drops.
class EventDispatcher {
 public:
  explicit EventDispatcher(PathTrackerInterface& tracker, DispatchCounters* counters = nullptr)
      : _tracker(tracker), _counters(counters) {}

  void handle(const es_message_t& message) const;

  // The nine event types, in the order the service subscribes to them.
  static const es_event_type_t kSubscriptions[9];

 private:
  void dropped() const {
    if (_counters) _counters->dropped.add();
  }

  PathTrackerInterface& _tracker;
  DispatchCounters* _counters;
};

}  // namespace zorva
