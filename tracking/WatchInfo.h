#pragma once

#include <cstdint>
#include <string>

namespace zorva {

// One watched root. Records are immutable and live as long as the registry that made them:
// registering a root again makes a new record, while open-file records made before keep pointing
// at the one they were made with. Being immutable, they are safe to read from any queue.
struct WatchInfo {
  bool notifyEnabled = false;
  std::string path;  // the root: lower-cased, ending in "/"
  int64_t volumeId = 0;
};

}  // namespace zorva
