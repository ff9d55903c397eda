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
      _testQueue("com.zorva.testQueue", dependencies.clock),
      _watchQueue("com.zorva.watchQueue", dependencies.clock) {}

PathTracker::~PathTracker() = default;

int64_t PathTracker::nowSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
}

void PathTracker::addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) {
  auto info = std::make_shared<const WatchInfo>(
      WatchInfo{notifyEnabled, WatchRegistry::watchRoot(path), volumeId});
  _watchQueue.async([this, info = std::move(info)]() mutable {
    ZorvaLog("PathTracker: addPath: %ld, %@", info->volumeId, info->path);
    _watchPaths.add(std::move(info));
  });
}

void PathTracker::open(std::string_view path, const struct stat& status, int32_t pid,
                       OptionalString exec, uint32_t /*flags*/) {
  // Empty files cannot be the source of a copy worth reporting, and they are most opens.
  if (status.st_size <= 0) return;
  OptionalString decoded = decodeUtf8(path);
  if (!decoded) return;
  _watchQueue.async([this, path = std::move(*decoded), size = static_cast<uint64_t>(status.st_size),
                     pid = static_cast<uint32_t>(pid), exec = std::move(exec)]() mutable {
    std::string lower = lowerCase(path);
    PathInfo* record = _openMap.find(pid, lower);
    if (!record) {
      WatchInfoRef watchInfo = _watchPaths.isWatching(lower);
      if (!watchInfo) return;
      ZorvaLog("PathTracker.open: tracking: %@ exec: %@", lower, exec);
      record =
          &_openMap.insert(pid, std::move(lower),
                           PathInfo{.watchInfo = std::move(watchInfo), .path = std::move(path)});
    }
    record->openCount += 1;
    record->size = size;
  });
}

void PathTracker::close(std::string_view path, const struct stat& status, int32_t pid,
                        OptionalString exec, bool isModified) {
  // A close of an empty file is not counted at all, even for a tracked file.
  if (status.st_size <= 0) return;
  OptionalString decoded = decodeUtf8(path);
  if (!decoded) return;
  _watchQueue.async([this, path = std::move(*decoded), size = static_cast<uint64_t>(status.st_size),
                     pid = static_cast<uint32_t>(pid), exec = std::move(exec),
                     isModified] { closeOnQueue(path, size, pid, exec, isModified); });
}

void PathTracker::closeOnQueue(const std::string& path, uint64_t size, uint32_t pid,
                               const OptionalString& exec, bool isModified) {
  std::string lower = lowerCase(path);
  if (PathInfo* record = _openMap.find(pid, lower)) {
    record->openCount -= 1;
    record->lastClose = nowSeconds();
    if (isModified) maybeNotify(path, record->watchInfo.get());
    return;
  }
  if (!isModified) return;

  WatchInfoRef watchInfo = _watchPaths.isWatching(lower);
  std::vector<OpenFileTable::Candidate> candidates =
      _openMap.candidates(pid, lastComponent(lower), size, nowSeconds());
  // A copy that lands under a watch root has not left the watched volumes; the single-event path
  // records nothing for such a copy either. Skipping the comparison also saves reading both files.
  if (!candidates.empty() && !watchInfo) {
    auto count = static_cast<int64_t>(candidates.size());
    test(path, std::move(candidates));
    ZorvaRemote("test: count(%ld) => %@, %@", count, path, exec);
  }
  maybeNotify(path, watchInfo.get());
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
    WatchInfoRef sourceInfo;
    WatchInfoRef destInfo;
    std::string lowerDest;
    if (source) sourceInfo = _watchPaths.isWatching(lowerCase(*source));
    if (dest) {
      lowerDest = lowerCase(*dest);
      destInfo = _watchPaths.isWatching(lowerDest);
    }
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
    if (bothModified && source) maybeNotify(*source, sourceInfo.get());
    if (dest) maybeNotify(*dest, destInfo.get());
  });
}

void PathTracker::modify(OptionalString path, OptionalString /*exec*/, std::string_view /*type*/) {
  if (!path) return;
  _watchQueue.async([this, path = std::move(*path)] {
    maybeNotify(path, _watchPaths.isWatching(lowerCase(path)).get());
  });
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
    const std::function<void(const WatchRegistry&, const OpenFileTable&)>& work) {
  _watchQueue.sync([&] { work(_watchPaths, _openMap); });
}

}  // namespace zorva
