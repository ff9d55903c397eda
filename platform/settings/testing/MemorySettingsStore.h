#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/log/Log.h"
#include "platform/settings/SettingsStore.h"

namespace zorva {

// The store for tests: a map behind a mutex. It refuses what the SQLite store refuses (values
// with no encoding) with the same log line, and can be told to fail writes, so a subsystem's
// tests see the store's failures without a disk.
class MemorySettingsStore final : public SettingsStore {
 public:
  Read read(const std::string& key) override {
    std::lock_guard lock(mutex_);
    if (failReads_) {
      ZorvaError(FaultKind::Store, "Failed to read setting %@: %@", key,
                 "database is locked (simulated)");
      return {std::nullopt, true};
    }
    auto found = values_.find(key);
    if (found == values_.end()) return {};
    return {found->second, false};
  }

  bool set(const std::string& key, const SettingValue& value) override {
    std::string failure;
    if (encodeSettingValue(value, &failure).empty()) {
      ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", key, failure);
      return false;
    }
    std::lock_guard lock(mutex_);
    if (failWrites_) {
      ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", key, failureText());
      return false;
    }
    values_.insert_or_assign(key, value);
    return true;
  }

  bool remove(const std::string& key) override {
    std::lock_guard lock(mutex_);
    if (failWrites_) {
      ZorvaError(FaultKind::Store, "Failed to remove setting %@: %@", key, failureText());
      return false;
    }
    values_.erase(key);
    return true;
  }

  // While set, set() and remove() fail as on a full disk and change nothing.
  void setFailWrites(bool fail) {
    std::lock_guard lock(mutex_);
    failWrites_ = fail;
  }
  // While set, the store cannot be read or written, as while another process holds it.
  void setLocked(bool locked) {
    std::lock_guard lock(mutex_);
    failReads_ = locked;
    failWrites_ = locked;
  }

  // Every stored value, for a test to check at once.
  std::map<std::string, SettingValue> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }

 private:
  static const char* failureText() { return "database or disk is full (simulated)"; }

  mutable std::mutex mutex_;
  std::map<std::string, SettingValue> values_;
  bool failWrites_ = false;
  bool failReads_ = false;
};

}  // namespace zorva
