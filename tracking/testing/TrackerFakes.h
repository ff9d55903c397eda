#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tracking/TrackerSinks.h"

namespace zorva {

// Records what the tracker hands on, from whichever queue it comes.
class RecordingAuditSink final : public AuditEventSink {
 public:
  struct Event {
    std::string source;
    std::string dest;
    int64_t volumeId;
    bool operator==(const Event&) const = default;
  };

  void track(const std::string& source, const std::string& dest, int64_t volumeId) override {
    std::lock_guard lock(mutex_);
    events_.push_back({source, dest, volumeId});
  }
  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

class RecordingNotifier final : public ChangeNotifier {
 public:
  struct Change {
    std::string path;
    int64_t volumeId;
    bool operator==(const Change&) const = default;
  };

  void pathModified(const std::string& path, int64_t volumeId) override {
    std::lock_guard lock(mutex_);
    changes_.push_back({path, volumeId});
  }
  std::vector<Change> changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Change> changes_;
};

}  // namespace zorva
