#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/settings/SettingsStore.h"
#include "telemetry/SystemIdentity.h"

namespace zorva {

enum class TelemetryTag {
  User,
  Facebook,
  Twitter,
  Google,
  GameCenter,
  Group,
  ServerVer,
  ConfigVer
};
inline constexpr size_t kTagCount = 8;
// The first kSavedTagCount tags are kept across restarts.
inline constexpr size_t kSavedTagCount = 5;

// Who sends: this installation's device tag and the tags that ride along with every event
// upload. Set on callers' threads, read on the upload queues, so every member is guarded.
class TelemetryTags {
 public:
  static constexpr const char* kDeviceTagKey = "pravix_deviceTag";
  static constexpr const char* kZeroUuid = "00000000-0000-0000-0000-000000000000";
  static constexpr int32_t kSavedTagLimit = 62;
  static constexpr int32_t kGroupTagLimit = 32;
  static constexpr int32_t kVersionTagLimit = 16;

  explicit TelemetryTags(SettingsStore& settings) : settings_(settings) {}

  // Where a saved tag is kept ("pravix_userTag_<name>"), for tags below kSavedTagCount.
  static std::string savedKey(TelemetryTag tag);

  // Takes the stored device tag in, or makes (and stores) a new one when the stored one names no
  // one, and the saved tags as stored (a value that is not text counts as none).
  void load(const std::optional<SettingValue>& deviceTag,
            const std::array<std::optional<SettingValue>, kSavedTagCount>& saved);

  // Empty until loaded.
  std::string deviceTag() const;

  std::optional<std::string> get(TelemetryTag tag) const;
  // Cut to the tag's limit by the trim rule and, for a saved tag, stored (none removes it). Text
  // that is not UTF-8 is refused with a console line, leaving the tag as it was.
  void set(TelemetryTag tag, std::optional<std::string> value);

  // The members every request carries: the API key and who sends it.
  nlohmann::json requestBase(const std::string& apiKey, const TelemetryIdentity& identity) const;
  // The tags that are set, under their request members.
  void addTags(nlohmann::json& request) const;

 private:
  SettingsStore& settings_;
  mutable std::mutex lock_;
  std::string deviceTag_;                                   // under lock_
  std::array<std::optional<std::string>, kTagCount> tags_;  // under lock_
};

}  // namespace zorva
