#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorva {

// The four operations the event dispatcher calls, one per event. Each returns at once: it takes
// what it needs from its arguments and queues the rest on the tracker's own queue, since the
// arguments (byte strings included) are valid only during the call.
//
// `path` and `source` are the event's raw bytes; other paths are decoded UTF-8 and empty
// (std::nullopt) when the bytes are not UTF-8. `exec` is the acting executable, for log text;
// `pid` and `ppid` are the acting process's id and its parent's.
// Strings the tracker keeps are taken by value, so the dispatcher can hand them over without a
// copy.
class PathTrackerInterface {
 public:
  using OptionalString = std::optional<std::string>;

  virtual ~PathTrackerInterface() = default;

  virtual void open(std::string_view path, const struct stat& status, int32_t pid, int32_t ppid,
                    OptionalString exec, uint32_t flags) = 0;
  virtual void close(std::string_view path, const struct stat& status, int32_t pid, int32_t ppid,
                     OptionalString exec, bool isModified) = 0;
  virtual void source(std::string_view source, OptionalString dest, bool eitherDirection,
                      bool bothModified, OptionalString exec, std::string_view type) = 0;
  virtual void modify(OptionalString path, OptionalString exec, std::string_view type) = 0;
};

}  // namespace zorva
