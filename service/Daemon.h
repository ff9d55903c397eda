#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "backend/AuditEventStore.h"
#include "backend/DeviceApi.h"
#include "backend/EventQueue.h"
#include "control/ControlTargets.h"
#include "control/XPCServer.h"
#include "platform/dbus/BusTransport.h"
#include "platform/event_source/EventSource.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/files/FileContentComparator.h"
#include "platform/http/HttpClient.h"
#include "platform/log/Log.h"
#include "platform/log/LogWriter.h"
#include "platform/settings/SqliteSettingsStore.h"
#include "service/Config.h"
#include "service/EventDispatcher.h"
#include "service/ServiceStatus.h"
#include "telemetry/Pravix.h"
#include "tracking/PathTracker.h"
#include "tracking/TrackerSinks.h"

namespace zorva {

// The service's telemetry identity, built in.
inline constexpr const char* kTelemetryApiKey = "zorva_svc-4f7b2c9e81d3a6b05e2f91";
inline constexpr const char* kTelemetryOrg = "zorva";

// The running service: every part it is made of, owned here and made by start() in the order
// the parts need one another. Nothing is destroyed while the service runs: the process ends with
// its parts (and their queues) still in place, so work queued at exit never meets a dead object.
//
// Once the stores are open the daemon is the log functions' way to the telemetry client: lines
// logged before the client exists are not forwarded, and say so on the console.
class Daemon final : private LogForwarder {
 public:
  // The exit status of a start-up that cannot get events.
  static constexpr int kEventSourceFailed = 1;

  // What the service meets the operating system through: Daemon::create() makes the real ones,
  // tests hand in fakes.
  struct Platform {
    Clock& clock;
    std::unique_ptr<LogWriter> log{};  // installed by whoever made it; null: someone else's
    std::unique_ptr<FanotifyApi>
        kernel{};  // what a fanotify source calls; before it, to outlive it
    std::unique_ptr<EventSource> eventSource{};
    std::unique_ptr<HttpClient> http{};
    std::unique_ptr<BusTransport> bus{};
  };

  struct Setup {
    std::optional<std::string> version;  // nothing when the build carries none
    std::string stateDir;
    std::string backendUrl;
    std::string analyticsUrl;
    // What was set right in the state folder, logged after the launch line.
    std::vector<std::string> stateDirNotes{};
  };

  // Everything that comes before start-up proper, from the process's environment: the
  // configuration, the state folder, the log and the platform. A ConfigError says why not.
  static std::variant<std::unique_ptr<Daemon>, ConfigError> create(
      const ConfigEnvironment& environment);

  Daemon(Setup setup, Platform platform);
  ~Daemon() override;
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Brings the service up to where the main thread is handed to the dispatch loop: 0 when it
  // runs (the caller then calls dispatchMain()), else the exit status.
  int start();

  // The parts made by start(), for tests; null before.
  Pravix* telemetry() const { return _telemetryMade.load(std::memory_order_acquire); }
  EventQueue* auditQueue() const { return _eventQueue.get(); }

 private:
  // The ends the parts are made with where the other end is made later (the tracker comes before
  // the audit-event queue and the server it reports to), or is not the interface the part takes.
  // Each end is attached once the part behind it exists: the audit queue and the backend client
  // before events flow, the server after the subscription.
  class Links final : public AuditEventSink,
                      public ChangeNotifier,
                      public VolumeRegistrar,
                      public DeviceTokenHolder {
   public:
    void attach(DeviceApi& deviceApi, PathTracker& tracker, EventQueue& auditQueue);
    void attach(XPCServer& server) { _server.store(&server, std::memory_order_release); }

    void track(const std::string& source, const std::string& dest, int64_t volumeId) override;
    // Before the server exists no client can have registered for a change, so there is no one
    // to tell.
    void pathModified(const std::string& path, int64_t volumeId) override;
    void addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) override;
    void setDeviceToken(std::string token) override;
    bool isReady() const override;

   private:
    DeviceApi* _deviceApi = nullptr;
    PathTracker* _tracker = nullptr;
    EventQueue* _auditQueue = nullptr;
    std::atomic<XPCServer*> _server{nullptr};  // attached while events already flow
  };

  // Stores open after the launch line, so a start-up's log begins with it whatever they say.
  void openState();
  bool subscribe();
  void log(const std::string& line) override;
  void logError(const std::string& line) override;
  Pravix* forwardTo() const;

  const Setup _setup;
  Platform _platform;
  FileContentComparator _comparator;
  DispatchCounters _dispatchCounters;
  ServiceStatus _status;  // uptime counts from here; it reads only the parts already made
  Links _links;
  // Made by start(), in this order.
  std::unique_ptr<SqliteSettingsStore> _settings;
  std::unique_ptr<SqliteAuditEventStore> _auditStore;
  std::unique_ptr<DeviceApi> _deviceApi;
  std::unique_ptr<PathTracker> _tracker;
  std::unique_ptr<EventQueue> _eventQueue;
  std::unique_ptr<Pravix> _telemetry;
  std::atomic<Pravix*> _telemetryMade{nullptr};  // _telemetry, for the log functions' threads
  std::unique_ptr<XPCServer> _server;
};

}  // namespace zorva
