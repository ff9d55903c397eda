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
    std::lock_guard lock(_mutex);
    if (_failReads) {
      ZorvaError(FaultKind::Store, "Failed to read setting %@: %@", key,
                 "database is locked (simulated)");
      return {std::nullopt, true};
    }
    auto found = _values.find(key);
    if (found == _values.end()) return {};
    return {found->second, false};
  }

  bool set(const std::string& key, const SettingValue& value) override {
    std::string failure;
    if (encodeSettingValue(value, &failure).empty()) {
      ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", key, failure);
      return false;
    }
    std::lock_guard lock(_mutex);
    if (_failWrites) {
      ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", key, failureText());
      return false;
    }
    _values.insert_or_assign(key, value);
    return true;
  }

  bool remove(const std::string& key) override {
    std::lock_guard lock(_mutex);
    if (_failWrites) {
      ZorvaError(FaultKind::Store, "Failed to remove setting %@: %@", key, failureText());
      return false;
    }
    _values.erase(key);
    return true;
  }

  // While set, set() and remove() fail as on a full disk and change nothing.
  void setFailWrites(bool fail) {
    std::lock_guard lock(_mutex);
    _failWrites = fail;
  }
  // While set, the store cannot be read or written, as while another process holds it.
  void setLocked(bool locked) {
    std::lock_guard lock(_mutex);
    _failReads = locked;
    _failWrites = locked;
  }

  // Every stored value, for a test to check at once.
  std::map<std::string, SettingValue> values() const {
    std::lock_guard lock(_mutex);
    return _values;
  }

 private:
  static const char* failureText() { return "database or disk is full (simulated)"; }

  mutable std::mutex _mutex;
  std::map<std::string, SettingValue> _values;
  bool _failWrites = false;
  bool _failReads = false;
};

}  // namespace zorva
