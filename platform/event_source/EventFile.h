#pragma once

#include "platform/files/OpenFile.h"

namespace zorva {

// The file an event was reported with, as the kernel opened it for the listener. A handler that
// needs the file's bytes later (a watched file that may be moved away before it is compared)
// keeps it with retain() instead of opening the path again, which by then may name another file
// or none.
class EventFile {
 public:
  virtual ~EventFile() = default;
  // The same open file on every call; valid after the handler returns for as long as it is held.
  virtual SharedOpenFile retain() const = 0;
};

}  // namespace zorva
