#include "platform/event_source/fanotify/IgnoredFolders.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "service/Log.h"

namespace zorva {

bool IgnoredFolders::probe(const std::string& folder) {
  std::lock_guard lock(mutex_);
  if (api_.mark(group_, kMarkFlags, kIgnoredEvents, folder) != 0) {
    const int error = errno;
    enabled_ = false;
    ZorvaLog("fanotify: kernel filtering is off, every open and close is read: %@%@",
             std::system_category().message(error),
             error == EINVAL ? std::string(" (evictable ignore marks need Linux 6.0 or later)")
                             : std::string());
    return false;
  }
  api_.mark(group_, FAN_MARK_FLUSH, 0, "/");
  return true;
}

void IgnoredFolders::setWatchedFolders(WatchedFolders* folders) {
  std::lock_guard lock(mutex_);
  folders_ = folders;
  // Without anyone to ask, nothing is known to be unwatched.
  if (!folders_) flushLocked();
}

void IgnoredFolders::quietEvent(const std::string& folder, dev_t device) {
  if (aliased_.contains(device) || !triedThisBatch_.insert(folder).second) return;
  std::lock_guard lock(mutex_);
  if (!enabled_ || !folders_ || folders_->holdsWatchedFiles(folder)) return;
  // A folder removed or replaced by a file since is simply not marked.
  if (api_.mark(group_, kMarkFlags, kIgnoredEvents, folder) == 0) ++marked_;
}

void IgnoredFolders::folderMoved(const std::string& to) {
  {
    std::lock_guard lock(mutex_);
    if (!enabled_ || !folders_ || marked_ == 0 || !folders_->mayHoldWatchedFiles(to)) return;
  }
  flush();
}

void IgnoredFolders::setAliased(std::set<dev_t> devices) {
  const bool more =
      !std::includes(aliased_.begin(), aliased_.end(), devices.begin(), devices.end());
  aliased_ = std::move(devices);
  // A folder marked through its only mount is now reachable through another, maybe a root.
  if (more) flush();
}

void IgnoredFolders::flush() {
  std::lock_guard lock(mutex_);
  flushLocked();
}

void IgnoredFolders::flushLocked() {
  if (!enabled_ || marked_ == 0) return;
  // Only this group's inode marks go: its filesystem and mount marks stay.
  if (api_.mark(group_, FAN_MARK_FLUSH, 0, "/") != 0) {
    ZorvaError("fanotify: the kernel's ignore marks could not be flushed: %@",
               std::system_category().message(errno));
    return;
  }
  marked_ = 0;
  ++flushes_;
}

uint64_t IgnoredFolders::marked() const {
  std::lock_guard lock(mutex_);
  return marked_;
}

uint64_t IgnoredFolders::flushes() const {
  std::lock_guard lock(mutex_);
  return flushes_;
}

}  // namespace zorva
