#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Counter.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/event_source/FolderFilter.h"
#include "platform/files/ContentComparator.h"
#include "platform/settings/SettingsStore.h"
#include "tracking/HeldFiles.h"
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
// A watched file's open keeps the file as the process had it open, and the close of a copy keeps
// the copy, so the comparison reads the bytes that were read and written even when either has
// been moved or removed by then (a move to another drive removes its source at once). A watched
// file is held no longer than kHoldAfterClose after a close, so the drive can be unmounted, and
// no more than kMaxHeldFiles at once; beyond either, files are compared by path.
//
// A copy confirmed by content is reported kFinalNameWait after its close, under the name it has
// then: copiers that write a temporary name and rename it into place within the family that wrote
// it are reported once, with the name the copy ends with.
//
// open, close, source and modify must not overlap one another, as the event source's serial
// delivery guarantees; addVolume may be called from any thread at any time.
class PathTracker final : public PathTrackerInterface, public WatchedFolders {
 public:
  static constexpr auto kHoldAfterClose = std::chrono::seconds(1);
  static constexpr size_t kMaxHeldFiles = 256;
  static constexpr auto kFinalNameWait = std::chrono::seconds(2);
  // How often the saved roots are read again while the settings cannot be read.
  static constexpr auto kSettingsRetry = std::chrono::seconds(10);

  struct Dependencies {
    SettingsStore& settings;
    Clock& clock;
    AuditEventSink& audit;
    ChangeNotifier& notifier;
    ContentComparator& comparator;  // used on _testQueue only
    // The event source's kernel filtering, told of every root before the root is in force.
    FolderFilter* folderFilter = nullptr;
  };

  // Loads the saved watch list before returning, so it is in place before the first event.
  explicit PathTracker(const Dependencies& dependencies);
  ~PathTracker() override;

  // Registers a root; takes effect on _watchQueue in call order. Callable from any thread. An
  // empty path, "/" and relative paths are refused with an error line, and nothing is saved.
  void addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled);

  void open(std::string_view path, const struct stat& status, const Lineage& actor,
            OptionalString exec, uint32_t flags, const EventFile* opened) override;
  void close(std::string_view path, const struct stat& status, const Lineage& actor,
             OptionalString exec, bool isModified, const EventFile* opened) override;
  void source(std::string_view source, OptionalString dest, bool eitherDirection, bool bothModified,
              OptionalString exec, std::string_view type, const Lineage& actor) override;
  void modify(OptionalString path, OptionalString exec, std::string_view type) override;

  // On the event source's thread, as open and close are.
  bool holdsWatchedFiles(std::string_view folder) override;
  bool mayHoldWatchedFiles(std::string_view folder) override;
  bool writesMayMatter() override;
  void batchDelivered() override;

  // What the tracker holds and has done since it started, for the service's status.
  struct Status {
    std::vector<WatchInfo> volumes;  // by volume identifier
    uint64_t eventsTaken = 0;        // calls of open, close, source and modify
    uint64_t eventsQueued = 0;       // of those, the ones not dropped on the caller's side
    uint64_t transfersByRename = 0;  // found by one event naming both ends
    uint64_t transfersByContent = 0;
    uint64_t comparisons = 0;  // candidates compared with a copy, byte for byte
  };
  // Reads each figure on the queue it belongs to and hands them to `done` on _testQueue; returns
  // at once.
  void status(std::function<void(Status)> done);

  // For tests and benchmarks: runs `work` on _watchQueue and waits, so state can be inspected.
  void inspect(const std::function<void(WatchRegistry::Reader&, const OpenFileTable&)>& work);
  // Open files held now, by records and by comparisons waiting or under way.
  size_t heldFiles() const { return _heldFiles.count(); }

 private:
  // A copy found by its close, from its comparison until it is reported.
  struct PendingCopy {
    std::string dest;  // the name it has now, letter case kept
    Lineage writer;
    bool due = false;    // kFinalNameWait has passed since its close
    std::string source;  // once confirmed
    WatchRef watchInfo;
    uint32_t sourceTable = 0;
    uint64_t sourceUnclosedOpen = 0;
    OptionalString writerExec;  // for the transfer's log line
  };

  void openOnQueue(CasedPath path, std::string lower, WatchRef watchInfo, uint64_t size,
                   const Lineage& actor, const OptionalString& exec, SharedOpenFile opened);
  void closeOnQueue(const CasedPath& path, const std::string& lower, const WatchRef& watchInfo,
                    uint64_t size, const Lineage& actor, const OptionalString& exec,
                    bool isModified, SharedOpenFile opened);
  // Reads the saved roots again until it succeeds.
  void loadLater();
  // `folder` lower-cased with one trailing "/", as roots are kept; in _folderLower.
  const std::string& folderKey(std::string_view folder);
  // Queues work of the event source's calls, in their order.
  void post(SerialQueue::Work work);
  // Lets go of a record's open file kHoldAfterClose from now, unless it is opened again first.
  void releaseLater(PathInfo& record, uint32_t ppid, const std::string& lower);
  void test(uint64_t copy, ComparedFile written, std::vector<OpenFileTable::Candidate> candidates);
  void confirmed(uint64_t copy, OpenFileTable::Candidate source);
  // Reports a copy that is both confirmed and due.
  void reportIfReady(uint64_t copy);
  void followRename(const std::string& from, const std::string& to, const Lineage& actor);
  // Records a transfer; `kind`, `exec` and `pid` (how it was found, and by whose event) go to its
  // log line only.
  void track(const std::string& source, const std::string& dest, const WatchInfo& watchInfo,
             std::string_view kind, const OptionalString& exec, int32_t pid);
  void maybeNotify(const std::string& path, const WatchInfo* watchInfo);
  int64_t nowSeconds() const;
  // The root of a path on the caller's side; the lower-cased path is left in _callerLower.
  WatchRef callerWatchInfo(std::string_view path);
  // Whether a modified close may find candidates, judged on the caller's side.
  bool mayHaveCandidates() const;

  Clock& _clock;
  AuditEventSink& _audit;
  ChangeNotifier& _notifier;
  ContentComparator& _comparator;
  FolderFilter* const _folderFilter;
  WatchRegistry _watchPaths;
  WatchRegistry::Reader _callerRoots;  // for the event source's serial calls
  std::string _callerLower;            // their scratch lower-cased path
  std::string _folderLower;            // the folder filter's, on the same thread
  // Work for _watchQueue from the event source's calls, handed over once per batch of events:
  // one wake-up of the queue for a batch rather than one for each event.
  std::vector<SerialQueue::Work> _callerBatch;
  bool _batching = false;
  WatchRegistry::Reader _queueRoots;    // for work on _watchQueue
  HeldFiles _heldFiles{kMaxHeldFiles};  // outlives every holder below
  OpenFileTable _openMap;
  uint64_t _touches = 0;  // on _watchQueue: stamps records' opens and closes
  std::unordered_map<uint64_t, PendingCopy> _pendingCopies;  // on _watchQueue
  uint64_t _nextCopy = 0;                                    // on _watchQueue
  // Watched opens handed to _watchQueue (the caller's count) and handled there, and the records
  // the table holds: together they tell the caller whether any record may be a candidate.
  uint64_t _watchedOpensQueued = 0;
  std::atomic<uint64_t> _watchedOpensHandled{0};
  std::atomic<size_t> _records{0};
  std::atomic<size_t> _pendingCount{0};  // _pendingCopies.size(), for the caller's side
  SingleWriterCounter _eventsTaken;      // on the caller's side
  SingleWriterCounter _eventsQueued;     // on the caller's side
  uint64_t _transfersByRename = 0;       // on _watchQueue
  uint64_t _transfersByContent = 0;      // on _watchQueue
  uint64_t _comparisons = 0;             // on _testQueue
  // Declared last so they stop first: no queued work outlives the state it uses. Work on
  // _watchQueue queues tests, and tests queue their outcome back, so each waits for the other
  // only through what is already queued.
  SerialQueue _testQueue;
  SerialQueue _watchQueue;
};

}  // namespace zorva
