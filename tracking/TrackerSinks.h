#pragma once

#include <cstdint>
#include <string>

namespace zorva {

// Where recognised transfers go: the audit-event queue. Called from the watch and test queues, so
// an implementation must accept calls from any thread and return at once.
class AuditEventSink {
 public:
  virtual ~AuditEventSink() = default;
  // `source` is the path below its watch root, beginning with "/"; `dest` the full destination.
  virtual void track(const std::string& source, const std::string& dest, int64_t volumeId) = 0;
};

// Where changes under notify-enabled roots go: the control interface's server. Called from the
// watch queue; must return at once.
class ChangeNotifier {
 public:
  virtual ~ChangeNotifier() = default;
  virtual void pathModified(const std::string& path, int64_t volumeId) = 0;
};

}  // namespace zorva
