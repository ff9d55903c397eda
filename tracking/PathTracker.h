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
// contents equal a recently opened watched file.
//
// Calls return at once. The registry and the table live on _watchQueue; whole-file comparisons
// run on _testQueue, so event handling never waits for a disk read.
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

  void open(std::string_view path, const struct stat& status, int32_t pid, OptionalString exec,
            uint32_t flags) override;
  void close(std::string_view path, const struct stat& status, int32_t pid, OptionalString exec,
             bool isModified) override;
  void source(std::string_view source, OptionalString dest, bool eitherDirection, bool bothModified,
              OptionalString exec, std::string_view type) override;
  void modify(OptionalString path, OptionalString exec, std::string_view type) override;

  // For tests and benchmarks: runs `work` on _watchQueue and waits, so state can be inspected.
  void inspect(const std::function<void(const WatchRegistry&, const OpenFileTable&)>& work);

 private:
  void closeOnQueue(const std::string& path, uint64_t size, uint32_t pid,
                    const OptionalString& exec, bool isModified);
  void test(std::string path, std::vector<OpenFileTable::Candidate> candidates);
  void track(const std::string& source, const std::string& dest, const WatchInfo& watchInfo);
  void maybeNotify(const std::string& path, const WatchInfo* watchInfo);
  int64_t nowSeconds() const;

  Clock& clock_;
  AuditEventSink& audit_;
  ChangeNotifier& notifier_;
  ContentComparator& comparator_;
  WatchRegistry _watchPaths;
  OpenFileTable _openMap;
  // Declared last so they stop first: no queued work outlives the state it uses. Work on
  // _watchQueue queues tests, so it stops before _testQueue.
  SerialQueue _testQueue;
  SerialQueue _watchQueue;
};

}  // namespace zorva
