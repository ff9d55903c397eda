#include "telemetry/TelemetryLists.h"

#include <algorithm>
#include <cmath>

namespace zorva {
namespace {

using json = nlohmann::json;

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

void reportDrops(const char* what, size_t cap, size_t dropped, uint64_t total) {
  if (dropped == 0) return;
  telemetryConsoleFormat("more than %ld %@ waiting; dropped the oldest %ld (%ld so far)",
                         static_cast<int64_t>(cap), what, static_cast<int64_t>(dropped),
                         static_cast<int64_t>(total));
}

}  // namespace

StoredEventList::StoredEventList(SettingsStore& settings, size_t cap)
    : settings_(settings), cap_(std::max<size_t>(cap, 1)) {}

void StoredEventList::adopt(const std::optional<SettingValue>& stored) {
  size_t unreadable = 0;
  size_t dropped = 0;
  uint64_t total = 0;
  const SettingValue::Array* array = stored ? stored->asArray() : nullptr;
  {
    std::lock_guard lock(lock_);
    // Events recorded while the settings could not be read are newer than the stored ones.
    std::deque<TelemetryRecord> recordedMeanwhile = std::move(list_);
    list_.clear();
    if (array != nullptr) {
      for (const SettingValue& item : *array) {
        if (std::optional<TelemetryRecord> record = fromSetting(item)) {
          list_.push_back(std::move(*record));
        } else {
          ++unreadable;
        }
      }
    }
    for (TelemetryRecord& record : recordedMeanwhile) list_.push_back(std::move(record));
    dropped = capLocked();
    total = dropped_;
    adopted_.store(true, std::memory_order_release);
    if (array == nullptr || unreadable > 0 || dropped > 0 || !recordedMeanwhile.empty()) {
      storeLocked();
    }
  }
  if (stored && array == nullptr) {
    telemetryConsole(std::string(kKey) + " is not a list; starting an empty one");
  }
  if (unreadable > 0) {
    telemetryConsoleFormat("dropped %ld stored events that are not records of strings and numbers",
                           static_cast<int64_t>(unreadable));
  }
  reportDrops("events", cap_, dropped, total);
}

void StoredEventList::add(TelemetryRecord record) {
  size_t dropped = 0;
  uint64_t total = 0;
  {
    std::lock_guard lock(lock_);
    list_.push_back(std::move(record));
    dropped = capLocked();
    total = dropped_;
    storeLocked();
  }
  reportDrops("events", cap_, dropped, total);
}

std::vector<TelemetryRecord> StoredEventList::oldest(size_t count) const {
  std::lock_guard lock(lock_);
  const auto end = list_.begin() + static_cast<ptrdiff_t>(std::min(list_.size(), count));
  return {list_.begin(), end};
}

void StoredEventList::remove(const std::vector<TelemetryRecord>& records) {
  std::lock_guard lock(lock_);
  std::erase_if(list_, [&](const TelemetryRecord& entry) {
    return std::find(records.begin(), records.end(), entry) != records.end();
  });
  storeLocked();
}

std::vector<TelemetryRecord> StoredEventList::all() const {
  std::lock_guard lock(lock_);
  return {list_.begin(), list_.end()};
}

size_t StoredEventList::size() const {
  std::lock_guard lock(lock_);
  return list_.size();
}

size_t StoredEventList::capLocked() {
  size_t dropped = 0;
  for (; list_.size() > cap_; ++dropped) list_.pop_front();
  dropped_ += dropped;
  return dropped;
}

void StoredEventList::storeLocked() {
  if (!adopted()) return;
  SettingValue::Array stored;
  stored.reserve(list_.size());
  for (const TelemetryRecord& record : list_) stored.push_back(toSetting(record));
  settings_.set(kKey, std::move(stored));
}

void LogList::add(TelemetryRecord record) {
  list_.push_back({nextSequence_++, std::move(record)});
  cap();
}

std::vector<LogList::Entry> LogList::take(size_t count) {
  const auto end = list_.begin() + static_cast<ptrdiff_t>(std::min(list_.size(), count));
  std::vector<Entry> batch(std::make_move_iterator(list_.begin()), std::make_move_iterator(end));
  list_.erase(list_.begin(), end);
  return batch;
}

void LogList::putBack(std::vector<Entry> batch) {
  for (Entry& entry : batch) list_.push_back(std::move(entry));
  cap();
}

std::vector<TelemetryRecord> LogList::records() const {
  std::vector<TelemetryRecord> records;
  for (const Entry& entry : list_) records.push_back(entry.record);
  return records;
}

void LogList::cap() {
  if (list_.size() <= cap_) return;
  const size_t excess = list_.size() - cap_;
  // The oldest by arrival, wherever a put-back batch left them in the list.
  for (size_t i = 0; i < excess; ++i) {
    list_.erase(std::min_element(list_.begin(), list_.end(), [](const Entry& a, const Entry& b) {
      return a.sequence < b.sequence;
    }));
  }
  dropped_ += excess;
  reportDrops("log lines", cap_, excess, dropped_);
}

}  // namespace zorva
