#include "tracking/WatchRegistry.h"

#include <algorithm>

#include "platform/text/LowerCase.h"
#include "service/Log.h"

namespace zorva {

WatchRegistry::WatchRegistry(SettingsStore& settings) : settings_(settings) {
  std::optional<SettingValue> saved = settings_.get(kSettingsKey);
  if (!saved) return;
  const SettingValue::Dictionary* list = saved->asDictionary();
  if (!list) {
    ZorvaError("PathTracker.init: %@ is not a dictionary; no saved roots loaded", kSettingsKey);
    return;
  }
  for (const auto& [root, entry] : *list) {
    const SettingValue::Dictionary* fields = entry.asDictionary();
    const SettingValue* path = nullptr;
    if (fields) {
      auto found = fields->find("path");
      if (found != fields->end() && found->second.isString()) path = &found->second;
    }
    // Every root ends in "/", which look-ups rely on; anything else was not written by us.
    if (!path || !root.ends_with('/')) {
      ZorvaError("PathTracker.init: skipping unreadable saved root %@", root);
      continue;
    }
    int64_t volumeId = 0;
    if (auto found = fields->find("volumeId"); found != fields->end()) {
      volumeId = found->second.asInteger().value_or(0);
    }
    auto info = std::make_shared<const WatchInfo>(WatchInfo{false, *path->asString(), volumeId});
    ZorvaLog("PathTracker.init: load: %ld: %@", info->volumeId, info->path);
    roots_.insert_or_assign(root, std::move(info));
    if (std::find(rootLengths_.begin(), rootLengths_.end(), root.size()) == rootLengths_.end()) {
      rootLengths_.push_back(root.size());
    }
  }
  std::sort(rootLengths_.begin(), rootLengths_.end(), std::greater<>());
}

std::string WatchRegistry::watchRoot(std::string_view path) {
  std::string root = lowerCase(path);
  if (!root.ends_with('/')) root.push_back('/');
  return root;
}

void WatchRegistry::add(WatchInfoRef info) {
  size_t length = info->path.size();
  roots_.insert_or_assign(info->path, std::move(info));
  auto place = std::lower_bound(rootLengths_.begin(), rootLengths_.end(), length, std::greater<>());
  if (place == rootLengths_.end() || *place != length) rootLengths_.insert(place, length);
  save();
}

WatchInfoRef WatchRegistry::isWatching(std::string_view lowerPath) const {
  for (size_t length : rootLengths_) {
    if (length > lowerPath.size() || lowerPath[length - 1] != '/') continue;
    auto found = roots_.find(lowerPath.substr(0, length));
    if (found != roots_.end()) return found->second;
  }
  return nullptr;
}

void WatchRegistry::save() {
  SettingValue::Dictionary list;
  for (const auto& [root, info] : roots_) {
    list.emplace(root,
                 SettingValue::Dictionary{{"path", info->path}, {"volumeId", info->volumeId}});
  }
  // A failed write is logged by the store; the registry in memory stays as it is.
  settings_.set(kSettingsKey, std::move(list));
}

std::string pathBelowRoot(std::string_view source, std::string_view root) {
  auto separators = std::count(root.begin(), root.end(), '/');
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '/' && --separators == 0) return std::string(source.substr(i));
  }
  return std::string(source);
}

}  // namespace zorva
