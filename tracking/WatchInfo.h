#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zorva {

// One watched root. Records are immutable: registering a root again makes a new record, while
// open-file records made before keep the one they were made with, which lives as long as one of
// them refers to it. Being immutable, they are safe to read from any queue.
struct WatchInfo {
  bool notifyEnabled = false;
  std::string path;  // the root: lower-cased, ending in "/"
  int64_t volumeId = 0;
};

using WatchRef = std::shared_ptr<const WatchInfo>;

}  // namespace zorva
