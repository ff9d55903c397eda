#pragma once

#include <sys/fanotify.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/event_source/FolderFilter.h"
#include "platform/event_source/fanotify/FanotifyApi.h"

namespace zorva {

// The ignore marks of both groups. A folder that holds no watched file gets evictable ignore marks
// for the opens and unmodified closes of its files, and for the names created and removed in it,
// so the kernel stops queueing them; everything else keeps coming (modified closes, opens for
// execution, renames). The kernel may evict such a mark under memory pressure: the events then
// come again and the folder is marked again.
//
// A mark is only ever added under the lock, after asking whether the folder matters, and every
// mark is flushed under the same lock once roots were added: no mark can outlive the root that
// makes its folder matter. A folder on a filesystem reachable through more than one mount is
// never marked, since a mark holds for the folder under every one of its paths.
class IgnoredFolders {
 public:
  // Evictable, so that marks on tens of thousands of folders pin none of them in memory;
  // surviving modification, as the kernel requires of a folder's ignore mark.
  static constexpr unsigned kMarkFlags = FAN_MARK_ADD | FAN_MARK_IGNORE_SURV | FAN_MARK_EVICTABLE |
                                         FAN_MARK_ONLYDIR | FAN_MARK_DONT_FOLLOW;
  static constexpr uint64_t kIgnoredEvents = FAN_OPEN | FAN_CLOSE_NOWRITE | FAN_EVENT_ON_CHILD;
  // Names of files and folders; a folder's own renames still come.
  static constexpr uint64_t kIgnoredEntries = FAN_CREATE | FAN_DELETE | FAN_ONDIR;
  static constexpr unsigned kMuteFlags = FAN_MARK_ADD | FAN_MARK_IGNORE_SURV | FAN_MARK_ONLYDIR;
  static constexpr uint64_t kMutedEvents =
      FAN_OPEN | FAN_OPEN_EXEC | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE | FAN_EVENT_ON_CHILD;

  // `entryGroup` is -1 when there is none.
  IgnoredFolders(FanotifyApi& api, int fileGroup, int entryGroup)
      : _api(api), _fileGroup(fileGroup), _entryGroup(entryGroup) {}

  // Tries the flags on `folder` (and takes the mark off again); false, with one line saying why,
  // when the kernel refuses them: then nothing is ever marked. Call before events are read.
  bool probe(const std::string& folder);
  // Any thread.
  void setWatchedFolders(WatchedFolders* folders);
  // Runs `work` with who says which folders matter (null when none), under the lock that
  // setWatchedFolders and flush take.
  void withWatchedFolders(const std::function<void(WatchedFolders*)>& work);
  // The files directly in `folder` are never handed over, whatever happens to them, for as long
  // as the group lives. For the service's own databases: closing any descriptor of a file drops
  // every POSIX lock the process holds on it, SQLite's among them, and every event of the
  // descriptor group comes with a descriptor. False when the kernel refuses.
  bool mute(const std::string& folder);

  // The reader's side. A file directly in `folder`, on `device`, was opened or closed unmodified.
  void quietEvent(const std::string& folder, dev_t device);
  // A name was created or removed in `folder`, on the filesystem of id `fsid`.
  void quietEntry(const std::string& folder, uint64_t fsid);
  // Whether files directly in `folder` are known to lie under no root.
  bool holdsNoWatchedFile(const std::string& folder);
  // Whether modified closes may be dropped unread: nothing could come of any now.
  bool writesCannotMatter();
  // A folder was moved to `to`: if anything under it may be watched, every mark goes.
  void folderMoved(const std::string& to);
  // Filesystems reachable through more than one mount, by device and by filesystem id.
  void setAliased(std::set<dev_t> devices, std::set<uint64_t> fsids);
  // Asked before each mark: true when the mount table changed since setAliased() last heard of
  // it. Nothing is marked then, since a new bind mount may have made the folder reachable from
  // a root.
  void setMountsChanged(std::function<bool()> changed) { _mountsChanged = std::move(changed); }
  void endBatch();

  // Any thread: every mark goes.
  void flush();

 private:
  void mark(const std::string& folder);
  void flushLocked();

  FanotifyApi& _api;
  const int _fileGroup;
  const int _entryGroup;
  mutable std::mutex _mutex;
  WatchedFolders* _folders = nullptr;
  bool _enabled = true;
  uint64_t _marked = 0;  // since the last flush
  std::vector<std::string> _muted;
  // Reader's thread only.
  std::set<dev_t> _aliased;
  std::set<uint64_t> _aliasedIds;
  std::function<bool()> _mountsChanged;
  std::unordered_set<std::string> _triedThisBatch;
};

}  // namespace zorva
