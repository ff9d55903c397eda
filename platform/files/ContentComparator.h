#pragma once

#include <string>

namespace zorva {

// Confirms a likely copy: the tracker asks whether a new file holds exactly the bytes of a
// watched one before it reports a transfer.
class ContentComparator {
 public:
  virtual ~ContentComparator() = default;
  // True only when both paths name readable regular files with byte-identical contents. Anything
  // that cannot be opened or read in full (missing, no permission, not a regular file, an I/O
  // error, a size that changes while it is read) is unequal, so a doubt never becomes a report.
  // Never throws.
  virtual bool contentsEqual(const std::string& a, const std::string& b) = 0;
};

}  // namespace zorva
