#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings/SettingsStore.h"
#include "tracking/PathKey.h"
#include "tracking/WatchInfo.h"

namespace zorva {

// The watched roots, as an immutable index: a tree of path components, so a look-up costs one
// hash per component it walks, however many roots there are.
class RootIndex {
 public:
  explicit RootIndex(const PathMap<WatchRef>& roots);

  // The record of the longest root that is a literal prefix of `lowerPath`, or null.
  const WatchRef* find(std::string_view lowerPath) const;
  // Whether `lowerPath` (ending in "/") lies under a root or has one below it.
  bool reaches(std::string_view lowerPath) const;
  // Whether any root asked to hear of the changes under it.
  bool notifies() const { return _notifies; }

 private:
  struct Node {
    PathMap<std::unique_ptr<Node>> children;
    WatchRef info;
  };

  Node _top;
  bool _notifies = false;
};

// The watched roots, saved under "ZORVA_WATCH_PATHS" so they survive restarts.
//
// Registration and look-up happen on different threads: the event source's thread filters
// events by root before they are queued, and the watch queue looks paths up again. Each reader
// keeps a Reader, which costs one atomic load per look-up while the roots stay as they are.
//
// A saved list that cannot be read (another process holds the settings) is not an empty one:
// until load() succeeds, registrations are kept in memory only, and then merged with what was
// saved, so that saving never writes a list that lacks the roots saved before.
class WatchRegistry {
 public:
  static constexpr const char* kSettingsKey = "ZORVA_WATCH_PATHS";

  // Loads the saved roots, logging each; entries that cannot be read are skipped with an error.
  explicit WatchRegistry(SettingsStore& settings);

  // The root a registered path stands for: lower-cased, with one "/" appended unless it ends in
  // one. Nothing else is normalised.
  static std::string watchRoot(std::string_view path);
  // Why a registered path cannot be a root, or nothing when it can: an empty path or "/" would
  // put every destination under a root and no transfer would be seen again, and a relative path
  // matches no path an event gives.
  static std::optional<std::string> refusal(std::string_view path);

  // Stores the root, replacing any record under it; readers see it once this returns. Callable
  // from any thread.
  WatchRef add(bool notifyEnabled, std::string root, int64_t volumeId);

  // Reads the saved list when it has not been read yet; roots registered meanwhile win over the
  // saved ones. False while the settings cannot be read. Callable from any thread.
  bool load();
  bool loaded() const;

  // Writes the whole list to the settings store, once the saved list has been read.
  void save();

  // Every root's record, by volume identifier, then root. Callable from any thread.
  std::vector<WatchInfo> list() const;

  // A look-up handle for one thread (or one serial queue) at a time.
  class Reader {
   public:
    explicit Reader(const WatchRegistry& registry) : _registry(registry) {}
    // The record, kept alive as long as the result is held; null under no root.
    WatchRef isWatching(std::string_view lowerPath);
    bool reaches(std::string_view lowerPath) { return index().reaches(lowerPath); }
    bool notifies() { return index().notifies(); }

   private:
    const RootIndex& index();

    const WatchRegistry& _registry;
    uint64_t _generation = UINT64_MAX;
    std::shared_ptr<const RootIndex> _index;
  };

 private:
  void publish();  // with _mutex held

  SettingsStore& _settings;
  mutable std::mutex _mutex;
  PathMap<WatchRef> _roots;  // current record per root
  bool _loaded = false;      // the saved list has been read
  std::atomic<bool> _unreadableSaid{false};
  std::shared_ptr<const RootIndex> _index;  // built from _roots
  std::atomic<uint64_t> _generation{0};     // bumped with each new index
};

// The source path below its root, from the "/" that ends the root on. Found by counting
// separators rather than characters: lower-casing can change a path's length ("İ" has a longer
// lower case) but never adds, removes or moves a "/".
std::string pathBelowRoot(std::string_view source, std::string_view root);

}  // namespace zorva
