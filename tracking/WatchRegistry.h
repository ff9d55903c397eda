#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/settings/SettingsStore.h"
#include "tracking/PathKey.h"
#include "tracking/WatchInfo.h"

namespace zorva {

// The watched roots, saved under "ZORVA_WATCH_PATHS" so they survive restarts. Confined to the
// tracker's watch queue after construction.
class WatchRegistry {
 public:
  static constexpr const char* kSettingsKey = "ZORVA_WATCH_PATHS";

  // Loads the saved roots, logging each; entries that cannot be read are skipped with an error.
  explicit WatchRegistry(SettingsStore& settings);

  // The root a registered path stands for: lower-cased, with one "/" appended unless it ends in
  // one. Nothing else is normalised.
  static std::string watchRoot(std::string_view path);

  // Stores the root, replacing any record under it, and saves the whole list.
  void add(WatchInfoRef info);

  // The record of the longest root that is a literal prefix of `lowerPath`, or null. Costs one
  // hash look-up per distinct root length that ends at a "/" of the path, however many roots
  // there are.
  WatchInfoRef isWatching(std::string_view lowerPath) const;

  size_t size() const { return roots_.size(); }

 private:
  void save();

  SettingsStore& settings_;
  PathMap<WatchInfoRef> roots_;
  std::vector<size_t> rootLengths_;  // distinct key lengths, longest first
};

// The source path below its root, from the "/" that ends the root on. Found by counting
// separators rather than characters: lower-casing can change a path's length ("İ" has a longer
// lower case) but never adds, removes or moves a "/".
std::string pathBelowRoot(std::string_view source, std::string_view root);

}  // namespace zorva
