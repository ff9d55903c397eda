#pragma once

#include "tracking/PathTrackerInterface.h"

namespace zorva {

// Stands in for the path tracker until it exists: logs each call it receives, so a replayed
// trace shows what the dispatcher made of every event.
class LoggingPathTracker final : public PathTrackerInterface {
 public:
  void open(std::string_view path, const struct stat& status, int32_t pid,
            const OptionalString& exec, uint32_t flags) override;
  void close(std::string_view path, const struct stat& status, int32_t pid,
             const OptionalString& exec, bool isModified) override;
  void source(std::string_view source, const OptionalString& dest, bool eitherDirection,
              bool bothModified, const OptionalString& exec, std::string_view type) override;
  void modify(const OptionalString& path, const OptionalString& exec,
              std::string_view type) override;
};

}  // namespace zorva
