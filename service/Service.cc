#include "service/Service.h"

#include <cstdlib>

#include "platform/log/Log.h"
#include "service/EventDispatcher.h"

namespace zorva {

StartupResult startService(ServiceParts& parts) {
  ::setenv("CFNETWORK_DIAGNOSTICS", "0", 1);
  ZorvaLog("launch app: %@", parts.version);
  if (parts.openState) parts.openState();

  // Every event, and every error line from here on, must find these already created.
  if (parts.sharedDeviceApi) parts.sharedDeviceApi();
  PathTrackerInterface& tracker = parts.sharedTracker();
  if (parts.sharedEventQueue) parts.sharedEventQueue();
  if (parts.sharedTelemetry) parts.sharedTelemetry();

  es_client_t* client = nullptr;
  EventDispatcher dispatcher(tracker, parts.dispatchCounters);
  es_new_client_result_t created = es_new_client(
      parts.eventSource, &client,
      [dispatcher](es_client_t*, const es_message_t* message) { dispatcher.handle(*message); });
  if (created != ES_NEW_CLIENT_RESULT_SUCCESS) {
    ZorvaError(FaultKind::EventSource, "Failed to create new ES client: %d",
               static_cast<uint32_t>(created));
    return {EXIT_FAILURE, nullptr};
  }

  constexpr uint32_t kCount = std::size(EventDispatcher::kSubscriptions);
  if (es_subscribe(parts.eventSource, client, EventDispatcher::kSubscriptions, kCount) !=
      ES_RETURN_SUCCESS) {
    ZorvaError(FaultKind::EventSource, "Failed to subscribe to events");
    es_delete_client(parts.eventSource, client);
    return {EXIT_FAILURE, nullptr};
  }

  // A service that cannot see events never listens for client applications.
  if (parts.startControlInterface) parts.startControlInterface();

  if (Pravix* telemetry = parts.telemetry ? parts.telemetry() : nullptr) {
    telemetry->eventWithProperties(nlohmann::json{{"kingdom", "game"}, {"phylum", "launch"}});
    telemetry->log("launch app");
  }

  ZorvaLog("dispatch_main");
  return {EXIT_SUCCESS, client};
}

}  // namespace zorva
