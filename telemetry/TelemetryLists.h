#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/settings/SettingsStore.h"
#include "telemetry/TelemetryRecords.h"

namespace zorva {

// Past a cap the oldest waiting records are dropped, so an unreachable analytics service cannot
// exhaust memory or the settings store.
inline constexpr size_t kDefaultRecordCap = 10000;

// The unsent events, oldest first, with a copy in the settings store that survives restarts.
// Safe from any thread: recording goes on during an upload.
class StoredEventList {
 public:
  static constexpr const char* kKey = "pravix_eventList";

  StoredEventList(SettingsStore& settings, size_t cap);

  // Takes in the stored list (as read from the store; nothing when the key is absent) ahead of
  // what was recorded meanwhile. Until then nothing is written: the stored list would be lost.
  void adopt(const std::optional<SettingValue>& stored);
  bool adopted() const { return adopted_.load(std::memory_order_acquire); }

  void add(TelemetryRecord record);
  // A copy of the oldest `count` (fewer when fewer wait); they stay until removed.
  std::vector<TelemetryRecord> oldest(size_t count) const;
  // Every equal entry goes: two records recorded alike in the same second leave together.
  void remove(const std::vector<TelemetryRecord>& records);
  std::vector<TelemetryRecord> all() const;
  size_t size() const;

 private:
  size_t capLocked();  // how many were dropped
  void storeLocked();

  SettingsStore& settings_;
  const size_t cap_;
  mutable std::mutex lock_;
  std::deque<TelemetryRecord> list_;  // under lock_
  uint64_t dropped_ = 0;              // under lock_
  std::atomic<bool> adopted_{false};
};

// The log lines waiting to be sent, in memory only. Not safe for concurrent use: one queue owns it.
class LogList {
 public:
  struct Entry {
    uint64_t sequence;  // order of arrival, so the oldest can be found after a batch is put back
    TelemetryRecord record;
  };

  explicit LogList(size_t cap) : cap_(std::max<size_t>(cap, 1)) {}

  void add(TelemetryRecord record);
  // Takes the first `count` out of the list.
  std::vector<Entry> take(size_t count);
  // A batch that failed goes behind the lines handed in meanwhile.
  void putBack(std::vector<Entry> batch);
  std::vector<TelemetryRecord> records() const;
  size_t size() const { return list_.size(); }

 private:
  void cap();

  const size_t cap_;
  std::deque<Entry> list_;
  uint64_t nextSequence_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace zorva
