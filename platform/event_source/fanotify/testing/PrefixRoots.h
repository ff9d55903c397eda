#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_source/FolderFilter.h"

namespace zorva::testing {

// Roots as plain path prefixes, changed by a test while the reader thread asks.
class PrefixRoots final : public WatchedFolders {
 public:
  explicit PrefixRoots(std::vector<std::string> roots = {}) {
    for (const std::string& root : roots) add(root);
  }
  void add(const std::string& root) {
    std::lock_guard lock(_mutex);
    _roots.push_back(root + "/");
  }
  void setWritesMatter(bool matter) {
    std::lock_guard lock(_mutex);
    _writes = matter;
  }

  bool holdsWatchedFiles(std::string_view folder) override {
    return any(
        [&](const std::string& path, const std::string& root) { return path.starts_with(root); },
        folder);
  }
  bool mayHoldWatchedFiles(std::string_view folder) override {
    return any(
        [&](const std::string& path, const std::string& root) {
          return path.starts_with(root) || root.starts_with(path);
        },
        folder);
  }
  bool writesMayMatter() override {
    std::lock_guard lock(_mutex);
    return _writes;
  }

 private:
  template <typename Test>
  bool any(const Test& test, std::string_view folder) {
    std::lock_guard lock(_mutex);
    const std::string path = std::string(folder) + "/";
    return std::ranges::any_of(_roots, [&](const std::string& root) { return test(path, root); });
  }

  std::mutex _mutex;
  std::vector<std::string> _roots;
  bool _writes = true;
};

}  // namespace zorva::testing
