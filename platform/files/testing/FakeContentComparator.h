#pragma once

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/files/ContentComparator.h"

namespace zorva {

// Answers from a list of pairs instead of the disk, and records every question, for tests of
// the subsystems that ask. Safe to call from any thread.
class FakeContentComparator final : public ContentComparator {
 public:
  using Call = std::pair<std::string, std::string>;

  // Either order of the two paths then compares equal, as it does with real files.
  void setEqual(const std::string& a, const std::string& b) {
    std::lock_guard lock(_mutex);
    _equal.insert(ordered(a, b));
  }

  bool contentsEqual(const ComparedFile& a, const ComparedFile& b) override {
    std::lock_guard lock(_mutex);
    _calls.emplace_back(a.path, b.path);
    _held.emplace_back(a.opened != nullptr, b.opened != nullptr);
    return _equal.contains(ordered(a.path, b.path));
  }

  // For each call, whether each file came with a held descriptor.
  std::vector<std::pair<bool, bool>> held() const {
    std::lock_guard lock(_mutex);
    return _held;
  }

  // The arguments of every call so far, in the order given.
  std::vector<Call> calls() const {
    std::lock_guard lock(_mutex);
    return _calls;
  }

 private:
  static Call ordered(const std::string& a, const std::string& b) {
    return a < b ? Call{a, b} : Call{b, a};
  }

  mutable std::mutex _mutex;
  std::set<Call> _equal;
  std::vector<Call> _calls;
  std::vector<std::pair<bool, bool>> _held;
};

}  // namespace zorva
