#pragma once

#include <string>
#include <string_view>

namespace zorva {

// A path's letter case, kept beside its lower-cased form as compactly as it allows: nothing when
// the two are the same, one bit per byte when they differ only in ASCII capitals (which fits a
// short string's inline buffer for paths up to 112 bytes), and the whole path otherwise. The
// open-file table holds one per record, on machines with hundreds of thousands of open files.
class CasedPath {
 public:
  CasedPath() = default;
  CasedPath(std::string_view path, std::string_view lower);

  // The path with its letter case, given the lower-cased form it was made with.
  std::string restore(std::string_view lower) const;

 private:
  // Empty: the same as the lower-cased form. Else a tag byte, then the capitals' bit mask or the
  // whole path.
  std::string _data;
};

}  // namespace zorva
