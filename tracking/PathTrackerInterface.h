#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_source/EventFile.h"

namespace zorva {

// The acting process and its forebears, as the event source knows them; 0 where not known. A
// process whose parent is not known has its own id as its parent, so it is grouped with nobody.
struct Lineage {
  // The generations above the actor that the event source names: as far up as a family reaches.
  static constexpr size_t kGenerationsUp = 3;

  int32_t pid = 0;
  int32_t ppid = 0;
  int32_t grandparent = 0;
  int32_t greatGrandparent = 0;

  std::array<int32_t, kGenerationsUp> ancestors() const {
    return {ppid, grandparent, greatGrandparent};
  }
  bool operator==(const Lineage&) const = default;
};

// The four operations the event dispatcher calls, one per event. Each returns at once: it takes
// what it needs from its arguments and queues the rest on the tracker's own queue, since the
// arguments (byte strings and the event's open file included) are valid only during the call.
//
// `path` and `source` are the event's raw bytes; other paths are decoded UTF-8 and empty
// (std::nullopt) when the bytes are not UTF-8. `exec` is the acting executable, for log text.
// `opened` is the file as the process had it open, where the event source has it (null
// otherwise): the tracker may keep it to compare the bytes the process saw.
// Strings the tracker keeps are taken by value, so the dispatcher can hand them over without a
// copy.
class PathTrackerInterface {
 public:
  using OptionalString = std::optional<std::string>;

  virtual ~PathTrackerInterface() = default;

  virtual void open(std::string_view path, const struct stat& status, const Lineage& actor,
                    OptionalString exec, uint32_t flags, const EventFile* opened) = 0;
  virtual void close(std::string_view path, const struct stat& status, const Lineage& actor,
                     OptionalString exec, bool isModified, const EventFile* opened) = 0;
  virtual void source(std::string_view source, OptionalString dest, bool eitherDirection,
                      bool bothModified, OptionalString exec, std::string_view type,
                      const Lineage& actor) = 0;
  virtual void modify(OptionalString path, OptionalString exec, std::string_view type) = 0;
};

}  // namespace zorva
