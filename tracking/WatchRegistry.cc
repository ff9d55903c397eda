#include "tracking/WatchRegistry.h"

#include <algorithm>
#include <tuple>

#include "platform/log/Log.h"
#include "platform/text/LowerCase.h"

namespace zorva {

RootIndex::RootIndex(const PathMap<WatchRef>& roots) {
  for (const auto& [root, info] : roots) {
    // "/media/usb/" is the components "", "media" and "usb", each followed by a "/".
    Node* node = &_top;
    std::string_view rest = root;
    for (size_t slash; (slash = rest.find('/')) != std::string_view::npos;) {
      std::unique_ptr<Node>& child = node->children[std::string(rest.substr(0, slash))];
      if (!child) child = std::make_unique<Node>();
      node = child.get();
      rest.remove_prefix(slash + 1);
    }
    node->info = info;
    _notifies = _notifies || info->notifyEnabled;
  }
}

const WatchRef* RootIndex::find(std::string_view lowerPath) const {
  const Node* node = &_top;
  const WatchRef* longest = nullptr;
  for (size_t slash; (slash = lowerPath.find('/')) != std::string_view::npos;) {
    auto child = node->children.find(lowerPath.substr(0, slash));
    if (child == node->children.end()) break;
    node = child->second.get();
    if (node->info) longest = &node->info;
    lowerPath.remove_prefix(slash + 1);
  }
  return longest;
}

bool RootIndex::reaches(std::string_view lowerPath) const {
  const Node* node = &_top;
  for (size_t slash; (slash = lowerPath.find('/')) != std::string_view::npos;) {
    auto child = node->children.find(lowerPath.substr(0, slash));
    if (child == node->children.end()) return false;
    node = child->second.get();
    if (node->info) return true;
    lowerPath.remove_prefix(slash + 1);
  }
  // Every node lies on the way to a root.
  return node != &_top;
}

WatchRegistry::WatchRegistry(SettingsStore& settings) : _settings(settings) {
  {
    std::lock_guard lock(_mutex);
    publish();
  }
  load();
}

std::optional<std::string> WatchRegistry::refusal(std::string_view path) {
  if (path.empty()) return "an empty path would watch every file";
  if (path.front() != '/') return "not an absolute path";
  if (path.find_first_not_of('/') == std::string_view::npos) return "\"/\" would watch every file";
  return std::nullopt;
}

bool WatchRegistry::load() {
  if (loaded()) return true;
  // Read outside the lock: the store may wait for another process's lock a while, and look-ups
  // on the event thread must not wait with it.
  SettingsStore::Read saved = _settings.read(kSettingsKey);
  if (saved.failed) {
    if (!_unreadableSaid.exchange(true)) {
      ZorvaError(FaultKind::Store,
                 "PathTracker.init: the saved roots cannot be read now; roots registered "
                 "meanwhile are kept, and saved with them once they are read");
    }
    return false;
  }
  const SettingValue::Dictionary* list = saved.value ? saved.value->asDictionary() : nullptr;
  if (saved.value && !list) {
    ZorvaError(FaultKind::Store, "PathTracker.init: %@ is not a dictionary; no saved roots loaded",
               kSettingsKey);
  }
  bool registeredMeanwhile;
  {
    std::lock_guard lock(_mutex);
    if (_loaded) return true;
    _loaded = true;
    registeredMeanwhile = !_roots.empty();
    for (const auto& [root, entry] : list ? *list : SettingValue::Dictionary{}) {
      const SettingValue::Dictionary* fields = entry.asDictionary();
      const std::string* path = nullptr;
      if (fields) {
        auto found = fields->find("path");
        if (found != fields->end()) path = found->second.asString();
      }
      // Every root ends in "/", which look-ups rely on; anything else was not written by us.
      if (!path || !root.ends_with('/')) {
        ZorvaError(FaultKind::Store, "PathTracker.init: skipping unreadable saved root %@", root);
        continue;
      }
      // Saved by a build that took any path: such a root would keep the service blind for good.
      if (auto why = refusal(root)) {
        ZorvaError(FaultKind::Store, "PathTracker.init: skipping saved root %@: %@", root, *why);
        continue;
      }
      // A registration made while the list could not be read is newer than the saved one.
      if (_roots.contains(root)) continue;
      int64_t volumeId = 0;
      if (auto found = fields->find("volumeId"); found != fields->end()) {
        volumeId = found->second.asInteger().value_or(0);
      }
      auto info = std::make_shared<const WatchInfo>(WatchInfo{false, *path, volumeId});
      ZorvaLog("PathTracker.init: load: %ld: %@", info->volumeId, info->path);
      // Kept under the saved key, which is what look-ups compare with.
      _roots.insert_or_assign(root, std::move(info));
    }
    publish();
  }
  if (registeredMeanwhile) save();
  return true;
}

bool WatchRegistry::loaded() const {
  std::lock_guard lock(_mutex);
  return _loaded;
}

std::string WatchRegistry::watchRoot(std::string_view path) {
  std::string root = lowerCase(path);
  if (!root.ends_with('/')) root.push_back('/');
  return root;
}

WatchRef WatchRegistry::add(bool notifyEnabled, std::string root, int64_t volumeId) {
  std::lock_guard lock(_mutex);
  auto info = std::make_shared<const WatchInfo>(WatchInfo{notifyEnabled, root, volumeId});
  _roots.insert_or_assign(std::move(root), info);
  publish();
  return info;
}

std::vector<WatchInfo> WatchRegistry::list() const {
  std::vector<WatchInfo> roots;
  {
    std::lock_guard lock(_mutex);
    for (const auto& [root, info] : _roots) roots.push_back(*info);
  }
  std::sort(roots.begin(), roots.end(), [](const WatchInfo& a, const WatchInfo& b) {
    return std::tie(a.volumeId, a.path) < std::tie(b.volumeId, b.path);
  });
  return roots;
}

void WatchRegistry::publish() {
  _index = std::make_shared<const RootIndex>(_roots);
  _generation.fetch_add(1, std::memory_order_release);
}

void WatchRegistry::save() {
  SettingValue::Dictionary list;
  {
    std::lock_guard lock(_mutex);
    // Written before the saved list was read, it would erase the roots saved earlier.
    if (!_loaded) return;
    for (const auto& [root, info] : _roots) {
      list.emplace(root,
                   SettingValue::Dictionary{{"path", info->path}, {"volumeId", info->volumeId}});
    }
  }
  // A failed write is logged by the store; the roots in memory stay as they are.
  _settings.set(kSettingsKey, std::move(list));
}

const RootIndex& WatchRegistry::Reader::index() {
  uint64_t generation = _registry._generation.load(std::memory_order_acquire);
  if (generation != _generation) {
    std::lock_guard lock(_registry._mutex);
    _index = _registry._index;
    _generation = _registry._generation.load(std::memory_order_relaxed);
  }
  return *_index;
}

WatchRef WatchRegistry::Reader::isWatching(std::string_view lowerPath) {
  const WatchRef* found = index().find(lowerPath);
  return found ? *found : nullptr;
}

std::string pathBelowRoot(std::string_view source, std::string_view root) {
  auto separators = std::count(root.begin(), root.end(), '/');
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '/' && --separators == 0) return std::string(source.substr(i));
  }
  return std::string(source);
}

}  // namespace zorva
