#include "tracking/PathTracker.h"

#include <algorithm>
#include <chrono>

#include "platform/log/Log.h"
#include "platform/text/LowerCase.h"
#include "platform/text/Utf8.h"

namespace zorva {
namespace {

// Whether a rename by `renamer` can be the writer of a copy putting it under its final name: the
// same process, a sibling, or one of the generations the event source names above or below.
bool sameFamily(const Lineage& renamer, const Lineage& writer) {
  auto isAncestor = [](int32_t pid, const Lineage& of) {
    return pid > 0 && std::ranges::count(of.ancestors(), pid) > 0;
  };
  return renamer.pid == writer.pid || (renamer.ppid != 0 && renamer.ppid == writer.ppid) ||
         isAncestor(renamer.pid, writer) || isAncestor(writer.pid, renamer);
}

// A transfer's ZORVA_KIND: how it was found, in words that stay the same across releases.
std::string_view transferKind(std::string_view type) {
  if (type == "RENAME") return "rename";
  if (type == "EXCHANGEDATA") return "exchange";
  if (type == "CLONE") return "clone";
  if (type == "COPYFILE") return "copyfile";
  return "event";
}

}  // namespace

PathTracker::PathTracker(const Dependencies& dependencies)
    : _clock(dependencies.clock),
      _audit(dependencies.audit),
      _notifier(dependencies.notifier),
      _comparator(dependencies.comparator),
      _folderFilter(dependencies.folderFilter),
      _watchPaths(dependencies.settings),
      _callerRoots(_watchPaths),
      _queueRoots(_watchPaths),
      _testQueue("com.zorva.testQueue", dependencies.clock),
      _watchQueue("com.zorva.watchQueue", dependencies.clock) {
  if (!_watchPaths.loaded()) loadLater();
  if (_folderFilter) _folderFilter->setWatchedFolders(this);
}

void PathTracker::loadLater() {
  _watchQueue.after(kSettingsRetry, [this] {
    if (!_watchPaths.load()) {
      loadLater();
    } else if (_folderFilter) {
      _folderFilter->rootsAdded();
    }
  });
}

PathTracker::~PathTracker() {
  if (_folderFilter) _folderFilter->setWatchedFolders(nullptr);
  // Work on each queue hands work to the other: let each finish what the other gave it, so the
  // queues stop (the watch queue first) with nothing left to hand over.
  _watchQueue.sync([] {});
  _testQueue.sync([] {});
}

int64_t PathTracker::nowSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(_clock.now().time_since_epoch()).count();
}

WatchRef PathTracker::callerWatchInfo(std::string_view path) {
  lowerCaseInto(_callerLower, path);
  return _callerRoots.isWatching(_callerLower);
}

const std::string& PathTracker::folderKey(std::string_view folder) {
  lowerCaseInto(_folderLower, folder);
  if (!_folderLower.ends_with('/')) _folderLower += '/';
  return _folderLower;
}

bool PathTracker::holdsWatchedFiles(std::string_view folder) {
  return _callerRoots.isWatching(folderKey(folder)) != nullptr;
}

bool PathTracker::mayHoldWatchedFiles(std::string_view folder) {
  return _callerRoots.reaches(folderKey(folder));
}

void PathTracker::post(SerialQueue::Work work) {
  _eventsQueued.add();
  if (_batching) {
    _callerBatch.push_back(std::move(work));
  } else {
    _watchQueue.async(std::move(work));
  }
}

void PathTracker::batchDelivered() {
  // From the first batch on: a source that never says so has every event queued as it comes.
  _batching = true;
  if (_callerBatch.empty()) return;
  _watchQueue.async([batch = std::move(_callerBatch)] {
    for (const SerialQueue::Work& work : batch) work();
  });
  _callerBatch.clear();
}

bool PathTracker::writesMayMatter() { return mayHaveCandidates() || _callerRoots.notifies(); }

bool PathTracker::mayHaveCandidates() const {
  // Handled opens are counted after the records they made, so a count that has caught up with
  // the caller's finds those records counted too.
  return _watchedOpensHandled.load(std::memory_order_acquire) != _watchedOpensQueued ||
         _records.load(std::memory_order_relaxed) != 0;
}

void PathTracker::addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) {
  if (auto why = WatchRegistry::refusal(path)) {
    ZorvaError(FaultKind::Client, "PathTracker: addPath: refusing %ld, %@: %@", volumeId,
               std::string(path), *why);
    return;
  }
  // Visible to events from the moment this returns, as a registration queued first would be.
  WatchRef info = _watchPaths.add(notifyEnabled, WatchRegistry::watchRoot(path), volumeId);
  if (_folderFilter) _folderFilter->rootsAdded();
  _watchQueue.async([this, info = std::move(info)] {
    ZorvaLog("PathTracker: addPath: %ld, %@", info->volumeId, info->path);
    _watchPaths.save();
  });
}

void PathTracker::open(std::string_view path, const struct stat& status, const Lineage& actor,
                       OptionalString exec, uint32_t /*flags*/, const EventFile* opened) {
  _eventsTaken.add();
  // Empty files cannot be the source of a copy worth reporting, and they are most opens.
  if (status.st_size <= 0 || !isValidUtf8(path)) return;
  WatchRef watchInfo = callerWatchInfo(path);
  if (!watchInfo) return;
  ++_watchedOpensQueued;
  // The letter case travels as a CasedPath: for most paths no string to copy across threads.
  post([this, path = CasedPath(path, _callerLower), lower = _callerLower,
        watchInfo = std::move(watchInfo), size = static_cast<uint64_t>(status.st_size), actor,
        exec = std::move(exec), file = _heldFiles.take(opened)]() mutable {
    openOnQueue(std::move(path), std::move(lower), std::move(watchInfo), size, actor, exec,
                std::move(file));
  });
}

void PathTracker::openOnQueue(CasedPath path, std::string lower, WatchRef watchInfo, uint64_t size,
                              const Lineage& actor, const OptionalString& exec,
                              SharedOpenFile opened) {
  const auto pid = static_cast<uint32_t>(actor.pid);
  const auto ppid = static_cast<uint32_t>(actor.ppid);
  PathInfo* record = _openMap.find(ppid, lower);
  if (!record) {
    ZorvaLog("PathTracker.open: tracking: %@ exec: %@", lower, exec);
    record = &_openMap.insert(ppid, pid, std::move(lower), std::move(path), std::move(watchInfo));
  } else {
    _openMap.reopen(ppid, *record, pid);
  }
  record->openCount += 1;
  record->size = size;
  record->written = false;
  record->lastOpen = record->lastTouch = ++_touches;
  // The latest open is the one a copy in progress reads through.
  if (opened) record->opened = std::move(opened);
  _records.store(_openMap.recordCount(), std::memory_order_relaxed);
  _watchedOpensHandled.fetch_add(1, std::memory_order_release);
}

void PathTracker::close(std::string_view path, const struct stat& status, const Lineage& actor,
                        OptionalString exec, bool isModified, const EventFile* opened) {
  _eventsTaken.add();
  if (status.st_size <= 0) {
    // Not counted, even for a tracked file; but a file held since its open is let go as after
    // any close, or a count that never returns to 0 would hold its drive for good.
    if (_heldFiles.count() == 0 || !isValidUtf8(path) || !callerWatchInfo(path)) return;
    post([this, lower = _callerLower, ppid = static_cast<uint32_t>(actor.ppid)] {
      if (PathInfo* record = _openMap.find(ppid, lower)) releaseLater(*record, ppid, lower);
    });
    return;
  }
  if (!isValidUtf8(path)) return;
  WatchRef watchInfo = callerWatchInfo(path);
  // An unwatched file has no record, and an unmodified close of an untracked file does nothing;
  // nor does a write outside the roots while no watched file is open or recently closed.
  if (!watchInfo && (!isModified || !mayHaveCandidates())) return;
  // A copy may be renamed before it is compared: keep it as it was written, if it may be one.
  SharedOpenFile written = !watchInfo && mayHaveCandidates() ? _heldFiles.take(opened) : nullptr;
  post([this, path = CasedPath(path, _callerLower), lower = _callerLower,
        watchInfo = std::move(watchInfo), size = static_cast<uint64_t>(status.st_size), actor,
        exec = std::move(exec), isModified, written = std::move(written)]() mutable {
    closeOnQueue(path, lower, watchInfo, size, actor, exec, isModified, std::move(written));
  });
}

void PathTracker::closeOnQueue(const CasedPath& cased, const std::string& lower,
                               const WatchRef& watchInfo, uint64_t size, const Lineage& actor,
                               const OptionalString& exec, bool isModified,
                               SharedOpenFile written) {
  const auto ppid = static_cast<uint32_t>(actor.ppid);
  if (PathInfo* record = _openMap.find(ppid, lower)) {
    // An extra close (the kernel merges events) must not leave a count below zero, which would
    // keep the record a candidate for ever.
    if (record->openCount > 0) record->openCount -= 1;
    record->lastClose = nowSeconds();
    record->written = isModified;
    releaseLater(*record, ppid, lower);
    // The path as this close gave it, not as the record's open did.
    if (isModified) maybeNotify(cased.restore(lower), record->watchInfo.get());
    return;
  }
  if (!isModified) return;

  const std::string path = cased.restore(lower);
  std::vector<OpenFileTable::Candidate> candidates =
      _openMap.candidates(actor, lastComponent(lower), size, nowSeconds());
  // A candidate whose open is still unclosed may turn out to have been a write (its close merged
  // with the open comes late): compare those only after every file that was read and closed.
  std::stable_partition(candidates.begin(), candidates.end(),
                        [](const OpenFileTable::Candidate& c) { return c.unclosedOpen == 0; });
  _records.store(_openMap.recordCount(), std::memory_order_relaxed);
  // A copy that lands under a watch root has not left the watched volumes; the single-event path
  // records nothing for such a copy either. Skipping the comparison also saves reading both files.
  if (!candidates.empty() && !watchInfo) {
    auto count = static_cast<int64_t>(candidates.size());
    const uint64_t copy = ++_nextCopy;
    _pendingCopies.emplace(copy, PendingCopy{path, actor, false, {}, nullptr, 0, 0, exec});
    _pendingCount.store(_pendingCopies.size(), std::memory_order_release);
    // Timed by the queue's own delay, which a change of the wall clock does not move.
    _watchQueue.after(kFinalNameWait, [this, copy] {
      auto pending = _pendingCopies.find(copy);
      if (pending == _pendingCopies.end()) return;
      pending->second.due = true;
      reportIfReady(copy);
    });
    test(copy, ComparedFile(path, std::move(written)), std::move(candidates));
    ZorvaRemote("test: count(%ld) => %@, %@", count, path, exec);
  }
  maybeNotify(path, watchInfo.get());
}

void PathTracker::releaseLater(PathInfo& record, uint32_t ppid, const std::string& lower) {
  const uint64_t touch = record.lastTouch = ++_touches;
  if (!record.opened) return;
  _watchQueue.after(kHoldAfterClose, [this, ppid, lower, touch] {
    PathInfo* record = _openMap.find(ppid, lower);
    if (record && record->lastTouch == touch) record->opened = nullptr;
  });
}

void PathTracker::test(uint64_t copy, ComparedFile written,
                       std::vector<OpenFileTable::Candidate> candidates) {
  _testQueue.async(
      [this, copy, written = std::move(written), candidates = std::move(candidates)]() mutable {
        for (OpenFileTable::Candidate& candidate : candidates) {
          ++_comparisons;
          if (!_comparator.contentsEqual({candidate.path, candidate.opened}, written)) continue;
          ZorvaRemote("test: found: %@ => %@", candidate.path, written.path);
          _watchQueue.async([this, copy, source = std::move(candidate)]() mutable {
            confirmed(copy, std::move(source));
          });
          return;
        }
        _watchQueue.async([this, copy] {
          _pendingCopies.erase(copy);
          _pendingCount.store(_pendingCopies.size(), std::memory_order_release);
        });
      });
}

void PathTracker::confirmed(uint64_t copy, OpenFileTable::Candidate source) {
  auto pending = _pendingCopies.find(copy);
  if (pending == _pendingCopies.end()) return;
  pending->second.source = std::move(source.path);
  pending->second.watchInfo = std::move(source.watchInfo);
  pending->second.sourceTable = source.table;
  pending->second.sourceUnclosedOpen = source.unclosedOpen;
  reportIfReady(copy);
}

void PathTracker::reportIfReady(uint64_t copy) {
  auto pending = _pendingCopies.find(copy);
  if (pending == _pendingCopies.end() || !pending->second.due || !pending->second.watchInfo) {
    return;
  }
  PendingCopy done = std::move(pending->second);
  _pendingCopies.erase(pending);
  _pendingCount.store(_pendingCopies.size(), std::memory_order_release);
  // Renamed onto a watched volume in the end: the data did not leave.
  if (_queueRoots.isWatching(lowerCase(done.dest))) return;
  // A write the kernel merged with its open is seen at the end of its batch, after a copy of it
  // onto the drive may have been opened: that copy, closed written since, was where the data went.
  if (done.sourceUnclosedOpen != 0) {
    const PathInfo* source = _openMap.find(done.sourceTable, lowerCase(done.source));
    if (source && source->lastOpen == done.sourceUnclosedOpen && source->written) {
      ZorvaLog("PathTracker: %@ was written, not read: %@ is no copy of it", done.source,
               done.dest);
      return;
    }
  }
  ++_transfersByContent;
  track(done.source, done.dest, *done.watchInfo, "content", done.writerExec, done.writer.pid);
}

void PathTracker::followRename(const std::string& from, const std::string& to,
                               const Lineage& actor) {
  if (_pendingCopies.empty()) return;
  const std::string lowerFrom = lowerCase(from);
  for (auto& [copy, pending] : _pendingCopies) {
    if (lowerCase(pending.dest) != lowerFrom || !sameFamily(actor, pending.writer)) continue;
    ZorvaLog("PathTracker: copy renamed: %@ => %@", pending.dest, to);
    pending.dest = to;
  }
}

void PathTracker::source(std::string_view source, OptionalString dest, bool eitherDirection,
                         bool bothModified, OptionalString exec, std::string_view type,
                         const Lineage& actor) {
  _eventsTaken.add();
  // Most renames on a machine touch no root, and only a copy waiting for its final name can
  // follow one: those are dropped here rather than queued.
  if (!mayHaveCandidates() && _pendingCount.load(std::memory_order_acquire) == 0 &&
      !callerWatchInfo(source) && !(dest && callerWatchInfo(*dest))) {
    return;
  }
  post([this, source = decodeUtf8(source), dest = std::move(dest), eitherDirection, bothModified,
        exec = std::move(exec), type = std::string(type), actor] {
    WatchRef sourceInfo = source ? _queueRoots.isWatching(lowerCase(*source)) : nullptr;
    std::string lowerDest = dest ? lowerCase(*dest) : std::string();
    WatchRef destInfo = dest ? _queueRoots.isWatching(lowerDest) : nullptr;
    // A path that did not decode can be neither end of a recorded transfer.
    if (source && dest) {
      if (sourceInfo && !destInfo) {
        ++_transfersByRename;
        track(*source, *dest, *sourceInfo, transferKind(type), exec, actor.pid);
        ZorvaRemote("track: %@: %@, %@, %@", type, *source, lowerDest, exec);
      } else if (eitherDirection && !sourceInfo && destInfo) {
        ++_transfersByRename;
        track(*dest, *source, *destInfo, transferKind(type), exec, actor.pid);
        ZorvaRemote("track-reverse: %@: %@, %@, %@", type, lowerDest, *source, exec);
      } else if (type == "RENAME" && !sourceInfo) {
        followRename(*source, *dest, actor);
      }
    }
    if (bothModified && source) maybeNotify(*source, sourceInfo.get());
    if (dest) maybeNotify(*dest, destInfo.get());
  });
}

void PathTracker::modify(OptionalString path, OptionalString /*exec*/, std::string_view /*type*/) {
  _eventsTaken.add();
  if (!path) return;
  WatchRef watchInfo = callerWatchInfo(*path);
  if (!watchInfo || !watchInfo->notifyEnabled) return;
  post([this, path = std::move(*path), watchInfo = std::move(watchInfo)] {
    maybeNotify(path, watchInfo.get());
  });
}

void PathTracker::track(const std::string& source, const std::string& dest,
                        const WatchInfo& watchInfo, std::string_view kind,
                        const OptionalString& exec, int32_t pid) {
  std::string below = pathBelowRoot(source, watchInfo.path);
  // The one line of each transfer, whatever its kind, carries its fields: a query by volume lists
  // each transfer once. The source is the whole path, as the event named it.
  ZorvaLog({.volumeId = watchInfo.volumeId,
            .source = source,
            .destination = dest,
            .exe = exec,
            .pid = pid,
            .kind = kind},
           "PathTracker.track: volumeId: %ld, %@ => %@", watchInfo.volumeId, below, dest);
  _audit.track(below, dest, watchInfo.volumeId);
}

void PathTracker::maybeNotify(const std::string& path, const WatchInfo* watchInfo) {
  if (!watchInfo || !watchInfo->notifyEnabled) return;
  _notifier.pathModified(path, watchInfo->volumeId);
}

void PathTracker::status(std::function<void(Status)> done) {
  _watchQueue.async([this, done = std::move(done)]() mutable {
    Status status;
    status.volumes = _watchPaths.list();
    status.transfersByRename = _transfersByRename;
    status.transfersByContent = _transfersByContent;
    _testQueue.async([this, status = std::move(status), done = std::move(done)]() mutable {
      status.comparisons = _comparisons;
      // Queued first: each event is counted taken before it is queued, so the two read in this
      // order never show more queued than taken.
      status.eventsQueued = _eventsQueued.get();
      status.eventsTaken = _eventsTaken.get();
      done(std::move(status));
    });
  });
}

void PathTracker::inspect(
    const std::function<void(WatchRegistry::Reader&, const OpenFileTable&)>& work) {
  _watchQueue.sync([&] { work(_queueRoots, _openMap); });
}

}  // namespace zorva
