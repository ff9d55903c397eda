#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/log/Log.h"
#include "platform/settings/SettingsStore.h"

namespace zorva {

// The store for tests: a map behind a mutex. It refuses what the SQLite store refuses (values
// with no encoding) with the same log line, and can be locked as another process would hold it.
class MemorySettingsStore final : public SettingsStore {
 public:
  Read read(const std::string& key) override {
    std::lock_guard lock(_mutex);
    if (failed("read", key)) return {std::nullopt, true};
    auto found = _values.find(key);
    return {found == _values.end() ? std::nullopt : std::optional(found->second), false};
  }
  bool set(const std::string& key, const SettingValue& value) override {
    std::string failure;
    if (encodeSettingValue(value, &failure).empty()) {
      ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", key, failure);
      return false;
    }
    std::lock_guard lock(_mutex);
    if (failed("store", key)) return false;
    _values.insert_or_assign(key, value);
    return true;
  }
  bool remove(const std::string& key) override {
    std::lock_guard lock(_mutex);
    if (failed("remove", key)) return false;
    _values.erase(key);
    return true;
  }
  // While set, the store can be neither read nor written, and nothing changes.
  void setLocked(bool locked) { _locked = locked; }

 private:
  bool failed(const char* what, const std::string& key) const {
    if (_locked)
      ZorvaError(FaultKind::Store, "Failed to %s setting %@: database is locked", what, key);
    return _locked;
  }

  std::mutex _mutex;
  std::map<std::string, SettingValue> _values;
  std::atomic<bool> _locked = false;
};

}  // namespace zorva
