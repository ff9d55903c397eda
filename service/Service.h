#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/event_source/EventSource.h"
#include "service/EventDispatcher.h"
#include "telemetry/Pravix.h"
#include "tracking/PathTrackerInterface.h"

namespace zorva {

// What start-up brings together, in the order it needs them. The entry function wires the shared
// instances; tests hand in fakes.
struct ServiceParts {
  std::optional<std::string> version;  // nothing when the build carries none
  EventSource& eventSource;
  // Opens what the service keeps in its state folder. It runs after the launch line, so that a
  // start-up's log begins with it, whatever the stores have to say.
  std::function<void()> openState{};
  // Create the shared backend client, which starts checking a stored device key at once.
  std::function<void()> sharedDeviceApi;
  // Obtains the shared tracker, creating it (and loading the saved watch list) before the first
  // event can arrive.
  std::function<PathTrackerInterface&()> sharedTracker;
  // Create the shared audit-event queue, which sends what a previous run left unsent.
  std::function<void()> sharedEventQueue;
  // Create the shared telemetry client, which records its first-run install event and the day's
  // "dau" and starts uploading.
  std::function<void()> sharedTelemetry{};
  // Starts the control interface; reached only once events flow.
  std::function<void()> startControlInterface;
  // The shared telemetry client, for the launch event and line; nullptr skips them.
  std::function<Pravix*()> telemetry{};
  // Counted by the event dispatcher, for the service's status; may be null.
  DispatchCounters* dispatchCounters = nullptr;
};

struct StartupResult {
  int exitStatus = 0;             // 0: running; 1: the event source could not be set up
  es_client_t* client = nullptr;  // the subscribed client while running
};

// Brings the service up to the point where the main thread is handed to the dispatch loop. The
// caller calls dispatchMain() when the status is 0 and exits with it otherwise.
StartupResult startService(ServiceParts& parts);

}  // namespace zorva
