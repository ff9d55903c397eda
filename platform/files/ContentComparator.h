#pragma once

#include <string>

#include "platform/files/OpenFile.h"

namespace zorva {

// Confirms a likely copy: the tracker asks whether a new file holds exactly the bytes of a
// watched one before it reports a transfer.
class ContentComparator {
 public:
  virtual ~ContentComparator() = default;
  // True only when both name readable regular files with byte-identical contents. A file with a
  // held descriptor is read through it, so a file moved or removed since is still the one the
  // process had open; otherwise it is opened by its path. Anything that cannot be opened or read
  // in full (missing, no permission, not a regular file, an I/O error, a size that changes while
  // it is read) is unequal, so a doubt never becomes a report. Never throws.
  virtual bool contentsEqual(const ComparedFile& a, const ComparedFile& b) = 0;
};

}  // namespace zorva
