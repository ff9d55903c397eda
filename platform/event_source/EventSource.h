#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_source/EndpointSecurity.h"
#include "platform/event_source/FolderFilter.h"

namespace zorva {

// How one mounted filesystem is watched, as the source last found it.
struct MountCoverage {
  enum class Coverage { Full, Partial, None };
  std::string mountPoint;
  std::string fsType;
  Coverage coverage = Coverage::None;
  // Partial: which events are missing there. None: why it is not watched.
  std::string detail;
};

// What the source has read and lost since it started, for the service's status.
struct EventSourceStatus {
  uint64_t eventsRead = 0;
  uint64_t queueOverflows = 0;      // times the kernel dropped events for want of queue room
  uint64_t processTableLosses = 0;  // times process births or exits were lost
  uint64_t staleHandles = 0;        // events naming a folder removed before they were read
  std::vector<MountCoverage> mounts;
};

// A file-event backend behind the es_ operations. Start-up is handed one, so tests and the
// replay trace drive exactly the same dispatch code as the kernel does.
class EventSource {
 public:
  virtual ~EventSource() = default;

  // On success stores a new client in *client; messages flow only after subscribe().
  virtual es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) = 0;
  virtual es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                                uint32_t count) = 0;
  // Stops delivery and releases the client; no handler call is running once it returns.
  virtual es_return_t deleteClient(es_client_t* client) = 0;

  // The source's kernel filtering, or null when it reports every event it is subscribed to.
  virtual FolderFilter* folderFilter() { return nullptr; }

  // Callable from any thread, at any time; zeros and no mounts before a client subscribed.
  virtual EventSourceStatus status() const { return {}; }
};

inline es_new_client_result_t es_new_client(EventSource& source, es_client_t** client,
                                            es_handler_block_t handler) {
  return source.newClient(client, std::move(handler));
}

inline es_return_t es_subscribe(EventSource& source, es_client_t* client,
                                const es_event_type_t* events, uint32_t count) {
  return source.subscribe(client, events, count);
}

inline es_return_t es_delete_client(EventSource& source, es_client_t* client) {
  return source.deleteClient(client);
}

}  // namespace zorva
