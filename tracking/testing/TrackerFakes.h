#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tracking/TrackerSinks.h"

namespace zorva {

// Records what the tracker hands on, from whichever queue it comes, as one line each in the
// order handed: "/a => /tmp/a (7)" for an audit event, "changed /media/usb/a (7)" for a change.
class RecordingSinks final : public AuditEventSink, public ChangeNotifier {
 public:
  void track(const std::string& source, const std::string& dest, int64_t volumeId) override {
    record(source + " => " + dest, volumeId);
  }
  void pathModified(const std::string& path, int64_t volumeId) override {
    record("changed " + path, volumeId);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(_mutex);
    return _lines;
  }

 private:
  void record(const std::string& what, int64_t volumeId) {
    std::lock_guard lock(_mutex);
    _lines.push_back(what + " (" + std::to_string(volumeId) + ")");
  }

  mutable std::mutex _mutex;
  std::vector<std::string> _lines;
};

}  // namespace zorva
