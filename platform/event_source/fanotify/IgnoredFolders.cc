#include "platform/event_source/fanotify/IgnoredFolders.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/log/Log.h"

namespace zorva {

bool IgnoredFolders::probe(const std::string& folder) {
  std::lock_guard lock(mutex_);
  if (api_.mark(fileGroup_, kMarkFlags, kIgnoredEvents, folder) != 0) {
    const int error = errno;
    enabled_ = false;
    ZorvaLog("fanotify: kernel filtering is off, every open and close is read: %@%@",
             std::system_category().message(error),
             error == EINVAL ? std::string(" (evictable ignore marks need Linux 6.0 or later)")
                             : std::string());
    return false;
  }
  api_.mark(fileGroup_, FAN_MARK_FLUSH, 0, "/");
  return true;
}

bool IgnoredFolders::mute(const std::string& folder) {
  std::lock_guard lock(mutex_);
  if (api_.mark(fileGroup_, kMuteFlags, kMutedEvents, folder) != 0) return false;
  muted_.push_back(folder);
  return true;
}

void IgnoredFolders::withWatchedFolders(const std::function<void(WatchedFolders*)>& work) {
  std::lock_guard lock(mutex_);
  work(folders_);
}

void IgnoredFolders::setWatchedFolders(WatchedFolders* folders) {
  std::lock_guard lock(mutex_);
  folders_ = folders;
  // Without anyone to ask, nothing is known to be unwatched.
  if (!folders_) flushLocked();
}

void IgnoredFolders::quietEvent(const std::string& folder, dev_t device) {
  if (!aliased_.contains(device)) mark(folder);
}

void IgnoredFolders::quietEntry(const std::string& folder, uint64_t fsid) {
  if (!aliasedIds_.contains(fsid)) mark(folder);
}

void IgnoredFolders::mark(const std::string& folder) {
  if (!triedThisBatch_.insert(folder).second) return;
  if (mountsChanged_ && mountsChanged_()) return;
  std::lock_guard lock(mutex_);
  if (!enabled_ || !folders_ || folders_->holdsWatchedFiles(folder)) return;
  // A folder removed or replaced by a file since is simply not marked; a filesystem that cannot
  // report names by handle has no entry marks to take.
  const bool files = api_.mark(fileGroup_, kMarkFlags, kIgnoredEvents, folder) == 0;
  const bool entries =
      entryGroup_ >= 0 && api_.mark(entryGroup_, kMarkFlags, kIgnoredEntries, folder) == 0;
  if (files || entries) ++marked_;
}

bool IgnoredFolders::holdsNoWatchedFile(const std::string& folder) {
  std::lock_guard lock(mutex_);
  return enabled_ && folders_ && !folders_->holdsWatchedFiles(folder);
}

bool IgnoredFolders::writesCannotMatter() {
  std::lock_guard lock(mutex_);
  return folders_ && !folders_->writesMayMatter();
}

void IgnoredFolders::endBatch() {
  triedThisBatch_.clear();
  std::lock_guard lock(mutex_);
  if (folders_) folders_->batchDelivered();
}

void IgnoredFolders::folderMoved(const std::string& to) {
  {
    std::lock_guard lock(mutex_);
    if (!enabled_ || !folders_ || marked_ == 0 || !folders_->mayHoldWatchedFiles(to)) return;
  }
  flush();
}

void IgnoredFolders::setAliased(std::set<dev_t> devices, std::set<uint64_t> fsids) {
  const bool more =
      !std::includes(aliased_.begin(), aliased_.end(), devices.begin(), devices.end()) ||
      !std::includes(aliasedIds_.begin(), aliasedIds_.end(), fsids.begin(), fsids.end());
  aliased_ = std::move(devices);
  aliasedIds_ = std::move(fsids);
  // A folder marked through its only mount is now reachable through another, maybe a root.
  if (more) flush();
}

void IgnoredFolders::flush() {
  std::lock_guard lock(mutex_);
  flushLocked();
}

void IgnoredFolders::flushLocked() {
  if (!enabled_ || marked_ == 0) return;
  // Only the groups' inode marks go: their filesystem and mount marks stay.
  for (int group : {fileGroup_, entryGroup_}) {
    if (group >= 0 && api_.mark(group, FAN_MARK_FLUSH, 0, "/") != 0) {
      ZorvaError(FaultKind::EventSource,
                 "fanotify: the kernel's ignore marks could not be flushed: %@",
                 std::system_category().message(errno));
      return;
    }
  }
  marked_ = 0;
  // The flush took these too; they go back at once.
  for (const std::string& folder : muted_) {
    if (api_.mark(fileGroup_, kMuteFlags, kMutedEvents, folder) != 0) {
      ZorvaError(FaultKind::EventSource, "fanotify: %@ could not be muted again: %@", folder,
                 std::system_category().message(errno));
    }
  }
}

}  // namespace zorva
