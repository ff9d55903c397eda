#include "platform/event_source/fanotify/IgnoredFolders.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/log/Log.h"

namespace zorva {

bool IgnoredFolders::probe(const std::string& folder) {
  std::lock_guard lock(_mutex);
  if (_api.mark(_fileGroup, kMarkFlags, kIgnoredEvents, folder) != 0) {
    const int error = errno;
    _enabled = false;
    ZorvaLog("fanotify: kernel filtering is off, every open and close is read: %@%@",
             std::system_category().message(error),
             error == EINVAL ? std::string(" (evictable ignore marks need Linux 6.0 or later)")
                             : std::string());
    return false;
  }
  _api.mark(_fileGroup, FAN_MARK_FLUSH, 0, "/");
  return true;
}

bool IgnoredFolders::mute(const std::string& folder) {
  std::lock_guard lock(_mutex);
  if (_api.mark(_fileGroup, kMuteFlags, kMutedEvents, folder) != 0) return false;
  _muted.push_back(folder);
  return true;
}

void IgnoredFolders::withWatchedFolders(const std::function<void(WatchedFolders*)>& work) {
  std::lock_guard lock(_mutex);
  work(_folders);
}

void IgnoredFolders::setWatchedFolders(WatchedFolders* folders) {
  std::lock_guard lock(_mutex);
  _folders = folders;
  // Without anyone to ask, nothing is known to be unwatched.
  if (!_folders) flushLocked();
}

void IgnoredFolders::quietEvent(const std::string& folder, dev_t device) {
  if (!_aliased.contains(device)) mark(folder);
}

void IgnoredFolders::quietEntry(const std::string& folder, uint64_t fsid) {
  if (!_aliasedIds.contains(fsid)) mark(folder);
}

void IgnoredFolders::mark(const std::string& folder) {
  if (!_triedThisBatch.insert(folder).second) return;
  if (_mountsChanged && _mountsChanged()) return;
  std::lock_guard lock(_mutex);
  if (!_enabled || !_folders || _folders->holdsWatchedFiles(folder)) return;
  // A folder removed or replaced by a file since is simply not marked; a filesystem that cannot
  // report names by handle has no entry marks to take.
  const bool files = _api.mark(_fileGroup, kMarkFlags, kIgnoredEvents, folder) == 0;
  const bool entries =
      _entryGroup >= 0 && _api.mark(_entryGroup, kMarkFlags, kIgnoredEntries, folder) == 0;
  if (files || entries) ++_marked;
}

bool IgnoredFolders::holdsNoWatchedFile(const std::string& folder) {
  std::lock_guard lock(_mutex);
  return _enabled && _folders && !_folders->holdsWatchedFiles(folder);
}

bool IgnoredFolders::writesCannotMatter() {
  std::lock_guard lock(_mutex);
  return _folders && !_folders->writesMayMatter();
}

void IgnoredFolders::endBatch() {
  _triedThisBatch.clear();
  std::lock_guard lock(_mutex);
  if (_folders) _folders->batchDelivered();
}

void IgnoredFolders::folderMoved(const std::string& to) {
  {
    std::lock_guard lock(_mutex);
    if (!_enabled || !_folders || _marked == 0 || !_folders->mayHoldWatchedFiles(to)) return;
  }
  flush();
}

void IgnoredFolders::setAliased(std::set<dev_t> devices, std::set<uint64_t> fsids) {
  const bool more =
      !std::includes(_aliased.begin(), _aliased.end(), devices.begin(), devices.end()) ||
      !std::includes(_aliasedIds.begin(), _aliasedIds.end(), fsids.begin(), fsids.end());
  _aliased = std::move(devices);
  _aliasedIds = std::move(fsids);
  // A folder marked through its only mount is now reachable through another, maybe a root.
  if (more) flush();
}

void IgnoredFolders::flush() {
  std::lock_guard lock(_mutex);
  flushLocked();
}

void IgnoredFolders::flushLocked() {
  if (!_enabled || _marked == 0) return;
  // Only the groups' inode marks go: their filesystem and mount marks stay.
  for (int group : {_fileGroup, _entryGroup}) {
    if (group >= 0 && _api.mark(group, FAN_MARK_FLUSH, 0, "/") != 0) {
      ZorvaError(FaultKind::EventSource,
                 "fanotify: the kernel's ignore marks could not be flushed: %@",
                 std::system_category().message(errno));
      return;
    }
  }
  _marked = 0;
  // The flush took these too; they go back at once.
  for (const std::string& folder : _muted) {
    if (_api.mark(_fileGroup, kMuteFlags, kMutedEvents, folder) != 0) {
      ZorvaError(FaultKind::EventSource, "fanotify: %@ could not be muted again: %@", folder,
                 std::system_category().message(errno));
    }
  }
}

}  // namespace zorva
