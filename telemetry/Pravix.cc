#include "telemetry/Pravix.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

#include "platform/text/LowerCase.h"
#include "platform/text/Timestamp.h"
#include "platform/text/Utf16.h"
#include "platform/text/Utf8.h"
#include "platform/text/Uuid.h"

namespace zorva {
namespace {

using json = nlohmann::json;

constexpr const char* kTaxonomyKeys[] = {"kingdom", "phylum", "class",  "order",
                                         "family",  "genus",  "species"};
constexpr const char* kFloatKeys[] = {"float1", "float2", "float3", "float4"};
constexpr int32_t kTaxonomyLimit = 32;
constexpr int32_t kSpendLimit = 32;

// A number JSON can carry: integers, booleans and finite reals. NaN and infinities would be
// written as null (or refused by the settings store, and with them the whole stored list).
bool isSendableNumber(const json& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  return value.is_number() || value.is_boolean();
}

// The text of a caller's value, as "%@" would show it: a string as itself, a number in decimal,
// a boolean as 1 or 0, anything else as JSON.
std::string describeValue(const json& value) {
  switch (value.type()) {
    case json::value_t::string:
      return value.get_ref<const std::string&>();
    case json::value_t::boolean:
      return value.get<bool>() ? "1" : "0";
    case json::value_t::number_integer:
      return std::to_string(value.get<int64_t>());
    case json::value_t::number_unsigned:
      return std::to_string(value.get<uint64_t>());
    case json::value_t::number_float: {
      const double number = value.get<double>();
      if (std::isnan(number)) return "nan";
      if (std::isinf(number)) return number > 0 ? "inf" : "-inf";
      char buffer[32];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
      return std::string(buffer, result.ptr);
    }
    case json::value_t::null:
      return "<null>";
    default:
      return value.dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

// Why a record cannot be sent as JSON, or nothing when it can.
std::optional<std::string> unsendable(const json& record) {
  for (const auto& [key, value] : record.items()) {
    if (value.is_number_float() && !std::isfinite(value.get<double>())) {
      return "the value of " + key + " is not a finite number";
    }
  }
  try {
    (void)record.dump();
  } catch (const json::exception& failure) {
    return std::string(failure.what());
  }
  return std::nullopt;
}

// Records are stored as dictionaries of the settings store's own scalars.
SettingValue toSetting(const json& record) {
  SettingValue::Dictionary dictionary;
  for (const auto& [key, value] : record.items()) {
    switch (value.type()) {
      case json::value_t::string:
        dictionary.emplace(key, value.get<std::string>());
        break;
      case json::value_t::boolean:
        dictionary.emplace(key, value.get<bool>());
        break;
      case json::value_t::number_integer:
        dictionary.emplace(key, value.get<int64_t>());
        break;
      case json::value_t::number_unsigned: {
        const uint64_t number = value.get<uint64_t>();
        // Above the integers the store keeps, a real is the nearest it can hold.
        if (number > static_cast<uint64_t>(INT64_MAX)) {
          dictionary.emplace(key, static_cast<double>(number));
        } else {
          dictionary.emplace(key, static_cast<int64_t>(number));
        }
        break;
      }
      case json::value_t::number_float:
        dictionary.emplace(key, value.get<double>());
        break;
      default:
        break;  // records never hold anything else
    }
  }
  return dictionary;
}

// A stored record back, or nothing when the stored value cannot be one.
std::optional<json> fromSetting(const SettingValue& stored) {
  const SettingValue::Dictionary* dictionary = stored.asDictionary();
  if (dictionary == nullptr) return std::nullopt;
  json record = json::object();
  for (const auto& [key, value] : *dictionary) {
    if (const std::string* text = value.asString()) {
      record[key] = *text;
    } else if (auto flag = value.asBool()) {
      record[key] = *flag;
    } else if (auto integer = value.asInteger()) {
      record[key] = *integer;
    } else if (auto real = value.asReal(); real && std::isfinite(*real)) {
      record[key] = *real;
    } else {
      return std::nullopt;
    }
  }
  return record;
}

std::string trimTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

Pravix::Pravix(const Dependencies& dependencies, std::string apiKey, const std::string& org,
               const std::optional<std::string>& dauTimeZone)
    : settings_(dependencies.settings),
      http_(dependencies.http),
      clock_(dependencies.clock),
      identity_(dependencies.identity),
      eventCap_(std::max<size_t>(dependencies.eventCap, 1)),
      logCap_(std::max<size_t>(dependencies.logCap, 1)),
      apiKey_(std::move(apiKey)),
      org_(normalizeOrg(org)),
      baseURL_(trimTrailingSlash(dependencies.analyticsUrl) + "/" + org_),
      dauDateFormatter(dauTimeZone),
      sendQueue("com.pravix.sendQueue", dependencies.clock),
      logSendQueue("com.pravix.logSendQueue", dependencies.clock),
      logListQueue("com.pravix.logListQueue", dependencies.clock) {
  if (!dauDateFormatter.valid()) {
    errorWithFormat("unknown DAU time zone %@: counting days in UTC", dauTimeZone);
  }
  if (std::optional<StoredState> stored = readStoredState()) {
    adopt(std::move(*stored));
    return;
  }
  error("the settings cannot be read now: events and log lines wait in memory until they can");
  sendQueue.after(kSettingsRetry, [this] { adoptLater(); });
}

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
  read(kDeviceTagKey, stored.deviceTag);
  read(kEventListKey, stored.eventList);
  read(kInstallSentKey, stored.installSent);
  for (size_t i = 0; i < std::size(kSavedTags); ++i) {
    read(formatMessage("%@_%@", kSavedTagPrefix, info(kSavedTags[i]).name), stored.savedTags[i]);
  }
  if (failed) return std::nullopt;
  return stored;
}

void Pravix::adoptLater() {
  if (std::optional<StoredState> stored = readStoredState()) {
    adopt(std::move(*stored));
  } else {
    sendQueue.after(kSettingsRetry, [this] { adoptLater(); });
  }
}

void Pravix::adopt(StoredState stored) {
  loadLastDauSend(stored.lastDau);
  {
    std::lock_guard lock(tagLock_);
    for (size_t i = 0; i < std::size(kSavedTags); ++i) {
      const std::string* text = stored.savedTags[i] ? stored.savedTags[i]->asString() : nullptr;
      tags_[static_cast<int>(kSavedTags[i])] =
          text ? std::optional<std::string>(*text) : std::nullopt;
    }
  }
  loadDeviceTag(stored.deviceTag);

  initializeEventList(stored.eventList);
  const bool installSent = stored.installSent && stored.installSent->asBool().value_or(false);
  if (!installSent) {
    eventWithProperties(json{{"kingdom", "organic"}}, "install");
    settings_.set(kInstallSentKey, true);
  }
  maybeAddDAU();
  sendEvents();
  logListQueue.async([this] { checkLogs(); });
}

Pravix::~Pravix() = default;

std::string Pravix::normalizeOrg(std::string_view org) {
  std::string normalized = lowerCase(org);
  std::replace(normalized.begin(), normalized.end(), ' ', '_');
  return normalized;
}

void Pravix::loadLastDauSend(const std::optional<SettingValue>& stored) {
  if (!stored) return;
  if (auto date = stored->asDate()) {
    lastDAUSend = *date;
    return;
  }
  error(std::string(kLastDauKey) + " is not a date; the day counts as new");
}

void Pravix::loadDeviceTag(const std::optional<SettingValue>& stored) {
  const std::string* text = stored ? stored->asString() : nullptr;
  // Text that JSON cannot carry would make every request fail; an empty tag names no one.
  if (text && *text != kZeroUuid && !text->empty() && isValidUtf8(*text)) {
    std::lock_guard lock(tagLock_);
    deviceTag_ = *text;
    return;
  }
  std::string made = randomUuid();
  settings_.set(kDeviceTagKey, made);
  std::lock_guard lock(tagLock_);
  deviceTag_ = std::move(made);
}

// --- Tags ---

const Pravix::TagInfo& Pravix::info(Tag tag) {
  static const TagInfo kTags[] = {
      {"userTag", "user_tag", 62, true},
      {"facebookTag", "facebook_tag", 62, true},
      {"twitterTag", "twitter_tag", 62, true},
      {"googleTag", "google_tag", 62, true},
      {"gameCenterTag", "game_center_tag", 62, true},
      {"groupTag", "group_tag", 32, false},
      {"serverVer", "server_ver", 16, false},
      {"configVer", "config_ver", 16, false},
  };
  return kTags[static_cast<int>(tag)];
}

std::optional<std::string> Pravix::tag(Tag which) const {
  std::lock_guard lock(tagLock_);
  return tags_[static_cast<int>(which)];
}

void Pravix::setTag(Tag which, std::optional<std::string> value) {
  const TagInfo& tagInfo = info(which);
  if (value && !isValidUtf8(*value)) {
    errorWithFormat("%@ is not UTF-8 text; left unchanged", tagInfo.name);
    return;
  }
  std::optional<std::string> kept =
      tagInfo.saved ? tagSave(value, tagInfo.name) : trimString(value, tagInfo.limit);
  std::lock_guard lock(tagLock_);
  tags_[static_cast<int>(which)] = std::move(kept);
}

std::optional<std::string> Pravix::tagSave(const std::optional<std::string>& value,
                                           const char* name) {
  std::optional<std::string> kept = trimString(value, 62);
  const std::string key = formatMessage("%@_%@", kSavedTagPrefix, name);
  if (kept) {
    settings_.set(key, *kept);
  } else {
    settings_.remove(key);
  }
  return kept;
}

std::optional<std::string> Pravix::getSavedUserTagWithName(const std::string& name) {
  return settings_.getString(formatMessage("%@_%@", kSavedTagPrefix, name));
}

std::optional<std::string> Pravix::trimString(const std::optional<std::string>& value,
                                              int32_t maxLength) {
  if (!value) return std::nullopt;
  const size_t limit = maxLength > 0 ? static_cast<size_t>(maxLength) : 0;
  if (utf16Length(*value) <= limit) return value;
  return std::string(utf16Prefix(*value, limit > 0 ? limit - 1 : 0));
}

std::string Pravix::getISO8601Date() const { return wireTimestamp(clock_.now()); }

void Pravix::error(const std::string& message) {
  LogWriter& writer = logWriter();
  if (!writer.isEnabled(LogLevel::Console)) return;
  writer.write(LogLevel::Console, "PX_LOG: " + message);
}

// --- Events ---

void Pravix::eventWithProperties(const json& properties) {
  eventWithProperties(properties, "event", std::nullopt, std::nullopt, std::nullopt);
}

void Pravix::eventWithProperties(const json& properties, const std::string& type) {
  eventWithProperties(properties, type, std::nullopt, std::nullopt, std::nullopt);
}

void Pravix::economyWithProperties(const json& properties,
                                   const std::optional<std::string>& spendCurrency,
                                   const std::optional<json>& spendAmount) {
  eventWithProperties(properties, "economy", spendCurrency, std::nullopt, spendAmount);
}

void Pravix::economyWithProperties(const json& properties,
                                   const std::optional<std::string>& spendCurrency,
                                   const std::optional<json>& spendAmount,
                                   const std::optional<std::string>& spendType) {
  eventWithProperties(properties, "economy", spendCurrency, spendType, spendAmount);
}

void Pravix::eventWithProperties(const json& properties, const std::string& type,
                                 const std::optional<std::string>& spendCurrency,
                                 const std::optional<std::string>& spendType,
                                 const std::optional<json>& spendAmount) {
  if (type.empty()) {
    errorWithFormat("failed to send event without a type, properties: %@",
                    describeValue(properties));
    return;
  }
  static const json kNoProperties = json::object();
  const json* given = &properties;
  if (!properties.is_object()) {
    if (!properties.is_null()) {
      errorWithFormat("properties are not a dictionary (%@); event %@ recorded without them",
                      describeValue(properties), type);
    }
    given = &kNoProperties;
  }

  json record = json::object();
  record["event_datetime"] = getISO8601Date();
  record["type"] = type;
  for (const char* key : kTaxonomyKeys) {
    auto found = given->find(key);
    if (found == given->end()) continue;
    std::string text = describeValue(*found);
    if (text.empty()) continue;
    record[key] = *trimString(text, kTaxonomyLimit);
  }
  for (const char* key : kFloatKeys) {
    auto found = given->find(key);
    if (found == given->end()) continue;
    if (isSendableNumber(*found)) {
      record[key] = *found;
    } else {
      errorWithFormat("bad value (%@) for %@", describeValue(*found), key);
    }
  }

  if (type == "economy") {
    bool valid = spendCurrency.has_value();
    const std::optional<std::string> currency = trimString(spendCurrency, kSpendLimit);
    if (currency) {
      record["spend_currency"] = *currency;
    } else {
      error("spendCurrency is required");
    }
    if (!spendAmount) {
      error("missing required value spendAmount for economy event");
      valid = false;
    } else if (isSendableNumber(*spendAmount)) {
      record["spend_amount"] = *spendAmount;
    } else {
      errorWithFormat("bad value (%@) for spendAmount", describeValue(*spendAmount));
      valid = false;
    }
    if (auto cut = trimString(spendType, kSpendLimit)) record["spend_type"] = *cut;
    if (!valid) {
      const std::optional<std::string> amount =
          spendAmount ? std::optional(describeValue(*spendAmount)) : std::nullopt;
      errorWithFormat(
          "failed to send event with type: %@ and properties: %@, spendCurrency: %@, "
          "spendAmount: %@",
          type, describeValue(properties), currency, amount);
      return;
    }
  }
  addEvent(std::move(record));
}

void Pravix::addEvent(Record record) {
  size_t dropped = 0;
  uint64_t droppedSoFar = 0;
  {
    std::lock_guard lock(eventLock);
    eventList.push_back(std::move(record));
    dropped = capEventList();
    droppedSoFar = eventsDropped_;
    storeEventList();
  }
  if (dropped > 0) {
    errorWithFormat("more than %ld events waiting; dropped the oldest %ld (%ld so far)",
                    static_cast<int64_t>(eventCap_), static_cast<int64_t>(dropped),
                    static_cast<int64_t>(droppedSoFar));
  }
  sendEvents();
}

size_t Pravix::capEventList() {
  size_t dropped = 0;
  while (eventList.size() > eventCap_) {
    eventList.pop_front();
    ++dropped;
  }
  eventsDropped_ += dropped;
  return dropped;
}

void Pravix::storeEventList() {
  // Before the stored list is read, writing would put this one over it.
  if (!stateRead_.load(std::memory_order_acquire)) return;
  SettingValue::Array stored;
  stored.reserve(eventList.size());
  for (const Record& record : eventList) stored.push_back(toSetting(record));
  settings_.set(kEventListKey, std::move(stored));
}

std::vector<Pravix::Record> Pravix::getSendEvents() {
  std::lock_guard lock(eventLock);
  const size_t count = std::min(eventList.size(), kBatchSize);
  return {eventList.begin(), eventList.begin() + static_cast<ptrdiff_t>(count)};
}

void Pravix::removeEvents(const std::vector<Record>& events) {
  std::lock_guard lock(eventLock);
  // Every equal entry goes: two records recorded alike in the same second leave together.
  std::erase_if(eventList, [&](const Record& entry) {
    return std::find(events.begin(), events.end(), entry) != events.end();
  });
  storeEventList();
}

std::vector<Pravix::Record> Pravix::events() {
  std::lock_guard lock(eventLock);
  return {eventList.begin(), eventList.end()};
}

void Pravix::listEvents() {
  std::vector<Record> copy = events();
  LogWriter& writer = logWriter();
  if (!writer.isEnabled(LogLevel::Console)) return;
  writer.write(LogLevel::Console, "Current Events queued up:");
  for (const Record& record : copy) writer.write(LogLevel::Console, describeValue(record));
  writer.write(LogLevel::Console, "end");
}

void Pravix::initializeEventList(const std::optional<SettingValue>& stored) {
  size_t unreadable = 0;
  size_t dropped = 0;
  bool notAList = false;
  {
    std::lock_guard lock(eventLock);
    // Events recorded while the settings could not be read are newer than the stored ones.
    std::deque<Record> recordedMeanwhile = std::move(eventList);
    eventList.clear();
    const SettingValue::Array* array = stored ? stored->asArray() : nullptr;
    notAList = stored && array == nullptr;
    if (array != nullptr) {
      for (const SettingValue& item : *array) {
        if (std::optional<Record> record = fromSetting(item)) {
          eventList.push_back(std::move(*record));
        } else {
          ++unreadable;
        }
      }
    }
    for (Record& record : recordedMeanwhile) eventList.push_back(std::move(record));
    dropped = capEventList();
    stateRead_.store(true, std::memory_order_release);
    if (array == nullptr || unreadable > 0 || dropped > 0 || !recordedMeanwhile.empty()) {
      storeEventList();
    }
  }
  if (notAList) error(std::string(kEventListKey) + " is not a list; starting an empty one");
  if (unreadable > 0) {
    errorWithFormat("dropped %ld stored events that are not records of strings and numbers",
                    static_cast<int64_t>(unreadable));
  }
  if (dropped > 0) {
    errorWithFormat("more than %ld events waiting; dropped the oldest %ld (%ld so far)",
                    static_cast<int64_t>(eventCap_), static_cast<int64_t>(dropped),
                    static_cast<int64_t>(dropped));
  }
}

void Pravix::maybeAddDAU() {
  const Clock::TimePoint now = clock_.now();
  // A clock set back to an earlier day is a different day too.
  if (!lastDAUSend || dauDateFormatter.format(*lastDAUSend) != dauDateFormatter.format(now)) {
    lastDAUSend = now;
    settings_.set(kLastDauKey, SettingValue(now));
    eventWithProperties(json::object(), "dau");
  }
  sendQueue.after(kDauInterval, [this] { maybeAddDAU(); });
}

// --- Event upload ---

void Pravix::sendEvents() {
  sendQueue.async([this] { sendStep(); });
}

void Pravix::sendStep() {
  // Without the stored state there is no device tag to send under; the events wait for it.
  if (isSendRunning || !stateRead_.load(std::memory_order_acquire)) return;
  isSendRunning = true;
  std::vector<Record> batch;
  for (;;) {
    batch = getSendEvents();
    // A record JSON cannot carry would fail every request it rides in, and keep the records
    // behind it waiting for good: it leaves the list instead.
    std::vector<Record> bad;
    for (const Record& record : batch) {
      if (auto why = unsendable(record)) {
        errorWithFormat("dropping an event that cannot be sent: %@", *why);
        bad.push_back(record);
      }
    }
    if (bad.empty()) break;
    removeEvents(bad);
  }
  if (batch.empty()) {
    isSendRunning = false;
    return;
  }
  const bool started = postEvents(batch, [this, batch](long status) {
    sendQueue.async([this, batch, status] { sendComplete(batch, status); });
  });
  if (!started) {
    removeEvents(batch);
    isSendRunning = false;
    sendQueue.async([this] { sendStep(); });
  }
}

json Pravix::generatePXRequestWithEvents(const std::vector<Record>& events) const {
  json request = {
      {"api_key", apiKey_},
      {"app_ver", identity_.appVersion},
      {"device_family", kDeviceFamily},
      {"os_ver", identity_.osVersion},
      {"device_tag", deviceTag()},
      {"device_type", identity_.deviceType},
      {"language", identity_.language},
      {"country", identity_.country},
      {"os", kOs},
      {"marketplace", kMarketplace},
  };
  {
    std::lock_guard lock(tagLock_);
    for (int i = 0; i < 8; ++i) {
      if (tags_[i]) request[info(static_cast<Tag>(i)).requestKey] = *tags_[i];
    }
  }
  request["events"] = json(events);
  return request;
}

bool Pravix::postEvents(const std::vector<Record>& events, std::function<void(long)> completion) {
  HttpRequest request;
  try {
    request.body = generatePXRequestWithEvents(events).dump();
  } catch (const json::exception& failure) {
    errorWithFormat("sendEvents: cannot build the request, dropping its events: %@",
                    failure.what());
    return false;
  }
  request.method = "POST";
  request.url = baseURL_ + "/1/track?current_time=" + getISO8601Date();
  request.headers = {{"Content-Type", "application/json"}};
  request.timeout = kTimeout;
  http_.send(std::move(request),
             [completion = std::move(completion)](const HttpResponse& response) {
               completion(response.status);
             });
  return true;
}

void Pravix::sendComplete(const std::vector<Record>& batch, long status) {
  Clock::Duration pause{0};
  if ((status >= 200 && status <= 299) || status == 400) {
    removeEvents(batch);
  } else if (status == 403) {
    error("Bad authentication, please check your API Key");
    removeEvents(batch);
  } else if (status == 409) {
    error("Conflict, dup send?");
    removeEvents(batch);
  } else {
    error("sendEvents: send complete: unknown error");
    pause = kEventRetryPause;
  }
  isSendRunning = false;
  if (pause == Clock::Duration(0)) {
    sendQueue.async([this] { sendStep(); });
  } else {
    sendQueue.after(pause, [this] { sendStep(); });
  }
}

// --- App log ---

void Pravix::logEvent(const std::string& line, const std::optional<std::string>& level) {
  Record record = {{"event_datetime", getISO8601Date()}, {"log_line", line}};
  if (level) record["log_level"] = *level;
  logListQueue.async([this, record = std::move(record)]() mutable {
    std::vector<LogEntry> entries;
    entries.push_back({nextLogSequence_++, std::move(record)});
    appendLogs(std::move(entries), /*putBack=*/false);
    // Checked in the same step: lines handed in during an upload wait for the check after its
    // answer, instead of each leaving a check of its own queued that could land after the answer
    // and cut its pause short.
    checkLogs();
  });
}

void Pravix::appendLogs(std::vector<LogEntry> entries, bool putBack) {
  for (LogEntry& entry : entries) logList.push_back(std::move(entry));
  if (logList.size() <= logCap_) return;
  // The oldest by arrival, wherever a put-back batch left them in the list.
  size_t dropped = 0;
  if (putBack) {
    // The batch came back behind newer lines and is older than all of them: its front goes.
    const size_t excess = logList.size() - logCap_;
    const auto batchStart = logList.end() - static_cast<ptrdiff_t>(entries.size());
    logList.erase(batchStart, batchStart + static_cast<ptrdiff_t>(excess));
    dropped = excess;
  } else {
    while (logList.size() > logCap_) {
      logList.erase(std::min_element(
          logList.begin(), logList.end(),
          [](const LogEntry& a, const LogEntry& b) { return a.sequence < b.sequence; }));
      ++dropped;
    }
  }
  logsDropped_ += dropped;
  errorWithFormat("more than %ld log lines waiting; dropped the oldest %ld (%ld so far)",
                  static_cast<int64_t>(logCap_), static_cast<int64_t>(dropped),
                  static_cast<int64_t>(logsDropped_));
}

void Pravix::checkLogs() {
  if (isLogSendRunning || logList.empty() || !stateRead_.load(std::memory_order_acquire)) return;
  const size_t count = std::min(logList.size(), kBatchSize);
  isLogSendRunning = true;
  std::vector<LogEntry> batch(
      std::make_move_iterator(logList.begin()),
      std::make_move_iterator(logList.begin() + static_cast<ptrdiff_t>(count)));
  logList.erase(logList.begin(), logList.begin() + static_cast<ptrdiff_t>(count));
  sendLogs(std::move(batch));
}

void Pravix::sendLogs(std::vector<LogEntry> batch) {
  logSendQueue.async([this, batch = std::move(batch)]() mutable {
    // A line JSON cannot carry (bytes that are not UTF-8) would take the whole batch with it.
    std::erase_if(batch, [](const LogEntry& entry) {
      auto why = unsendable(entry.record);
      if (why) errorWithFormat("dropping a log line that cannot be sent: %@", *why);
      return why.has_value();
    });
    if (batch.empty()) return sendLogsComplete(std::nullopt);

    json events = json::array();
    for (const LogEntry& entry : batch) events.push_back(entry.record);
    const json body = {
        {"api_key", apiKey_},
        {"app_ver", identity_.appVersion},
        {"device_tag", deviceTag()},
        {"os", kOs},
        {"os_ver", identity_.osVersion},
        {"device_family", kDeviceFamily},
        {"device_type", identity_.deviceType},
        {"marketplace", kMarketplace},
        {"language", identity_.language},
        {"country", identity_.country},
        {"events", std::move(events)},
    };
    HttpRequest request;
    try {
      request.body = body.dump();
    } catch (const json::exception&) {
      return sendLogsComplete(std::nullopt);
    }
    request.method = "POST";
    request.url = baseURL_ + "/1/app_log?current_time=" + getISO8601Date();
    request.headers = {{"Content-Type", "application/json"}};
    request.timeout = kTimeout;
    http_.send(
        std::move(request), [this, batch = std::move(batch)](const HttpResponse& response) mutable {
          const long status = response.status;
          if (response.transportError || status == 0) {
            errorWithFormat("error from url: %ld, %@", static_cast<int64_t>(response.transportCode),
                            response.transportError.value_or("no answer"));
            return sendLogsComplete(std::move(batch));
          }
          if (status >= 200 && status <= 299) return sendLogsComplete(std::nullopt);
          if (status == 400) {
            error("bad log send 400");
          } else if (status == 409) {
            error("Conflict, dup send?");
          } else if (status == 403) {
            error("Bad authentication, please check your API Key");
          } else {
            error("sendEvents: send complete: unknown error");
            return sendLogsComplete(std::move(batch));
          }
          sendLogsComplete(std::nullopt);
        });
  });
}

void Pravix::sendLogsComplete(std::optional<std::vector<LogEntry>> batch) {
  logListQueue.async([this, batch = std::move(batch)]() mutable {
    isLogSendRunning = false;
    Clock::Duration pause = kLogPause;
    if (batch) {
      // Behind the lines handed in meanwhile.
      appendLogs(std::move(*batch), /*putBack=*/true);
      pause = kLogRetryPause;
    }
    logListQueue.after(pause, [this] { checkLogs(); });
  });
}

void Pravix::status(std::function<void(size_t, size_t)> done) {
  logListQueue.async([this, done = std::move(done)] {
    size_t events;
    {
      std::lock_guard lock(eventLock);
      events = eventList.size();
    }
    done(events, logList.size());
  });
}

std::vector<Pravix::Record> Pravix::waitingLogLines() {
  std::vector<Record> lines;
  logListQueue.sync([&] {
    for (const LogEntry& entry : logList) lines.push_back(entry.record);
  });
  return lines;
}

}  // namespace zorva
