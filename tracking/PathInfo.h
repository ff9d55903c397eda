#pragma once

#include <cstdint>
#include <string>

#include "platform/files/OpenFile.h"
#include "tracking/CasedPath.h"
#include "tracking/WatchInfo.h"

namespace zorva {

// One file on a watched root that the children of one parent process have open or recently had
// open. Lives in the open-file table and is touched only on the watch queue.
struct PathInfo {
  int64_t openCount = 0;  // opens minus closes, never below 0
  uint64_t size = 0;      // at the most recent open
  WatchRef watchInfo;     // the root as registered when the record was made
  int64_t lastClose = 0;  // whole seconds since the epoch; 0 until the first close
  // The path as the event gave it, letter case kept, stored against the table key (the
  // lower-cased path). The file name is not stored: it is the key's last component.
  CasedPath path;
  uint32_t opener = 0;  // the process id of the latest open, for copies within one family
  // Whether the latest close was of the file opened for writing, with no open since: the family
  // wrote the file then, so it is where a copy went to, not where one came from.
  bool written = false;
  // The file as its latest open saw it, held for a short while after each close so that a copy
  // is compared with what was read even once the file has been moved or removed.
  SharedOpenFile opened;
  uint64_t lastTouch = 0;  // which open or close of the table's touched it last
  uint64_t lastOpen = 0;   // which open of the table's was its latest
};

}  // namespace zorva
