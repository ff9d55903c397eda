#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorva {

struct Mount {
  std::string mountPoint;
  std::string fsType;
};

// The mounts listed in the text of /proc/self/mountinfo, with escaped characters (\040 and the
// like) restored. Lines that do not parse are skipped.
std::vector<Mount> parseMountInfo(std::string_view text);

// Whether files people work with can live on a filesystem of this type; kernel and pseudo
// filesystems are not watched.
bool canHoldUserFiles(std::string_view fsType);

}  // namespace zorva
