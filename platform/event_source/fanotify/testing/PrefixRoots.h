#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_source/FolderFilter.h"

namespace zorva::testing {

// Roots as plain path prefixes, changed by a test while the reader thread asks.
class PrefixRoots final : public WatchedFolders {
 public:
  void add(const std::string& root) {
    std::lock_guard lock(_mutex);
    _roots.push_back(root + "/");
  }
  void setWritesMatter(bool matter) { _writes = matter; }

  bool holdsWatchedFiles(std::string_view folder) override { return any(folder, false); }
  bool mayHoldWatchedFiles(std::string_view folder) override { return any(folder, true); }
  bool writesMayMatter() override { return _writes; }

 private:
  // Whether `folder` is under a root or, when `above` counts, above one.
  bool any(std::string_view folder, bool above) {
    std::lock_guard lock(_mutex);
    const std::string path = std::string(folder) + "/";
    return std::ranges::any_of(_roots, [&](const std::string& root) {
      return path.starts_with(root) || (above && root.starts_with(path));
    });
  }

  std::mutex _mutex;
  std::vector<std::string> _roots;
  std::atomic<bool> _writes = true;
};

}  // namespace zorva::testing
