// zorvad: the file-activity monitoring service.

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <variant>

#include "Version.h"
#include "backend/AuditEventStore.h"
#include "backend/DeviceApi.h"
#include "backend/EventQueue.h"
#include "control/XPCServer.h"
#include "platform/dbus/SdBusTransport.h"
#include "platform/dispatch/DispatchMain.h"
#include "platform/dispatch/RealClock.h"
#include "platform/dispatch/SharedInstance.h"
#include "platform/event_source/ReplayEventSource.h"
#include "platform/event_source/fanotify/FanotifyEventSource.h"
#include "platform/files/FileContentComparator.h"
#include "platform/http/CurlHttpClient.h"
#include "platform/log/Log.h"
#include "platform/memory/LargeBlocks.h"
#include "platform/settings/SqliteSettingsStore.h"
#include "service/Config.h"
#include "service/Service.h"
#include "service/ServiceStatus.h"
#include "telemetry/SharedPravix.h"
#include "telemetry/SystemIdentity.h"
#include "tracking/PathTracker.h"

namespace {

constexpr int kBadConfiguration = 2;

int configurationError(const zorva::ConfigError& error) {
  std::fprintf(stderr, "zorvad: %s\n", error.message.c_str());
  return error.exitStatus;
}

std::unique_ptr<zorva::EventSource> makeEventSource(const zorva::Config& config) {
  if (config.eventSource == zorva::Config::EventSourceKind::Replay) {
    return std::make_unique<zorva::ReplayEventSource>(config.replayPath);
  }
  static zorva::SystemFanotifyApi api;
  auto source = std::make_unique<zorva::FanotifyEventSource>(api, zorva::RealClock::shared());
  // Its own databases' files, handed over and closed again, would lose the service its locks.
  source->muteFolder(config.stateDir);
  return source;
}

// The tracker is made before the control interface's server and reaches it through this; the
// server is created on first use if a change comes before start-up gets to it.
class SharedChangeNotifier final : public zorva::ChangeNotifier {
 public:
  explicit SharedChangeNotifier(std::function<zorva::XPCServer&()> shared)
      : shared_(std::move(shared)) {}
  void pathModified(const std::string& path, int64_t volumeId) override {
    shared_().pathModified(path, volumeId);
  }

 private:
  std::function<zorva::XPCServer&()> shared_;
};

// What the control interface needs of the backend client and the tracker.
class DeviceApiTokens final : public zorva::DeviceTokenHolder {
 public:
  explicit DeviceApiTokens(std::function<zorva::DeviceApi&()> shared)
      : shared_(std::move(shared)) {}
  void setDeviceToken(std::string token) override { shared_().setDeviceToken(token); }
  bool isReady() const override { return shared_().isReady(); }

 private:
  std::function<zorva::DeviceApi&()> shared_;
};
class TrackerVolumes final : public zorva::VolumeRegistrar {
 public:
  explicit TrackerVolumes(std::function<zorva::PathTracker&()> shared)
      : shared_(std::move(shared)) {}
  void addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) override {
    shared_().addVolume(volumeId, path, notifyEnabled);
  }

 private:
  std::function<zorva::PathTracker&()> shared_;
};

// The tracker is made before the audit-event queue, as start-up orders them, and reaches it
// through this: the queue is created on first use if a transfer comes first.
class SharedEventQueue final : public zorva::AuditEventSink {
 public:
  explicit SharedEventQueue(std::function<zorva::EventQueue&()> shared)
      : shared_(std::move(shared)) {}
  void track(const std::string& source, const std::string& dest, int64_t volumeId) override {
    shared_().track(source, dest, volumeId);
  }

 private:
  std::function<zorva::EventQueue&()> shared_;
};

}  // namespace

int main(int argc, char** argv) {
  // Process-wide, before any thread starts: a large buffer once freed (a reply body refused at
  // the client's cap, say) goes back to the system instead of staying resident for good.
  zorva::returnLargeBlocksOnFree();
  // Everything the service writes in its state folder, down to SQLite's -wal and -shm files, is
  // its own: the settings hold the device session key. Nothing it writes is meant for others.
  ::umask(077);

  CLI::App app{"zorvad: watches file activity and reports data leaving watched volumes.", "zorvad"};
  app.set_version_flag("--version", zorva::kVersion, "Print the version and exit");
  app.footer(zorva::configHelp());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end here with status 0; a wrong command line is a usage error.
    return app.exit(error) == 0 ? 0 : kBadConfiguration;
  }

  auto loaded = zorva::loadConfig(zorva::processEnvironment());
  if (auto* error = std::get_if<zorva::ConfigError>(&loaded)) return configurationError(*error);
  const auto& config = std::get<zorva::Config>(loaded);
  // What was set right in the state folder is logged once the log is up, after the launch line.
  static std::vector<std::string> stateDirNotes;
  if (auto error = zorva::prepareStateDir(
          config.stateDir,
          {zorva::SqliteSettingsStore::kFileName, zorva::SqliteAuditEventStore::kFileName},
          &stateDirNotes)) {
    return configurationError(*error);
  }

  // A client or backend that hangs up must not end the service.
  std::signal(SIGPIPE, SIG_IGN);

  // The writer lives for the rest of the process: every queue logs through it.
  static auto writer = zorva::makeLogWriter(config.logTarget, config.logLevel);
  zorva::setLogWriter(writer.get());

  // The shared instances live until the process ends: work still queued at exit never meets a
  // destroyed object.
  // The stores, and the telemetry client that keeps its events in the settings, are opened by
  // start-up after its launch line: opening logs what was wrong with a store.
  static std::unique_ptr<zorva::SqliteSettingsStore> settings;
  static auto eventSource = makeEventSource(config);
  static zorva::CurlHttpClient http(config.caFile);
  static std::unique_ptr<zorva::SqliteAuditEventStore> auditStore;
  static zorva::FileContentComparator comparator;
  static zorva::SdBusTransport busTransport(config.bus);
  static zorva::SharedInstance<zorva::DeviceApi> deviceApi;
  static zorva::SharedInstance<zorva::PathTracker> tracker;
  static zorva::SharedInstance<zorva::EventQueue> eventQueue;
  static zorva::SharedInstance<zorva::XPCServer> xpcServer;
  static const std::string backendUrl = config.backendUrl;
  static const std::string stateDir = config.stateDir;
  static const std::string analyticsUrl = config.analyticsUrl;

  static auto sharedDeviceApi = []() -> zorva::DeviceApi& {
    return deviceApi.get([] {
      return new zorva::DeviceApi({.settings = *settings,
                                   .http = http,
                                   .clock = zorva::RealClock::shared(),
                                   .baseUrl = backendUrl});
    });
  };
  static auto sharedEventQueue = []() -> zorva::EventQueue& {
    return eventQueue.get([] {
      return new zorva::EventQueue(
          {.api = sharedDeviceApi(), .store = *auditStore, .clock = zorva::RealClock::shared()});
    });
  };
  static SharedEventQueue auditEvents(sharedEventQueue);
  static std::unique_ptr<zorva::SharedPravix> telemetry;
  static std::function<zorva::XPCServer&()> sharedXPCServer;
  static SharedChangeNotifier notifications(
      []() -> zorva::XPCServer& { return sharedXPCServer(); });
  static auto sharedTracker = []() -> zorva::PathTracker& {
    return tracker.get([] {
      return new zorva::PathTracker({.settings = *settings,
                                     .clock = zorva::RealClock::shared(),
                                     .audit = auditEvents,
                                     .notifier = notifications,
                                     .comparator = comparator,
                                     .folderFilter = eventSource->folderFilter()});
    });
  };
  static DeviceApiTokens deviceTokens(sharedDeviceApi);
  static TrackerVolumes trackerVolumes(sharedTracker);
  // Uptime counts from here. A status request reads only the subsystems already created.
  static zorva::DispatchCounters dispatchCounters;
  static zorva::ServiceStatus serviceStatus(
      zorva::RealClock::shared(), std::string(zorva::kVersion),
      zorva::statusParts(
          {.eventSource = *eventSource,
           .dispatch = dispatchCounters,
           .deviceApi = []() -> zorva::DeviceRequests* { return deviceApi.ifCreated(); },
           .tracker = [] { return tracker.ifCreated(); },
           .auditQueue = [] { return eventQueue.ifCreated(); },
           .telemetry = []() -> zorva::Pravix* {
             return telemetry ? telemetry->sharedInstance() : nullptr;
           },
           .control = [] { return xpcServer.ifCreated(); }},
          zorva::RealClock::shared()));
  sharedXPCServer = []() -> zorva::XPCServer& {
    return xpcServer.get([] {
      return new zorva::XPCServer({.transport = busTransport,
                                   .deviceApi = deviceTokens,
                                   .tracker = trackerVolumes,
                                   .clock = zorva::RealClock::shared(),
                                   .version = std::string(zorva::kVersion),
                                   .status = &serviceStatus});
    });
  };

  zorva::ServiceParts parts{
      .version = std::string(zorva::kVersion),
      .eventSource = *eventSource,
      .openState =
          [] {
            for (const std::string& note : stateDirNotes) zorva::ZorvaLog("%@", note);
            settings = zorva::SqliteSettingsStore::open(stateDir);
            auditStore = std::make_unique<zorva::SqliteAuditEventStore>(stateDir);
            telemetry = std::make_unique<zorva::SharedPravix>(
                zorva::Pravix::Dependencies{.settings = *settings,
                                            .http = http,
                                            .clock = zorva::RealClock::shared(),
                                            .analyticsUrl = analyticsUrl,
                                            .identity = zorva::systemIdentity(zorva::kVersion)});
            // ZorvaRemote and ZorvaError lines reach the app log from the moment the client
            // exists.
            zorva::setLogForwarder(telemetry.get());
          },
      .sharedDeviceApi = [] { sharedDeviceApi(); },
      .sharedTracker = []() -> zorva::PathTrackerInterface& { return sharedTracker(); },
      .sharedEventQueue = [] { sharedEventQueue(); },
      .sharedTelemetry =
          [] {
            telemetry->sharedInstanceWithAPIKey(zorva::kTelemetryApiKey, zorva::kTelemetryOrg);
          },
      .startControlInterface = [] { sharedXPCServer().start(); },
      .telemetry = [] { return telemetry->sharedInstance(); },
      .dispatchCounters = &dispatchCounters,
  };
  zorva::StartupResult started = zorva::startService(parts);
  // The shared instances' queues are already at work, and they outlive everything: leave
  // without destroying the objects they use (log lines are written as they are made).
  if (started.exitStatus != 0) std::_Exit(started.exitStatus);
  zorva::dispatchMain();
}
