#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/files/ContentComparator.h"
#include "platform/settings/SettingsStore.h"
#include "tracking/OpenFileTable.h"
#include "tracking/PathTrackerInterface.h"
#include "tracking/TrackerSinks.h"
#include "tracking/WatchRegistry.h"

namespace zorva {

// The tracker of file activity on watched roots: the watch registry, the open-file table, and
// the detection of data leaving a root, by a single event naming both ends or by a new file whose
// contents equal a watched file recently opened by the same family of processes.
//
// Calls return at once. The open-file table lives on _watchQueue; whole-file comparisons run on
// _testQueue, so event handling never waits for a disk read. Most events concern no watched
// file: those are recognised on the caller's thread and never queued, since a file under no
// root has no record and roots are never removed.
//
// open, close, source and modify must not overlap one another, as the event source's serial
// delivery guarantees; addVolume may be called from any thread at any time.
class PathTracker final : public PathTrackerInterface {
 public:
  struct Dependencies {
    SettingsStore& settings;
    Clock& clock;
    AuditEventSink& audit;
    ChangeNotifier& notifier;
    ContentComparator& comparator;  // used on _testQueue only
  };

  // Loads the saved watch list before returning, so it is in place before the first event.
  explicit PathTracker(const Dependencies& dependencies);
  ~PathTracker() override;

  // Registers a root; takes effect on _watchQueue in call order. Callable from any thread.
  void addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled);

  void open(std::string_view path, const struct stat& status, int32_t pid, int32_t ppid,
            OptionalString exec, uint32_t flags) override;
  void close(std::string_view path, const struct stat& status, int32_t pid, int32_t ppid,
             OptionalString exec, bool isModified) override;
  void source(std::string_view source, OptionalString dest, bool eitherDirection, bool bothModified,
              OptionalString exec, std::string_view type) override;
  void modify(OptionalString path, OptionalString exec, std::string_view type) override;

  // For tests and benchmarks: runs `work` on _watchQueue and waits, so state can be inspected.
  void inspect(const std::function<void(WatchRegistry::Reader&, const OpenFileTable&)>& work);

 private:
  void openOnQueue(CasedPath path, std::string lower, const WatchInfo* watchInfo, uint64_t size,
                   uint32_t pid, uint32_t ppid, const OptionalString& exec);
  void closeOnQueue(const CasedPath& path, const std::string& lower, const WatchInfo* watchInfo,
                    uint64_t size, uint32_t pid, uint32_t ppid, const OptionalString& exec,
                    bool isModified);
  void test(std::string path, std::vector<OpenFileTable::Candidate> candidates);
  void track(const std::string& source, const std::string& dest, const WatchInfo& watchInfo);
  void maybeNotify(const std::string& path, const WatchInfo* watchInfo);
  int64_t nowSeconds() const;
  // The root of a path on the caller's side; the lower-cased path is left in callerLower_.
  const WatchInfo* callerWatchInfo(std::string_view path);

  Clock& clock_;
  AuditEventSink& audit_;
  ChangeNotifier& notifier_;
  ContentComparator& comparator_;
  WatchRegistry _watchPaths;
  WatchRegistry::Reader callerRoots_;  // for the event source's serial calls
  std::string callerLower_;            // their scratch lower-cased path
  WatchRegistry::Reader queueRoots_;   // for work on _watchQueue
  OpenFileTable _openMap;
  // Declared last so they stop first: no queued work outlives the state it uses. Work on
  // _watchQueue queues tests, so it stops before _testQueue.
  SerialQueue _testQueue;
  SerialQueue _watchQueue;
};

}  // namespace zorva
