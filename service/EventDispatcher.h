#pragma once

#include "platform/event_source/EndpointSecurity.h"
#include "tracking/PathTrackerInterface.h"

namespace zorva {

// Turns each file event into exactly one tracker call, after the process filter. It keeps nothing
// between events and runs on the event source's serial thread, so it must return quickly: no
// I/O, no lock, and no path string for the directory opens and closes it drops.
class EventDispatcher {
 public:
  explicit EventDispatcher(PathTrackerInterface& tracker) : tracker_(tracker) {}

  void handle(const es_message_t& message) const;

  // The nine event types, in the order the service subscribes to them.
  static const es_event_type_t kSubscriptions[9];

 private:
  PathTrackerInterface& tracker_;
};

}  // namespace zorva
