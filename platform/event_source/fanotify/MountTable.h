#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorva {

struct Mount {
  std::string mountPoint;
  std::string fsType;
  std::string root;  // the folder of the filesystem seen at the mount point
};

// The mounts listed in the text of /proc/self/mountinfo, with escaped characters (\040 and the
// like) restored. Lines that do not parse are skipped.
std::vector<Mount> parseMountInfo(std::string_view text);

// How the mount turns a folder's place in its filesystem into a path: two mounts of one
// filesystem give a folder they both show the same path exactly when these are equal. A folder
// bound onto its own path, as a service manager does to leave one folder writable in a read-only
// tree, maps like the filesystem's mount at its top: no second way in.
std::string pathMapping(const Mount& mount);

// Whether files people work with can live on a filesystem of this type; kernel and pseudo
// filesystems are not watched.
bool canHoldUserFiles(std::string_view fsType);

}  // namespace zorva
