#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/event_source/FolderFilter.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/FanotifyDecoder.h"

namespace zorva {

// Renames, deletions and creations on drives the kernel cannot watch whole for them: FUSE
// filesystems (no filesystem id), btrfs subvolumes mounted on their own (an id of their own) and
// overlayfs (no file handles). There each folder at or below a root gets a mark of its own, which
// the kernel allows on such filesystems since Linux 6.8, and new folders get theirs as they
// appear. Each drive has a group of its own: FUSE drives all report the id 0, and their handles
// (node numbers) repeat from one drive to the next, so only the group tells which drive an event
// is on.
//
// The cost is one mark per folder under the roots on such drives, and a walk of those folders
// when a root is registered; folders elsewhere on the drive cost nothing.
//
// Used on the event source's reader thread only.
class DriveFolders {
 public:
  // One such drive: its group, and the marked folders' paths by handle, which events carry and
  // which the kernel may not be able to open (overlayfs).
  struct Drive {
    int group = -1;
    std::string mountPoint;
    dev_t device = 0;
    bool handlesOpen = true;  // whether handles of the drive can be opened (not on overlayfs)
    std::map<std::vector<unsigned char>, std::string> folders;

    const std::string* folder(const std::vector<unsigned char>& handle) const;
  };

  DriveFolders(FanotifyApi& api, uint64_t mask, unsigned groupFlags);
  ~DriveFolders();
  DriveFolders(const DriveFolders&) = delete;
  DriveFolders& operator=(const DriveFolders&) = delete;

  // Each call is handed who says which folders matter: null marks nothing.

  // A drive mounted at `mountPoint` whose filesystem cannot be marked whole; false, with errno
  // set, when no group could be made for it.
  bool add(dev_t device, const std::string& mountPoint, bool handlesOpen, WatchedFolders* watched);
  // Drives no longer mounted; their groups are closed.
  void keepOnly(const std::set<dev_t>& mounted);

  // Marks the folders at or below every root on each drive: after a root was registered.
  void markRoots(WatchedFolders* watched);
  // Follows the folders the batch read from `drive`'s group created, moved or removed.
  void follow(Drive& drive, const FanotifyBatch& batch, WatchedFolders* watched);

  std::vector<Drive*> drives();

 private:
  void markBelow(Drive& drive, const std::string& folder, WatchedFolders* watched);
  void forgetBelow(Drive& drive, const std::string& folder);
  void movedBelow(Drive& drive, const std::string& from, const std::string& to);

  FanotifyApi& _api;
  const uint64_t _mask;
  const unsigned _groupFlags;
  std::map<dev_t, std::unique_ptr<Drive>> _drives;
};

}  // namespace zorva
