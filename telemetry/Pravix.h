#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/http/HttpClient.h"
#include "platform/log/LogWriter.h"
#include "platform/settings/SettingsStore.h"
#include "telemetry/DayFormatter.h"
#include "telemetry/SystemIdentity.h"
#include "telemetry/TelemetryLists.h"
#include "telemetry/TelemetryRecords.h"
#include "telemetry/TelemetryTags.h"
#include "telemetry/TelemetryUpload.h"

namespace zorva {

// The analytics client: keeps this installation's identity, records usage events (install,
// launch, daily-active, economy) in a list that survives restarts and uploads them in batches,
// and ships selected log lines to the app-log endpoint in batches of their own.
//
// Recording and log lines may come from any thread and never wait for the network. Event uploads
// run on sendQueue_, the app log on logListQueue_ (its list) and logSendQueue_ (its requests).
//
// Tear-down (tests only; the service's instance lives until the process ends): destroy the HTTP
// client first, since its cancelled completions still reach this object, settle the clock, then
// destroy this.
class Pravix final : public LogForwarder {
 public:
  static constexpr size_t kBatchSize = 10;
  static constexpr auto kEventRetryPause = std::chrono::seconds(30);
  static constexpr auto kLogPause = std::chrono::seconds(1);
  static constexpr auto kLogRetryPause = std::chrono::seconds(30);
  static constexpr auto kDauInterval = std::chrono::seconds(600);
  // How often the stored state is read again while the settings cannot be read.
  static constexpr auto kSettingsRetry = std::chrono::seconds(10);

  static constexpr const char* kInstallSentKey = "pravix_installSent";
  static constexpr const char* kLastDauKey = "pravix_lastDAUSend";

  struct Dependencies {
    SettingsStore& settings;
    HttpClient& http;
    Clock& clock;
    std::string analyticsUrl;  // the service's base URL; "/<org>" is appended
    TelemetryIdentity identity;
    size_t eventCap = kDefaultRecordCap;
    size_t logCap = kDefaultRecordCap;
  };

  // Loads what earlier runs left, records the first-run install event and the day's "dau", and
  // starts uploading. `dauTimeZone` (an IANA name) sets where days begin; none means UTC.
  Pravix(const Dependencies& dependencies, std::string apiKey, const std::string& org,
         const std::optional<std::string>& dauTimeZone = std::nullopt);
  ~Pravix() override;

  Pravix(const Pravix&) = delete;
  Pravix& operator=(const Pravix&) = delete;

  // Empty until the stored state has been read.
  std::string deviceTag() const { return tags_.deviceTag(); }
  // Sent with every event upload when set; see TelemetryTags.
  std::optional<std::string> tag(TelemetryTag which) const { return tags_.get(which); }
  void setTag(TelemetryTag which, std::optional<std::string> value) {
    tags_.set(which, std::move(value));
  }

  // Records an event (see makeEventRecord); failures show only as console lines.
  void eventWithProperties(const nlohmann::json& properties, const std::string& type = kEventType,
                           const Spend& spend = {});
  // The unsent events, oldest first (a copy).
  std::vector<TelemetryRecord> events() const { return eventList_.all(); }

  // The line is recorded as it is: "%" characters are never read as placeholders here.
  void log(const std::string& line) override { logEvent(line, std::nullopt); }
  void logError(const std::string& line) override { logEvent(line, "error"); }

  // The log lines waiting to be sent, in list order (tests; not from a queue of this object).
  std::vector<TelemetryRecord> waitingLogLines();
  // How many events and log lines wait to be sent, for the service's status: handed to `done` on
  // logListQueue_. Returns at once.
  void status(std::function<void(size_t events, size_t logLines)> done);

 private:
  // What the settings hold for the client, read before anything is written back: a store that
  // cannot be read is not an empty one. Nothing when a read failed.
  struct StoredState {
    std::optional<SettingValue> lastDau;
    std::optional<SettingValue> deviceTag;
    std::optional<SettingValue> eventList;
    std::optional<SettingValue> installSent;
    std::array<std::optional<SettingValue>, kSavedTagCount> savedTags;
  };
  std::optional<StoredState> readStoredState();
  // Takes the stored state in, with what was recorded meanwhile, and starts sending.
  void adopt(const StoredState& stored);
  void adoptLater();  // on sendQueue_
  void maybeAddDAU();

  void sendEvents();
  void sendStep();                                                              // on sendQueue_
  void sendComplete(const std::vector<TelemetryRecord>& batch, bool finished);  // on sendQueue_

  void logEvent(const std::string& line, const std::optional<std::string>& level);
  void checkLogs();  // on logListQueue_
  void sendLogs(std::vector<LogList::Entry> batch);
  void sendLogsComplete(std::vector<LogList::Entry> putBack);

  SettingsStore& settings_;
  Clock& clock_;
  const TelemetryIdentity identity_;
  const std::string apiKey_;
  TelemetryUpload upload_;
  TelemetryTags tags_;
  StoredEventList eventList_;  // nothing is stored or sent before it has adopted the stored one

  // The daily-active check's own: first on the creating thread, then only on sendQueue_.
  DayFormatter dauDateFormatter_;
  std::optional<Clock::TimePoint> lastDAUSend_;  // none: never, so the first check records one

  bool isSendRunning_ = false;     // on sendQueue_
  bool isLogSendRunning_ = false;  // on logListQueue_
  LogList logList_;                // on logListQueue_

  // Last, so they stop first, before the state their work uses; the app-log list queue before
  // the send queue it feeds.
  SerialQueue sendQueue_;
  SerialQueue logSendQueue_;
  SerialQueue logListQueue_;
};

}  // namespace zorva
