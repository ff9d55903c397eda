#pragma once

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/files/ContentComparator.h"

namespace zorva {

// Answers from a list of pairs instead of the disk, and records every question. Thread-safe.
class FakeContentComparator final : public ContentComparator {
 public:
  using Call = std::pair<std::string, std::string>;

  // Either order of the two paths then compares equal, as it does with real files.
  void setEqual(const std::string& a, const std::string& b) {
    std::lock_guard lock(_mutex);
    _equal.insert(std::minmax(a, b));
  }
  bool contentsEqual(const ComparedFile& a, const ComparedFile& b) override {
    std::lock_guard lock(_mutex);
    _calls.emplace_back(a.path, b.path);
    _held.emplace_back(a.opened != nullptr, b.opened != nullptr);
    return _equal.contains(std::minmax(a.path, b.path));
  }
  // Per call, in order: the paths, and whether each came with a held descriptor. The lock lives
  // until the copy is made.
  std::vector<Call> calls() const { return (std::lock_guard(_mutex), _calls); }
  std::vector<std::pair<bool, bool>> held() const { return (std::lock_guard(_mutex), _held); }

 private:
  mutable std::mutex _mutex;
  std::set<Call> _equal;
  std::vector<Call> _calls;
  std::vector<std::pair<bool, bool>> _held;
};

}  // namespace zorva
