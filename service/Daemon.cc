#include "service/Daemon.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

#include "Version.h"
#include "platform/dbus/SdBusTransport.h"
#include "platform/dispatch/RealClock.h"
#include "platform/event_source/ReplayEventSource.h"
#include "platform/event_source/fanotify/FanotifyEventSource.h"
#include "platform/http/CurlHttpClient.h"
#include "platform/memory/LargeBlocks.h"
#include "telemetry/SystemIdentity.h"

namespace zorva {
namespace {

// Everything the service writes in its state folder, down to SQLite's -wal and -shm files, is
// its own: the settings hold the device session key.
constexpr mode_t kOnlyOwnFiles = 077;

}  // namespace

std::variant<std::unique_ptr<Daemon>, ConfigError> Daemon::create(
    const ConfigEnvironment& environment) {
  // Process-wide, before any thread starts: a large buffer once freed (a reply body refused at
  // the client's cap, say) goes back to the system instead of staying resident for good.
  returnLargeBlocksOnFree();
  ::umask(kOnlyOwnFiles);

  auto loaded = loadConfig(environment);
  if (auto* error = std::get_if<ConfigError>(&loaded)) return *error;
  const Config& config = std::get<Config>(loaded);
  Setup setup{.version = std::string(kVersion),
              .stateDir = config.stateDir,
              .backendUrl = config.backendUrl,
              .analyticsUrl = config.analyticsUrl};
  if (auto error = prepareStateDir(
          config.stateDir, {SqliteSettingsStore::kFileName, SqliteAuditEventStore::kFileName},
          &setup.stateDirNotes)) {
    return *error;
  }

  // A client or backend that hangs up must not end the service.
  std::signal(SIGPIPE, SIG_IGN);

  Platform platform{.clock = RealClock::shared(),
                    .log = makeLogWriter(config.logTarget, config.logLevel)};
  setLogWriter(platform.log.get());
  if (config.eventSource == Config::EventSourceKind::Replay) {
    platform.eventSource = std::make_unique<ReplayEventSource>(config.replayPath);
  } else {
    platform.kernel = std::make_unique<SystemFanotifyApi>();
    auto fanotify = std::make_unique<FanotifyEventSource>(*platform.kernel, platform.clock);
    // Its own databases' files, handed over and closed again, would lose the service its locks.
    fanotify->muteFolder(config.stateDir);
    platform.eventSource = std::move(fanotify);
  }
  platform.http = std::make_unique<CurlHttpClient>(config.caFile);
  platform.bus = std::make_unique<SdBusTransport>(config.bus);
  return std::make_unique<Daemon>(std::move(setup), std::move(platform));
}

Daemon::Daemon(Setup setup, Platform platform)
    : _setup(std::move(setup)),
      _platform(std::move(platform)),
      _status(_platform.clock, _setup.version,
              statusParts({.eventSource = *_platform.eventSource,
                           .dispatch = _dispatchCounters,
                           .deviceApi = [this]() -> DeviceRequests* { return _deviceApi.get(); },
                           .tracker = [this] { return _tracker.get(); },
                           .auditQueue = [this] { return _eventQueue.get(); },
                           .telemetry = [this] { return telemetry(); },
                           .control = [this] { return _server.get(); }},
                          _platform.clock)) {}

Daemon::~Daemon() {
  if (logForwarder() == this) setLogForwarder(nullptr);
}

int Daemon::start() {
  ::setenv("CFNETWORK_DIAGNOSTICS", "0", 1);
  ZorvaLog("launch app: %@", _setup.version);
  openState();

  // Every event, and every error line from the subscription on, finds these already made.
  _deviceApi = std::make_unique<DeviceApi>(DeviceApi::Dependencies{.settings = *_settings,
                                                                   .http = *_platform.http,
                                                                   .clock = _platform.clock,
                                                                   .baseUrl = _setup.backendUrl});
  _tracker = std::make_unique<PathTracker>(
      PathTracker::Dependencies{.settings = *_settings,
                                .clock = _platform.clock,
                                .audit = _links,
                                .notifier = _links,
                                .comparator = _comparator,
                                .folderFilter = _platform.eventSource->folderFilter()});
  _eventQueue = std::make_unique<EventQueue>(EventQueue::Dependencies{
      .api = *_deviceApi, .store = *_auditStore, .clock = _platform.clock});
  _links.attach(*_deviceApi, *_tracker, *_eventQueue);
  _telemetry = std::make_unique<Pravix>(
      Pravix::Dependencies{.settings = *_settings,
                           .http = *_platform.http,
                           .clock = _platform.clock,
                           .analyticsUrl = _setup.analyticsUrl,
                           .identity = systemIdentity(_setup.version.value_or(""))},
      kTelemetryApiKey, kTelemetryOrg);
  _telemetryMade.store(_telemetry.get(), std::memory_order_release);

  if (!subscribe()) return kEventSourceFailed;

  // A service that cannot see events never listens for client applications.
  _server = std::make_unique<XPCServer>(XPCServer::Dependencies{.transport = *_platform.bus,
                                                                .deviceApi = _links,
                                                                .tracker = _links,
                                                                .clock = _platform.clock,
                                                                .version = _setup.version,
                                                                .status = &_status});
  _links.attach(*_server);
  _server->start();

  _telemetry->eventWithProperties(nlohmann::json{{"kingdom", "game"}, {"phylum", "launch"}});
  _telemetry->log("launch app");
  ZorvaLog("dispatch_main");
  return EXIT_SUCCESS;
}

void Daemon::openState() {
  for (const std::string& note : _setup.stateDirNotes) ZorvaLog("%@", note);
  _settings = SqliteSettingsStore::open(_setup.stateDir);
  _auditStore = std::make_unique<SqliteAuditEventStore>(_setup.stateDir);
  // ZorvaRemote and ZorvaError lines reach the app log from the moment the client exists.
  setLogForwarder(this);
}

bool Daemon::subscribe() {
  EventSource& source = *_platform.eventSource;
  es_client_t* client = nullptr;
  EventDispatcher dispatcher(*_tracker, &_dispatchCounters);
  es_new_client_result_t created = es_new_client(
      source, &client,
      [dispatcher](es_client_t*, const es_message_t* message) { dispatcher.handle(*message); });
  if (created != ES_NEW_CLIENT_RESULT_SUCCESS) {
    ZorvaError(FaultKind::EventSource, "Failed to create new ES client: %d",
               static_cast<uint32_t>(created));
    return false;
  }
  constexpr uint32_t kCount = std::size(EventDispatcher::kSubscriptions);
  if (es_subscribe(source, client, EventDispatcher::kSubscriptions, kCount) != ES_RETURN_SUCCESS) {
    ZorvaError(FaultKind::EventSource, "Failed to subscribe to events");
    es_delete_client(source, client);
    return false;
  }
  return true;
}

Pravix* Daemon::forwardTo() const {
  Pravix* made = telemetry();
  if (made == nullptr) {
    LogWriter& writer = logWriter();
    if (writer.isEnabled(LogLevel::Console)) {
      writer.write(
          LogLevel::Console,
          "PX_LOG Error: Dont call sharedInstance before sharedInstanceWithAPIKey:forOrg:");
    }
  }
  return made;
}

void Daemon::log(const std::string& line) {
  if (Pravix* telemetry = forwardTo()) telemetry->log(line);
}

void Daemon::logError(const std::string& line) {
  if (Pravix* telemetry = forwardTo()) telemetry->logError(line);
}

void Daemon::Links::attach(DeviceApi& deviceApi, PathTracker& tracker, EventQueue& auditQueue) {
  _deviceApi = &deviceApi;
  _tracker = &tracker;
  _auditQueue = &auditQueue;
}

void Daemon::Links::track(const std::string& source, const std::string& dest, int64_t volumeId) {
  _auditQueue->track(source, dest, volumeId);
}

void Daemon::Links::pathModified(const std::string& path, int64_t volumeId) {
  if (XPCServer* server = _server.load(std::memory_order_acquire)) {
    server->pathModified(path, volumeId);
  }
}

void Daemon::Links::addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) {
  _tracker->addVolume(volumeId, path, notifyEnabled);
}

void Daemon::Links::setDeviceToken(std::string token) {
  _deviceApi->setDeviceToken(std::move(token));
}

bool Daemon::Links::isReady() const { return _deviceApi->isReady(); }

}  // namespace zorva
