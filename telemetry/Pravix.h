#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/http/HttpClient.h"
#include "platform/log/Log.h"
#include "platform/log/LogWriter.h"
#include "platform/settings/SettingsStore.h"
#include "platform/text/Format.h"
#include "telemetry/DayFormatter.h"
#include "telemetry/SystemIdentity.h"

namespace zorva {

// The analytics client: keeps this installation's identity, records usage events (install,
// launch, daily-active, economy) in a list that survives restarts and uploads them in batches of
// 10, and ships selected log lines to the app-log endpoint in batches of their own.
//
// Recording and log lines may come from any thread and never wait for the network. Event uploads
// run on sendQueue, the app log on logListQueue (its list) and logSendQueue (its requests); the
// event list and its stored copy are guarded by eventLock.
//
// Tear-down (tests only; the service's instance lives until the process ends): destroy the HTTP
// client first, since its cancelled completions still reach this object, settle the clock, then
// destroy this.
class Pravix final : public LogForwarder {
 public:
  using Record = nlohmann::json;  // an object of strings and numbers

  static constexpr size_t kBatchSize = 10;
  static constexpr size_t kDefaultCap = 10000;
  static constexpr auto kEventRetryPause = std::chrono::seconds(30);
  static constexpr auto kLogPause = std::chrono::seconds(1);
  static constexpr auto kLogRetryPause = std::chrono::seconds(30);
  static constexpr auto kDauInterval = std::chrono::seconds(600);
  // How often the stored state is read again while the settings cannot be read.
  static constexpr auto kSettingsRetry = std::chrono::seconds(10);
  static constexpr auto kTimeout = std::chrono::seconds(60);

  static constexpr const char* kDeviceTagKey = "pravix_deviceTag";
  static constexpr const char* kInstallSentKey = "pravix_installSent";
  static constexpr const char* kLastDauKey = "pravix_lastDAUSend";
  static constexpr const char* kEventListKey = "pravix_eventList";
  static constexpr const char* kSavedTagPrefix = "pravix_userTag";
  static constexpr const char* kZeroUuid = "00000000-0000-0000-0000-000000000000";

  struct Dependencies {
    SettingsStore& settings;
    HttpClient& http;
    Clock& clock;
    std::string analyticsUrl;  // the service's base URL; "/<org>" is appended
    TelemetryIdentity identity;
    // Past a cap the oldest waiting records are dropped, so an unreachable analytics service
    // cannot exhaust memory or the settings store.
    size_t eventCap = kDefaultCap;
    size_t logCap = kDefaultCap;
  };

  // Loads what earlier runs left, records the first-run install event and the day's "dau", and
  // starts uploading. `dauTimeZone` (an IANA name) sets where days begin; none means UTC.
  Pravix(const Dependencies& dependencies, std::string apiKey, const std::string& org,
         const std::optional<std::string>& dauTimeZone = std::nullopt);
  ~Pravix() override;

  Pravix(const Pravix&) = delete;
  Pravix& operator=(const Pravix&) = delete;

  // --- Identity, fixed at creation ---
  const std::string& apiKey() const { return apiKey_; }
  const std::string& org() const { return org_; }
  const std::string& baseURL() const { return baseURL_; }
  // Empty until the stored state has been read.
  std::string deviceTag() const {
    std::lock_guard lock(tagLock_);
    return deviceTag_;
  }
  const TelemetryIdentity& identity() const { return identity_; }
  static constexpr const char* kDeviceFamily = "linux";
  static constexpr const char* kOs = "Linux";
  static constexpr const char* kMarketplace = "iTunes";

  // Lower-cased (the full Unicode mapping, whatever the locale), spaces turned into "_".
  static std::string normalizeOrg(std::string_view org);

  // --- Tags sent with every event upload when set ---
  // The first five are kept across restarts. A value longer than a tag's limit is cut by the
  // trim rule; text that is not UTF-8 is refused with a console line, leaving the tag as it was.
  std::optional<std::string> userTag() const { return tag(Tag::User); }
  std::optional<std::string> facebookTag() const { return tag(Tag::Facebook); }
  std::optional<std::string> twitterTag() const { return tag(Tag::Twitter); }
  std::optional<std::string> googleTag() const { return tag(Tag::Google); }
  std::optional<std::string> gameCenterTag() const { return tag(Tag::GameCenter); }
  std::optional<std::string> groupTag() const { return tag(Tag::Group); }
  std::optional<std::string> serverVer() const { return tag(Tag::ServerVer); }
  std::optional<std::string> configVer() const { return tag(Tag::ConfigVer); }
  void setUserTag(std::optional<std::string> value) { setTag(Tag::User, std::move(value)); }
  void setFacebookTag(std::optional<std::string> value) { setTag(Tag::Facebook, std::move(value)); }
  void setTwitterTag(std::optional<std::string> value) { setTag(Tag::Twitter, std::move(value)); }
  void setGoogleTag(std::optional<std::string> value) { setTag(Tag::Google, std::move(value)); }
  void setGameCenterTag(std::optional<std::string> value) {
    setTag(Tag::GameCenter, std::move(value));
  }
  void setGroupTag(std::optional<std::string> value) { setTag(Tag::Group, std::move(value)); }
  void setServerVer(std::optional<std::string> value) { setTag(Tag::ServerVer, std::move(value)); }
  void setConfigVer(std::optional<std::string> value) { setTag(Tag::ConfigVer, std::move(value)); }
  std::optional<std::string> getSavedUserTagWithName(const std::string& name);

  // The trim rule: a value of at most `maxLength` UTF-16 units stays whole, a longer one keeps
  // its first maxLength - 1 units, less one more where the cut would split a surrogate pair.
  static std::optional<std::string> trimString(const std::optional<std::string>& value,
                                               int32_t maxLength);

  // Now, as "yyyy-MM-ddTHH:mm:ssZ" in UTC.
  std::string getISO8601Date() const;

  // --- Console diagnostics ("PX_LOG: <message>"), never uploaded ---
  static void error(const std::string& message);
  template <class... Args>
  static void errorWithFormat(FormatString<std::type_identity_t<Args>...> format,
                              const Args&... args) {
    if (logWriter().isEnabled(LogLevel::Console)) error(formatMessage(format, args...));
  }

  // --- Events ---
  // `properties` is an object: the taxonomy keys ("kingdom" ... "species") are recorded as text
  // of at most 31 units, the float keys ("float1" ... "float4") when they are finite numbers;
  // other keys are ignored. Failures show only as console lines.
  void eventWithProperties(const nlohmann::json& properties);
  void eventWithProperties(const nlohmann::json& properties, const std::string& type);
  void economyWithProperties(const nlohmann::json& properties,
                             const std::optional<std::string>& spendCurrency,
                             const std::optional<nlohmann::json>& spendAmount);
  void economyWithProperties(const nlohmann::json& properties,
                             const std::optional<std::string>& spendCurrency,
                             const std::optional<nlohmann::json>& spendAmount,
                             const std::optional<std::string>& spendType);
  void eventWithProperties(const nlohmann::json& properties, const std::string& type,
                           const std::optional<std::string>& spendCurrency,
                           const std::optional<std::string>& spendType,
                           const std::optional<nlohmann::json>& spendAmount);

  // The unsent events, oldest first (a copy).
  std::vector<Record> events();
  // Writes the unsent events to the console, for diagnosis.
  void listEvents();

  // --- App log ---
  // The line is recorded as it is: "%" characters are never read as placeholders here.
  void log(const std::string& line) override { logEvent(line, std::nullopt); }
  void logError(const std::string& line) override { logEvent(line, "error"); }
  template <class... Args>
  void logWithFormat(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    logEvent(formatMessage(format, args...), std::nullopt);
  }
  template <class... Args>
  void logErrorWithFormat(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    logEvent(formatMessage(format, args...), "error");
  }
  void logEvent(const std::string& line, const std::optional<std::string>& level);

  // The log lines waiting to be sent, in list order (tests; not from a queue of this object).
  std::vector<Record> waitingLogLines();
  // How many events and log lines wait to be sent, for the service's status: handed to `done` on
  // logListQueue. Returns at once.
  void status(std::function<void(size_t events, size_t logLines)> done);

  // The track request for a batch of events (its "events" member is the batch).
  nlohmann::json generatePXRequestWithEvents(const std::vector<Record>& events) const;

 private:
  enum class Tag { User, Facebook, Twitter, Google, GameCenter, Group, ServerVer, ConfigVer };
  struct TagInfo {
    const char* name;        // for the saved key and console lines
    const char* requestKey;  // member of the track request
    int32_t limit;
    bool saved;
  };
  static const TagInfo& info(Tag tag);
  std::optional<std::string> tag(Tag tag) const;
  void setTag(Tag tag, std::optional<std::string> value);
  std::optional<std::string> tagSave(const std::optional<std::string>& value, const char* name);

  struct LogEntry {
    uint64_t sequence;  // order of arrival, so the oldest can be found after a batch is put back
    Record record;
  };

  // What the settings hold for the client, read before anything is written back: a store that
  // cannot be read is not an empty one. Nothing when a read failed.
  struct StoredState {
    std::optional<SettingValue> lastDau;
    std::optional<SettingValue> deviceTag;
    std::optional<SettingValue> eventList;
    std::optional<SettingValue> installSent;
    std::optional<SettingValue> savedTags[5];
  };
  std::optional<StoredState> readStoredState();
  // Takes the stored state in, with what was recorded meanwhile, and starts sending.
  void adopt(StoredState stored);
  void adoptLater();  // on sendQueue
  static constexpr Tag kSavedTags[] = {Tag::User, Tag::Facebook, Tag::Twitter, Tag::Google,
                                       Tag::GameCenter};

  void loadDeviceTag(const std::optional<SettingValue>& stored);
  void loadLastDauSend(const std::optional<SettingValue>& stored);
  void initializeEventList(const std::optional<SettingValue>& stored);
  void addEvent(Record record);
  std::vector<Record> getSendEvents();
  void removeEvents(const std::vector<Record>& events);
  void storeEventList();  // under eventLock; nothing until the stored state is read
  size_t capEventList();  // under eventLock; how many were dropped
  void maybeAddDAU();

  void sendEvents();
  void sendStep();  // on sendQueue
  bool postEvents(const std::vector<Record>& events, std::function<void(long)> completion);
  void sendComplete(const std::vector<Record>& batch, long status);  // on sendQueue

  void appendLogs(std::vector<LogEntry> entries, bool putBack);  // on logListQueue
  void checkLogs();                                              // on logListQueue
  void sendLogs(std::vector<LogEntry> batch);
  void sendLogsComplete(std::optional<std::vector<LogEntry>> batch);

  SettingsStore& settings_;
  HttpClient& http_;
  Clock& clock_;
  const TelemetryIdentity identity_;
  const size_t eventCap_;
  const size_t logCap_;
  std::string apiKey_;
  std::string org_;
  std::string baseURL_;
  mutable std::mutex tagLock_;  // the tags are set on callers' threads and read on sendQueue
  std::optional<std::string> tags_[8];
  std::string deviceTag_;  // under tagLock_; empty until the stored state is read

  // Set once the stored state is read: nothing is stored or sent before.
  std::atomic<bool> stateRead_{false};

  std::mutex eventLock;
  std::deque<Record> eventList;  // under eventLock
  uint64_t eventsDropped_ = 0;   // under eventLock

  // The daily-active check's own: first on the creating thread, then only on sendQueue.
  DayFormatter dauDateFormatter;
  std::optional<Clock::TimePoint> lastDAUSend;  // none: never, so the first check records one

  bool isSendRunning = false;  // on sendQueue

  bool isLogSendRunning = false;  // on logListQueue
  std::deque<LogEntry> logList;   // on logListQueue
  uint64_t nextLogSequence_ = 0;  // on logListQueue
  uint64_t logsDropped_ = 0;      // on logListQueue

  // Last, so they stop first, before the state their work uses; the app-log list queue before
  // the send queue it feeds.
  SerialQueue sendQueue;
  SerialQueue logSendQueue;
  SerialQueue logListQueue;
};

}  // namespace zorva
