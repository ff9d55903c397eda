#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zorva {

// One watched root. Records are immutable and shared: registering a root again makes a new one,
// while open-file records made before keep the one they were made with. Being immutable, they are
// safe to read from the watch and test queues at once.
struct WatchInfo {
  bool notifyEnabled = false;
  std::string path;  // the root: lower-cased, ending in "/"
  int64_t volumeId = 0;
};

using WatchInfoRef = std::shared_ptr<const WatchInfo>;

}  // namespace zorva
