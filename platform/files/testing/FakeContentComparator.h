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
    std::lock_guard lock(mutex_);
    equal_.insert(ordered(a, b));
  }

  bool contentsEqual(const ComparedFile& a, const ComparedFile& b) override {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(a.path, b.path);
    held_.emplace_back(a.opened != nullptr, b.opened != nullptr);
    return equal_.contains(ordered(a.path, b.path));
  }

  // For each call, whether each file came with a held descriptor.
  std::vector<std::pair<bool, bool>> held() const {
    std::lock_guard lock(mutex_);
    return held_;
  }

  // The arguments of every call so far, in the order given.
  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  static Call ordered(const std::string& a, const std::string& b) {
    return a < b ? Call{a, b} : Call{b, a};
  }

  mutable std::mutex mutex_;
  std::set<Call> equal_;
  std::vector<Call> calls_;
  std::vector<std::pair<bool, bool>> held_;
};

}  // namespace zorva
