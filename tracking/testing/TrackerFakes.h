#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tracking/TrackerSinks.h"

namespace zorva {

// Records what the tracker hands on, from whichever queue it comes, as one line each in the
// order handed: "/a => /tmp/a (7)" for an audit event, "changed /media/usb/a (7)" for a change.
struct RecordingSinks final : AuditEventSink, ChangeNotifier {
  void track(const std::string& source, const std::string& dest, int64_t volumeId) override {
    record(source + " => " + dest + " (" + std::to_string(volumeId) + ")");
  }
  void pathModified(const std::string& path, int64_t volumeId) override {
    record("changed " + path + " (" + std::to_string(volumeId) + ")");
  }
  void record(std::string line) { (std::lock_guard(mutex), handed.push_back(std::move(line))); }
  std::vector<std::string> lines() const { return (std::lock_guard(mutex), handed); }

  mutable std::mutex mutex;
  std::vector<std::string> handed;
};

}  // namespace zorva
