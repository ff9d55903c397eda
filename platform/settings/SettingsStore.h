#pragma once

#include <optional>
#include <string>

#include "platform/settings/SettingValue.h"

namespace zorva {

// The service's persistent key-value store, handed to every subsystem that keeps state across
// restarts. Implementations are safe to call from any thread.
class SettingsStore {
 public:
  // What a read found. `failed`: the store could not be read just now (another process holds it,
  // an I/O error); the key's value is unknown, which is not the same as absent, and nothing
  // derived from it may be written back.
  struct Read {
    std::optional<SettingValue> value;
    bool failed = false;
  };

  virtual ~SettingsStore() = default;

  virtual Read read(const std::string& key) = 0;
  // The stored value, or nullopt when the key is absent, its value is unreadable, or the store
  // could not be read: for values whose absence costs nothing.
  std::optional<SettingValue> get(const std::string& key) { return read(key).value; }
  // True once the value is durable. False, with an error logged, when it could not be stored;
  // the previous value then stays.
  virtual bool set(const std::string& key, const SettingValue& value) = 0;
  // True once the key is durably absent, whether or not it was there before.
  virtual bool remove(const std::string& key) = 0;

  // Typed reads: nullopt when the key is absent or holds another type.
  std::optional<std::string> getString(const std::string& key) { return typed<std::string>(key); }
  std::optional<bool> getBool(const std::string& key) { return typed<bool>(key); }
  std::optional<int64_t> getInteger(const std::string& key) { return typed<int64_t>(key); }
  std::optional<SettingValue::Date> getDate(const std::string& key) {
    return typed<SettingValue::Date>(key);
  }
  std::optional<SettingValue::Array> getArray(const std::string& key) {
    return typed<SettingValue::Array>(key);
  }
  std::optional<SettingValue::Dictionary> getDictionary(const std::string& key) {
    return typed<SettingValue::Dictionary>(key);
  }

 private:
  template <class T>
  std::optional<T> typed(const std::string& key) {
    std::optional<SettingValue> value = get(key);
    if (!value) return std::nullopt;
    return std::move(*value).template take<T>();
  }
};

}  // namespace zorva
