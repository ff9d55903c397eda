#include "telemetry/TelemetryTags.h"

#include "platform/text/Format.h"
#include "platform/text/Utf8.h"
#include "platform/text/Uuid.h"
#include "telemetry/TelemetryRecords.h"

namespace zorva {
namespace {

constexpr const char* kSavedTagPrefix = "pravix_userTag";
constexpr const char* kDeviceFamily = "linux";
constexpr const char* kOs = "Linux";
constexpr const char* kMarketplace = "iTunes";

struct TagInfo {
  const char* name;        // for the saved key and console lines
  const char* requestKey;  // member of the track request
  int32_t limit;
};

// In TelemetryTag order; the saved ones first.
constexpr TagInfo kTags[kTagCount] = {
    {"userTag", "user_tag", TelemetryTags::kSavedTagLimit},
    {"facebookTag", "facebook_tag", TelemetryTags::kSavedTagLimit},
    {"twitterTag", "twitter_tag", TelemetryTags::kSavedTagLimit},
    {"googleTag", "google_tag", TelemetryTags::kSavedTagLimit},
    {"gameCenterTag", "game_center_tag", TelemetryTags::kSavedTagLimit},
    {"groupTag", "group_tag", TelemetryTags::kGroupTagLimit},
    {"serverVer", "server_ver", TelemetryTags::kVersionTagLimit},
    {"configVer", "config_ver", TelemetryTags::kVersionTagLimit},
};

size_t indexOf(TelemetryTag tag) { return static_cast<size_t>(tag); }
bool isSaved(TelemetryTag tag) { return indexOf(tag) < kSavedTagCount; }

}  // namespace

std::string TelemetryTags::savedKey(TelemetryTag tag) {
  return formatMessage("%@_%@", kSavedTagPrefix, kTags[indexOf(tag)].name);
}

void TelemetryTags::load(const std::optional<SettingValue>& deviceTag,
                         const std::array<std::optional<SettingValue>, kSavedTagCount>& saved) {
  {
    std::lock_guard lock(lock_);
    for (size_t i = 0; i < kSavedTagCount; ++i) {
      const std::string* text = saved[i] ? saved[i]->asString() : nullptr;
      tags_[i] = text ? std::optional<std::string>(*text) : std::nullopt;
    }
  }
  const std::string* text = deviceTag ? deviceTag->asString() : nullptr;
  // Text that JSON cannot carry would make every request fail; an empty tag names no one.
  std::string kept;
  if (text && *text != kZeroUuid && !text->empty() && isValidUtf8(*text)) {
    kept = *text;
  } else {
    kept = randomUuid();
    settings_.set(kDeviceTagKey, kept);
  }
  std::lock_guard lock(lock_);
  deviceTag_ = std::move(kept);
}

std::string TelemetryTags::deviceTag() const {
  std::lock_guard lock(lock_);
  return deviceTag_;
}

std::optional<std::string> TelemetryTags::get(TelemetryTag tag) const {
  std::lock_guard lock(lock_);
  return tags_[indexOf(tag)];
}

void TelemetryTags::set(TelemetryTag tag, std::optional<std::string> value) {
  const TagInfo& info = kTags[indexOf(tag)];
  if (value && !isValidUtf8(*value)) {
    telemetryConsoleFormat("%@ is not UTF-8 text; left unchanged", info.name);
    return;
  }
  std::optional<std::string> kept = trimString(value, info.limit);
  if (isSaved(tag)) {
    if (kept) {
      settings_.set(savedKey(tag), *kept);
    } else {
      settings_.remove(savedKey(tag));
    }
  }
  std::lock_guard lock(lock_);
  tags_[indexOf(tag)] = std::move(kept);
}

nlohmann::json TelemetryTags::requestBase(const std::string& apiKey,
                                          const TelemetryIdentity& identity) const {
  return {
      {"api_key", apiKey},
      {"app_ver", identity.appVersion},
      {"device_family", kDeviceFamily},
      {"os_ver", identity.osVersion},
      {"device_tag", deviceTag()},
      {"device_type", identity.deviceType},
      {"language", identity.language},
      {"country", identity.country},
      {"os", kOs},
      {"marketplace", kMarketplace},
  };
}

void TelemetryTags::addTags(nlohmann::json& request) const {
  std::lock_guard lock(lock_);
  for (size_t i = 0; i < kTagCount; ++i) {
    if (tags_[i]) request[kTags[i].requestKey] = *tags_[i];
  }
}

}  // namespace zorva
