#include "telemetry/Pravix.h"

#include <algorithm>

#include "platform/text/LowerCase.h"
#include "platform/text/Timestamp.h"

namespace zorva {
namespace {

using json = nlohmann::json;

// Lower-cased (the full Unicode mapping, whatever the locale), spaces turned into "_".
std::string normalizeOrg(std::string_view org) {
  std::string normalized = lowerCase(org);
  std::replace(normalized.begin(), normalized.end(), ' ', '_');
  return normalized;
}

std::string trimTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

Pravix::Pravix(const Dependencies& dependencies, std::string apiKey, const std::string& org,
               const std::optional<std::string>& dauTimeZone)
    : settings_(dependencies.settings),
      clock_(dependencies.clock),
      identity_(dependencies.identity),
      apiKey_(std::move(apiKey)),
      upload_(dependencies.http, dependencies.clock,
              trimTrailingSlash(dependencies.analyticsUrl) + "/" + normalizeOrg(org)),
      tags_(dependencies.settings),
      eventList_(dependencies.settings, dependencies.eventCap),
      dauDateFormatter_(dauTimeZone),
      logList_(dependencies.logCap),
      sendQueue_("com.pravix.sendQueue", dependencies.clock),
      logSendQueue_("com.pravix.logSendQueue", dependencies.clock),
      logListQueue_("com.pravix.logListQueue", dependencies.clock) {
  if (!dauDateFormatter_.valid()) {
    telemetryConsoleFormat("unknown DAU time zone %@: counting days in UTC", dauTimeZone);
  }
  if (std::optional<StoredState> stored = readStoredState()) {
    adopt(*stored);
    return;
  }
  telemetryConsole(
      "the settings cannot be read now: events and log lines wait in memory until they can");
  sendQueue_.after(kSettingsRetry, [this] { adoptLater(); });
}

Pravix::~Pravix() = default;

std::optional<Pravix::StoredState> Pravix::readStoredState() {
  StoredState stored;
  bool failed = false;
  // The first failure settles it: each read of a held store waits out its busy time-out.
  auto read = [&](const std::string& key, std::optional<SettingValue>& into) {
    if (failed) return;
    SettingsStore::Read result = settings_.read(key);
    failed = result.failed;
    into = std::move(result.value);
  };
  read(kLastDauKey, stored.lastDau);
  read(TelemetryTags::kDeviceTagKey, stored.deviceTag);
  read(StoredEventList::kKey, stored.eventList);
  read(kInstallSentKey, stored.installSent);
  for (size_t i = 0; i < kSavedTagCount; ++i) {
    read(TelemetryTags::savedKey(static_cast<TelemetryTag>(i)), stored.savedTags[i]);
  }
  if (failed) return std::nullopt;
  return stored;
}

void Pravix::adoptLater() {
  if (std::optional<StoredState> stored = readStoredState()) {
    adopt(*stored);
  } else {
    sendQueue_.after(kSettingsRetry, [this] { adoptLater(); });
  }
}

void Pravix::adopt(const StoredState& stored) {
  if (stored.lastDau) {
    lastDAUSend_ = stored.lastDau->asDate();
    if (!lastDAUSend_) {
      telemetryConsole(std::string(kLastDauKey) + " is not a date; the day counts as new");
    }
  }
  tags_.load(stored.deviceTag, stored.savedTags);
  eventList_.adopt(stored.eventList);
  if (!(stored.installSent && stored.installSent->asBool().value_or(false))) {
    eventWithProperties(json{{"kingdom", "organic"}}, "install");
    settings_.set(kInstallSentKey, true);
  }
  maybeAddDAU();
  sendEvents();
  logListQueue_.async([this] { checkLogs(); });
}

// --- Events ---

void Pravix::eventWithProperties(const json& properties, const std::string& type,
                                 const Spend& spend) {
  std::optional<TelemetryRecord> record =
      makeEventRecord(properties, type, spend, wireTimestamp(clock_.now()));
  if (!record) return;
  eventList_.add(std::move(*record));
  sendEvents();
}

void Pravix::maybeAddDAU() {
  const Clock::TimePoint now = clock_.now();
  // A clock set back to an earlier day is a different day too.
  if (!lastDAUSend_ || dauDateFormatter_.format(*lastDAUSend_) != dauDateFormatter_.format(now)) {
    lastDAUSend_ = now;
    settings_.set(kLastDauKey, SettingValue(now));
    eventWithProperties(json::object(), "dau");
  }
  sendQueue_.after(kDauInterval, [this] { maybeAddDAU(); });
}

void Pravix::sendEvents() {
  sendQueue_.async([this] { sendStep(); });
}

void Pravix::sendStep() {
  // Without the stored state there is no device tag to send under; the events wait for it.
  if (isSendRunning_ || !eventList_.adopted()) return;
  std::vector<TelemetryRecord> batch;
  for (;;) {
    batch = eventList_.oldest(kBatchSize);
    // A record JSON cannot carry would fail every request it rides in, and keep the records
    // behind it waiting for good: it leaves the list instead.
    std::vector<TelemetryRecord> bad;
    for (const TelemetryRecord& record : batch) {
      if (auto why = unsendable(record)) {
        telemetryConsoleFormat("dropping an event that cannot be sent: %@", *why);
        bad.push_back(record);
      }
    }
    if (bad.empty()) break;
    eventList_.remove(bad);
  }
  if (batch.empty()) return;
  json request = tags_.requestBase(apiKey_, identity_);
  tags_.addTags(request);
  request["events"] = batch;
  isSendRunning_ = true;
  const bool started =
      upload_.post(TelemetryUpload::Route::Track, request, [this, batch](bool finished) {
        sendQueue_.async([this, batch, finished] { sendComplete(batch, finished); });
      });
  if (!started) sendComplete(batch, /*finished=*/true);
}

void Pravix::sendComplete(const std::vector<TelemetryRecord>& batch, bool finished) {
  if (finished) eventList_.remove(batch);
  isSendRunning_ = false;
  if (finished) {
    sendQueue_.async([this] { sendStep(); });
  } else {
    sendQueue_.after(kEventRetryPause, [this] { sendStep(); });
  }
}

// --- App log ---

void Pravix::logEvent(const std::string& line, const std::optional<std::string>& level) {
  logListQueue_.async([this, record = makeLogRecord(line, level, wireTimestamp(clock_.now()))] {
    logList_.add(record);
    // Checked in the same step: lines handed in during an upload wait for the check after its
    // answer, instead of each leaving a check of its own queued that could land after the answer
    // and cut its pause short.
    checkLogs();
  });
}

void Pravix::checkLogs() {
  if (isLogSendRunning_ || logList_.size() == 0 || !eventList_.adopted()) return;
  isLogSendRunning_ = true;
  sendLogs(logList_.take(kBatchSize));
}

void Pravix::sendLogs(std::vector<LogList::Entry> batch) {
  logSendQueue_.async([this, batch = std::move(batch)]() mutable {
    // A line JSON cannot carry (bytes that are not UTF-8) would take the whole batch with it.
    std::erase_if(batch, [](const LogList::Entry& entry) {
      auto why = unsendable(entry.record);
      if (why) telemetryConsoleFormat("dropping a log line that cannot be sent: %@", *why);
      return why.has_value();
    });
    if (batch.empty()) return sendLogsComplete({});
    json request = tags_.requestBase(apiKey_, identity_);
    request["events"] = json::array();
    for (const LogList::Entry& entry : batch) request["events"].push_back(entry.record);
    const bool started = upload_.post(TelemetryUpload::Route::AppLog, request,
                                      [this, batch = std::move(batch)](bool finished) mutable {
                                        if (finished) batch.clear();
                                        sendLogsComplete(std::move(batch));
                                      });
    if (!started) sendLogsComplete({});
  });
}

// `putBack` is empty when the batch is finished with.
void Pravix::sendLogsComplete(std::vector<LogList::Entry> putBack) {
  logListQueue_.async([this, putBack = std::move(putBack)]() mutable {
    isLogSendRunning_ = false;
    Clock::Duration pause = kLogPause;
    if (!putBack.empty()) {
      logList_.putBack(std::move(putBack));
      pause = kLogRetryPause;
    }
    logListQueue_.after(pause, [this] { checkLogs(); });
  });
}

void Pravix::status(std::function<void(size_t, size_t)> done) {
  logListQueue_.async([this, done = std::move(done)] { done(eventList_.size(), logList_.size()); });
}

std::vector<TelemetryRecord> Pravix::waitingLogLines() {
  std::vector<TelemetryRecord> lines;
  logListQueue_.sync([&] { lines = logList_.records(); });
  return lines;
}

}  // namespace zorva
