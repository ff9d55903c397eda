#include "tracking/PathTracker.h"

#include <chrono>

#include "platform/text/LowerCase.h"
#include "platform/text/Utf8.h"
#include "service/Log.h"

namespace zorva {

PathTracker::PathTracker(const Dependencies& dependencies)
    : clock_(dependencies.clock),
      audit_(dependencies.audit),
      notifier_(dependencies.notifier),
      comparator_(dependencies.comparator),
      _watchPaths(dependencies.settings),
      callerRoots_(_watchPaths),
      queueRoots_(_watchPaths),
      _testQueue("com.zorva.testQueue", dependencies.clock),
      _watchQueue("com.zorva.watchQueue", dependencies.clock) {}

PathTracker::~PathTracker() = default;

int64_t PathTracker::nowSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
}

const WatchInfo* PathTracker::callerWatchInfo(std::string_view path) {
  lowerCaseInto(callerLower_, path);
  return callerRoots_.isWatching(callerLower_);
}

void PathTracker::addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) {
  // Visible to events from the moment this returns, as a registration queued first would be.
  const WatchInfo& info = _watchPaths.add(notifyEnabled, WatchRegistry::watchRoot(path), volumeId);
  _watchQueue.async([this, &info] {
    ZorvaLog("PathTracker: addPath: %ld, %@", info.volumeId, info.path);
    _watchPaths.save();
  });
}

void PathTracker::open(std::string_view path, const struct stat& status, int32_t pid, int32_t ppid,
                       OptionalString exec, uint32_t /*flags*/) {
  // Empty files cannot be the source of a copy worth reporting, and they are most opens.
  if (status.st_size <= 0 || !isValidUtf8(path)) return;
  const WatchInfo* watchInfo = callerWatchInfo(path);
  if (!watchInfo) return;
  // The letter case travels as a CasedPath: for most paths no string to copy across threads.
  _watchQueue.async([this, path = CasedPath(path, callerLower_), lower = callerLower_, watchInfo,
                     size = static_cast<uint64_t>(status.st_size), pid = static_cast<uint32_t>(pid),
                     ppid = static_cast<uint32_t>(ppid), exec = std::move(exec)]() mutable {
    openOnQueue(std::move(path), std::move(lower), watchInfo, size, pid, ppid, exec);
  });
}

void PathTracker::openOnQueue(CasedPath path, std::string lower, const WatchInfo* watchInfo,
                              uint64_t size, uint32_t pid, uint32_t ppid,
                              const OptionalString& exec) {
  PathInfo* record = _openMap.find(ppid, lower);
  if (!record) {
    ZorvaLog("PathTracker.open: tracking: %@ exec: %@", lower, exec);
    record = &_openMap.insert(ppid, pid, std::move(lower), std::move(path), watchInfo);
  } else {
    _openMap.reopen(ppid, *record, pid);
  }
  record->openCount += 1;
  record->size = size;
}

void PathTracker::close(std::string_view path, const struct stat& status, int32_t pid, int32_t ppid,
                        OptionalString exec, bool isModified) {
  // A close of an empty file is not counted at all, even for a tracked file.
  if (status.st_size <= 0 || !isValidUtf8(path)) return;
  const WatchInfo* watchInfo = callerWatchInfo(path);
  // An unwatched file has no record, and an unmodified close of an untracked file does nothing.
  if (!watchInfo && !isModified) return;
  _watchQueue.async([this, path = CasedPath(path, callerLower_), lower = callerLower_, watchInfo,
                     size = static_cast<uint64_t>(status.st_size), pid = static_cast<uint32_t>(pid),
                     ppid = static_cast<uint32_t>(ppid), exec = std::move(exec), isModified] {
    closeOnQueue(path, lower, watchInfo, size, pid, ppid, exec, isModified);
  });
}

void PathTracker::closeOnQueue(const CasedPath& cased, const std::string& lower,
                               const WatchInfo* watchInfo, uint64_t size, uint32_t pid,
                               uint32_t ppid, const OptionalString& exec, bool isModified) {
  if (PathInfo* record = _openMap.find(ppid, lower)) {
    record->openCount -= 1;
    record->lastClose = nowSeconds();
    // The path as this close gave it, not as the record's open did.
    if (isModified) maybeNotify(cased.restore(lower), record->watchInfo);
    return;
  }
  if (!isModified) return;

  const std::string path = cased.restore(lower);
  std::vector<OpenFileTable::Candidate> candidates =
      _openMap.candidates(pid, ppid, lastComponent(lower), size, nowSeconds());
  // A copy that lands under a watch root has not left the watched volumes; the single-event path
  // records nothing for such a copy either. Skipping the comparison also saves reading both files.
  if (!candidates.empty() && !watchInfo) {
    auto count = static_cast<int64_t>(candidates.size());
    test(path, std::move(candidates));
    ZorvaRemote("test: count(%ld) => %@, %@", count, path, exec);
  }
  maybeNotify(path, watchInfo);
}

void PathTracker::test(std::string path, std::vector<OpenFileTable::Candidate> candidates) {
  _testQueue.async([this, path = std::move(path), candidates = std::move(candidates)] {
    for (const OpenFileTable::Candidate& candidate : candidates) {
      if (!comparator_.contentsEqual(candidate.path, path)) continue;
      track(candidate.path, path, *candidate.watchInfo);
      ZorvaRemote("test: found: %@ => %@", candidate.path, path);
      return;
    }
  });
}

void PathTracker::source(std::string_view source, OptionalString dest, bool eitherDirection,
                         bool bothModified, OptionalString exec, std::string_view type) {
  _watchQueue.async([this, source = decodeUtf8(source), dest = std::move(dest), eitherDirection,
                     bothModified, exec = std::move(exec), type = std::string(type)] {
    const WatchInfo* sourceInfo = source ? queueRoots_.isWatching(lowerCase(*source)) : nullptr;
    std::string lowerDest = dest ? lowerCase(*dest) : std::string();
    const WatchInfo* destInfo = dest ? queueRoots_.isWatching(lowerDest) : nullptr;
    // A path that did not decode can be neither end of a recorded transfer.
    if (source && dest) {
      if (sourceInfo && !destInfo) {
        track(*source, *dest, *sourceInfo);
        ZorvaRemote("track: %@: %@, %@, %@", type, *source, lowerDest, exec);
      } else if (eitherDirection && !sourceInfo && destInfo) {
        track(*dest, *source, *destInfo);
        ZorvaRemote("track-reverse: %@: %@, %@, %@", type, lowerDest, *source, exec);
      }
    }
    if (bothModified && source) maybeNotify(*source, sourceInfo);
    if (dest) maybeNotify(*dest, destInfo);
  });
}

void PathTracker::modify(OptionalString path, OptionalString /*exec*/, std::string_view /*type*/) {
  if (!path) return;
  const WatchInfo* watchInfo = callerWatchInfo(*path);
  if (!watchInfo || !watchInfo->notifyEnabled) return;
  _watchQueue.async([this, path = std::move(*path), watchInfo] { maybeNotify(path, watchInfo); });
}

void PathTracker::track(const std::string& source, const std::string& dest,
                        const WatchInfo& watchInfo) {
  std::string below = pathBelowRoot(source, watchInfo.path);
  ZorvaLog("PathTracker.track: volumeId: %ld, %@ => %@", watchInfo.volumeId, below, dest);
  audit_.track(below, dest, watchInfo.volumeId);
}

void PathTracker::maybeNotify(const std::string& path, const WatchInfo* watchInfo) {
  if (!watchInfo || !watchInfo->notifyEnabled) return;
  notifier_.pathModified(path, watchInfo->volumeId);
}

void PathTracker::inspect(
    const std::function<void(WatchRegistry::Reader&, const OpenFileTable&)>& work) {
  _watchQueue.sync([&] { work(queueRoots_, _openMap); });
}

}  // namespace zorva
