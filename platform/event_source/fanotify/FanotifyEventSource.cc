#include "platform/event_source/fanotify/FanotifyEventSource.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>
#include <system_error>
#include <vector>

#include "platform/event_source/fanotify/DriveFolders.h"
#include "platform/event_source/fanotify/FanotifyDecoder.h"
#include "platform/event_source/fanotify/FanotifyTranslator.h"
#include "platform/event_source/fanotify/IgnoredFolders.h"
#include "platform/event_source/fanotify/MountTable.h"
#include "platform/event_source/fanotify/ProcessTable.h"
#include "platform/log/Log.h"

namespace zorva {
namespace {

std::string errorText(int error) { return std::system_category().message(error); }

constexpr size_t kReadSize = size_t{256} * 1024;
// How long events gather after a read before the next: well below anything a person notices.
constexpr int kGatherMs = 1;
// An unbounded kernel queue: a burst (a folder of thousands of files copied at once) waits for
// the reader instead of being dropped, since a lost event can be a lost transfer.
constexpr unsigned kGroupFlags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE;
constexpr unsigned kEntryGroupFlags = kGroupFlags | FAN_REPORT_DFID_NAME_TARGET;
// Failed reads in a row after which the reader waits for the next poll: each failure costs the
// kernel one event, so only a fault that takes none would repeat for long.
constexpr int kMaxFailedReads = 1000;
// A fault that repeats for every event is said once per this many, with the count so far.
constexpr uint64_t kLogEveryFailedReads = 10000;

// Why the kernel refused to mark a filesystem whole for renames and deletions.
const char* entryMarkRefusal(int error) {
  switch (error) {
    case ENODEV:
      return "its filesystem has no id (FUSE)";
    case EXDEV:
      return "it is a subvolume, not its filesystem's top";
    case EOPNOTSUPP:
      return "its filesystem has no file handles";
    default:
      return nullptr;
  }
}

}  // namespace

class FanotifyEventSource::Client final : public es_client_t {
 public:
  Client(FanotifyApi& api, Clock& clock, std::string mountInfoPath, es_handler_block_t handler,
         int fileGroup, int entryGroup, int wakeFd, int mountInfoFd, int rootsFd)
      : _api(api),
        _mountInfoPath(std::move(mountInfoPath)),
        _handler(std::move(handler)),
        _processes(api, clock),
        _translator(api, _processes, ::getpid(),
                    [this](const es_message_t& message) { _handler(this, &message); }),
        _fileGroup(fileGroup),
        _entryGroup(entryGroup),
        _wakeFd(wakeFd),
        _mountInfoFd(mountInfoFd),
        _rootsFd(rootsFd),
        _ignored(api, fileGroup, entryGroup) {
    _ignored.setMountsChanged([this] { return mountsChanged(); });
  }

  ~Client() override {
    stop();
    for (int fd : {_fileGroup, _entryGroup, _wakeFd, _mountInfoFd, _rootsFd}) {
      if (fd >= 0) _api.close(fd);
    }
  }

  // Marks every filesystem for the wanted types and starts the reader. Returns false when the
  // kernel refuses the marks outright.
  bool subscribe(uint64_t wanted, const std::vector<std::string>& muted) {
    if (_reader.joinable()) return false;
    _translator.setWanted(wanted);
    auto want = [&](es_event_type_t type) { return (wanted & FanotifyTranslator::bit(type)) != 0; };
    // Opens for execution tell the process cache that a process became another program.
    _fileMask = (want(ES_EVENT_TYPE_NOTIFY_OPEN) ? FAN_OPEN | FAN_OPEN_EXEC : 0) |
                (want(ES_EVENT_TYPE_NOTIFY_CLOSE) ? FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE : 0);
    // A folder moved off a root takes every file in it along: folders' moves count too.
    _entryMask = (want(ES_EVENT_TYPE_NOTIFY_RENAME) || want(ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA)
                      ? FAN_RENAME | FAN_ONDIR
                      : 0) |
                 (want(ES_EVENT_TYPE_NOTIFY_UNLINK) ? FAN_DELETE : 0) |
                 (want(ES_EVENT_TYPE_NOTIFY_LINK) ? FAN_CREATE : 0);
    // Where folders are marked one by one, new ones must be seen to be marked too.
    if (_entryMask != 0) {
      _drives = std::make_unique<DriveFolders>(_api, _entryMask | FAN_CREATE | FAN_ONDIR,
                                               kEntryGroupFlags);
    }
    if (markMounts() == 0) {
      ZorvaError(FaultKind::EventSource, "fanotify: no filesystem could be watched");
      return false;
    }
    if ((_fileMask & FAN_OPEN) && _ignored.probe(_marked.begin()->second.mountPoint)) {
      _translator.setIgnoredFolders(&_ignored);
      _filtering = true;
    }
    // After the probe, whose flush would take these marks too.
    for (const std::string& folder : muted) {
      if (_fileMask != 0 && !_ignored.mute(folder)) {
        ZorvaError(FaultKind::EventSource,
                   "fanotify: events in %@ cannot be muted (%@): another process opening the "
                   "files there can drop the service's locks on them",
                   folder, errorText(errno));
      }
    }
    // After the marks: a program started once /proc has been read is seen by its exec.
    _processes.start();
    _reader = std::thread([this] { run(); });
    return true;
  }

  IgnoredFolders& ignoredFolders() { return _ignored; }

  // New roots may lie on drives whose folders are marked one by one: the reader marks theirs.
  void rootsAdded() {
    uint64_t one = 1;
    while (::write(_rootsFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Safe from any thread: copies the reader makes after each pass.
  ProcessTable::Counts processCounts() const {
    std::lock_guard lock(_countsMutex);
    return _counts;
  }
  EventSourceStatus status() const {
    std::lock_guard lock(_countsMutex);
    EventSourceStatus status = _status;
    status.processTableLosses = _counts.losses;
    return status;
  }

 private:
  struct Marked {
    uint64_t fsid;  // as handles carry it; 0 when renames cannot be followed there
    std::string mountPoint;
    MountCoverage::Coverage coverage;
    std::string detail;
  };

  void stop() {
    uint64_t one = 1;
    while (::write(_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (_reader.joinable()) _reader.join();
  }

  // Marks the filesystems not marked yet and forgets those no longer mounted; returns how many
  // are marked.
  size_t markMounts() {
    std::optional<std::string> text = _api.readFile(_mountInfoPath);
    if (!text) {
      ZorvaError(FaultKind::EventSource, "fanotify: cannot read %@", _mountInfoPath);
      return _marked.size();
    }
    std::map<dev_t, Marked> mounted;
    // By the paths they give folders: a file bound over another is no second way in, nor a
    // folder bound onto its own path.
    std::map<dev_t, std::set<std::string>> folderMounts;
    std::vector<MountCoverage> coverage;
    for (const Mount& mount : parseMountInfo(*text)) {
      MountCoverage& covered = coverage.emplace_back(
          MountCoverage{mount.mountPoint, mount.fsType, MountCoverage::Coverage::None, ""});
      if (!canHoldUserFiles(mount.fsType)) {
        covered.detail = "a kernel or pseudo filesystem, which holds no user files";
        continue;
      }
      struct stat status {};
      if (_api.stat(mount.mountPoint, &status) != 0) {
        covered.detail = "its mount point cannot be reached: " + errorText(errno);
        continue;
      }
      if (S_ISDIR(status.st_mode)) folderMounts[status.st_dev].insert(pathMapping(mount));
      if (auto known = _marked.find(status.st_dev); known != _marked.end()) {
        mounted.insert(*known);
        covered.coverage = known->second.coverage;
        covered.detail = known->second.detail;
        continue;
      }
      if (auto known = mounted.find(status.st_dev); known != mounted.end()) {
        covered.coverage = known->second.coverage;
        covered.detail = known->second.detail;
        continue;
      }
      if (_fileMask != 0 && !markFiles(mount.mountPoint)) {
        covered.detail = "the kernel refused to watch it: " + errorText(errno);
        ZorvaError(FaultKind::EventSource, "fanotify: cannot watch %@ (%@): %@", mount.mountPoint,
                   mount.fsType, errorText(errno));
        continue;
      }
      Marked marked{0, mount.mountPoint, MountCoverage::Coverage::Full, ""};
      markEntries(mount, status.st_dev, &marked);
      covered.coverage = marked.coverage;
      covered.detail = marked.detail;
      mounted.emplace(status.st_dev, std::move(marked));
    }
    // The kernel drops the marks of an unmounted filesystem; a later one may reuse its device.
    for (const auto& [device, marked] : _marked) {
      if (!mounted.contains(device) && marked.fsid != 0) _translator.removeMount(marked.fsid);
    }
    if (_drives) {
      std::set<dev_t> devices;
      for (const auto& [device, marked] : mounted) devices.insert(device);
      _drives->keepOnly(devices);
      _rebuildPoll = true;
    }
    _marked = std::move(mounted);
    {
      std::lock_guard lock(_countsMutex);
      _status.mounts = std::move(coverage);
    }
    std::set<dev_t> aliased;
    std::set<uint64_t> aliasedIds;
    for (const auto& [device, mappings] : folderMounts) {
      if (mappings.size() <= 1) continue;
      aliased.insert(device);
      if (auto known = _marked.find(device); known != _marked.end() && known->second.fsid != 0) {
        aliasedIds.insert(known->second.fsid);
      }
    }
    _ignored.setAliased(std::move(aliased), std::move(aliasedIds));
    return _marked.size();
  }

  // Renames, deletions and creations on a newly marked filesystem: on all of it where the kernel
  // allows, else folder by folder under the roots. Says how the filesystem is watched.
  void markEntries(const Mount& mount, dev_t device, Marked* marked) {
    if (_entryMask == 0) {
      ZorvaLog("fanotify: watching %@ (%@) fully", mount.mountPoint, mount.fsType);
      return;
    }
    if (_api.mark(_entryGroup, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, _entryMask, mount.mountPoint) ==
        0) {
      if (int fd = _api.openPath(mount.mountPoint); fd >= 0) {
        marked->fsid = _api.filesystemId(fd).value_or(0);
        _api.close(fd);
        if (marked->fsid != 0) _translator.setMount(marked->fsid, mount.mountPoint);
      }
      ZorvaLog("fanotify: watching %@ (%@) fully", mount.mountPoint, mount.fsType);
      return;
    }
    const int error = errno;
    marked->coverage = MountCoverage::Coverage::Partial;
    const char* why = entryMarkRefusal(error);
    // Opens and closes, the events copies are found by, still come from all of it.
    if (why && _drives) {
      bool added = false;
      _ignored.withWatchedFolders([&](WatchedFolders* watched) {
        added = _drives->add(device, mount.mountPoint, error != EOPNOTSUPP, watched);
      });
      if (added) {
        marked->detail =
            std::string("renames, deletions and links are seen in watched folders only (") + why +
            ")";
        if (error == EOPNOTSUPP) {
          marked->detail += "; a file moved out of one is reported with the drive as destination";
        }
        ZorvaLog("fanotify: watching %@ (%@) partly: %@", mount.mountPoint, mount.fsType,
                 marked->detail);
        return;
      }
    }
    marked->detail =
        "renames, deletions and links are not seen: " + (why ? std::string(why) : errorText(error));
    ZorvaLog("fanotify: watching %@ (%@) partly: %@", mount.mountPoint, mount.fsType,
             marked->detail);
  }

  // Whether the mount table changed since it was last read. The kernel signals a change once per
  // descriptor, so one seen here is kept until the table is read again.
  bool mountsChanged() {
    if (!_mountsChanged && _mountInfoFd >= 0) {
      pollfd table{_mountInfoFd, POLLPRI, 0};
      _mountsChanged = ::poll(&table, 1, 0) > 0 && (table.revents & (POLLPRI | POLLERR)) != 0;
    }
    return _mountsChanged;
  }

  // Opens and closes, on the whole filesystem where the kernel allows it, else on the mount.
  bool markFiles(const std::string& mountPoint) {
    if (_api.mark(_fileGroup, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, _fileMask, mountPoint) == 0) {
      return true;
    }
    return (errno == EINVAL || errno == EXDEV || errno == EOPNOTSUPP) &&
           _api.mark(_fileGroup, FAN_MARK_ADD | FAN_MARK_MOUNT, _fileMask, mountPoint) == 0;
  }

  // Reads and handles one buffer of a group's events; false when the group had none. The process
  // events sent before the read are applied first, so the table knows every process the batch
  // names, and none that took over an id after it.
  bool readBatch(int group, DriveFolders::Drive* drive = nullptr) {
    const uint64_t before = _api.monotonicNanoseconds();
    const ssize_t got = _api.read(group, _buffer.data(), _buffer.size());
    if (got < 0 && errno != EAGAIN && errno != EINTR) return failedRead(errno);
    _failedReads = 0;
    if (got <= 0) {
      // Nothing queued before this read is left unread.
      if (!drive) _emptyAt[group == _fileGroup ? 0 : 1] = before;
      return false;
    }
    const uint64_t readAt = _api.monotonicNanoseconds();
    _processes.receive();
    _processes.advanceTo(readAt);
    FanotifyBatch batch =
        decodeFanotifyBuffer(std::span<const std::byte>(_buffer.data(), static_cast<size_t>(got)));
    _eventsRead += batch.records.size();
    if (drive) {
      _ignored.withWatchedFolders(
          [&](WatchedFolders* watched) { _drives->follow(*drive, batch, watched); });
    }
    _translator.translate(batch, drive);
    return true;
  }

  // The kernel opens each event's file as it hands the event over, and a file gone by then (as
  // on FUSE drives) fails the read: that event is lost, but the ones after it are not.
  bool failedRead(int error) {
    if (++_readFailures % kLogEveryFailedReads == 1) {
      ZorvaLog("fanotify: an event could not be read: %@ (%ld so far)", errorText(error),
               static_cast<int64_t>(_readFailures));
    }
    return ++_failedReads < kMaxFailedReads;
  }

  // Takes turns between the two groups until both are empty, so a flood of opens cannot hold back
  // the renames that name where a copy went.
  void drainGroups() {
    bool files = true;
    bool entries = true;
    std::vector<DriveFolders::Drive*> drives;
    if (_drives) drives = _drives->drives();
    std::vector<char> driveEntries(drives.size(), 1);
    auto anyDrive = [&] { return std::ranges::find(driveEntries, 1) != driveEntries.end(); };
    while (files || entries || anyDrive()) {
      if (files) files = readBatch(_fileGroup);
      if (entries) entries = readBatch(_entryGroup);
      for (size_t i = 0; i < drives.size(); ++i) {
        if (driveEntries[i]) driveEntries[i] = readBatch(drives[i]->group, drives[i]);
      }
    }
    _translator.flush();
    // A rename held back to pair it with the next one is out now, and handed on with the rest.
    if (_filtering) _ignored.endBatch();
    _processes.receive();
    _processes.settle(std::min(_emptyAt[0], _emptyAt[1]));
    std::lock_guard lock(_countsMutex);
    _counts = _processes.counts();
    _status.eventsRead = _eventsRead;
    _status.queueOverflows = _translator.overflows();
    _status.staleHandles = _translator.staleHandles();
  }

  void run() {
    // Where each descriptor waits in the poll set; the drives' groups follow.
    enum Slot : size_t { kFileGroup, kEntryGroup, kMountTable, kWake, kConnector, kRoots };
    std::vector<pollfd> fds;
    for (;;) {
      if (_rebuildPoll) {
        _rebuildPoll = false;
        fds = {pollfd{_fileGroup, POLLIN, 0},
               pollfd{_entryGroup, POLLIN, 0},
               pollfd{_mountInfoFd, POLLPRI, 0},
               pollfd{_wakeFd, POLLIN, 0},
               pollfd{_processes.connectorFd(), POLLIN, 0},
               pollfd{_rootsFd, POLLIN, 0}};
        if (_drives) {
          for (const DriveFolders::Drive* drive : _drives->drives()) {
            fds.push_back(pollfd{drive->group, POLLIN, 0});
          }
        }
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        ZorvaError(FaultKind::EventSource, "fanotify: waiting for events failed: %@",
                   errorText(errno));
        return;
      }
      if (fds[kWake].revents != 0) return;
      // The mount table changed: a drive was plugged in, an image or a folder mounted. It is read
      // once the events queued before are handled; until then no folder is marked.
      if (fds[kMountTable].revents & (POLLPRI | POLLERR)) _mountsChanged = true;
      if (fds[kRoots].revents & POLLIN) {
        uint64_t count = 0;
        while (::read(_rootsFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        if (_drives) {
          _ignored.withWatchedFolders(
              [&](WatchedFolders* watched) { _drives->markRoots(watched); });
        }
      }
      // Also when only process events came: they are applied once the file events before them
      // are handled, and exited processes forgotten.
      drainGroups();
      if (_mountsChanged) {
        _mountsChanged = false;
        markMounts();
      }
      // Events come in bursts. Letting them gather for a moment turns tens of thousands of
      // wake-ups a second, each paid by the process that queued the event as much as by this
      // thread, into a few hundred reads of fuller buffers.
      pollfd wake{_wakeFd, POLLIN, 0};
      if (::poll(&wake, 1, kGatherMs) > 0) return;
    }
  }

  FanotifyApi& _api;
  const std::string _mountInfoPath;
  const es_handler_block_t _handler;
  ProcessTable _processes;
  FanotifyTranslator _translator;
  const int _fileGroup;
  const int _entryGroup;
  const int _wakeFd;
  const int _mountInfoFd;
  const int _rootsFd;  // written when roots were added
  uint64_t _fileMask = 0;
  uint64_t _entryMask = 0;
  std::map<dev_t, Marked> _marked;  // watched filesystems, by device
  std::vector<std::byte> _buffer = std::vector<std::byte>(kReadSize);
  uint64_t _emptyAt[2] = {0, 0};  // when each group was last read empty (file, entry)
  mutable std::mutex _countsMutex;
  ProcessTable::Counts _counts;
  EventSourceStatus _status;  // without the process table's losses, which are in _counts
  uint64_t _eventsRead = 0;
  uint64_t _readFailures = 0;
  int _failedReads = 0;  // in a row
  std::unique_ptr<DriveFolders> _drives;
  bool _rebuildPoll = true;  // drives came or went
  IgnoredFolders _ignored;
  bool _filtering = false;      // the kernel takes the marks
  bool _mountsChanged = false;  // seen by mountsChanged(), not yet read
  std::thread _reader;
};

FanotifyEventSource::FanotifyEventSource(FanotifyApi& api, Clock& clock, std::string mountInfoPath)
    : _api(api), _clock(clock), _mountInfoPath(std::move(mountInfoPath)) {}

FanotifyEventSource::~FanotifyEventSource() = default;

es_new_client_result_t FanotifyEventSource::newClient(es_client_t** client,
                                                      es_handler_block_t handler) {
  if (!client || !handler) return ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT;
  std::lock_guard lock(_mutex);
  if (_client) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;

  const unsigned groupFlags = kGroupFlags;
  const unsigned eventFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NOATIME;
  int fileGroup = _api.init(groupFlags, eventFlags);
  if (fileGroup < 0 && errno == EINVAL) {
    // Older kernels refuse O_NOATIME here; reading access times is harmless.
    fileGroup = _api.init(groupFlags, eventFlags & ~O_NOATIME);
  }
  if (fileGroup < 0) {
    int error = errno;
    ZorvaError(FaultKind::EventSource, "fanotify: cannot watch file events: %@%@", errorText(error),
               error == EPERM ? std::string(" (the service needs CAP_SYS_ADMIN: run it as root)")
                              : std::string());
    return error == EPERM ? ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED
                          : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int entryGroup = _api.init(kEntryGroupFlags, 0);
  if (entryGroup < 0) {
    int error = errno;
    // Without directory-entry events renames, the commonest way data leaves a drive, would go
    // unseen: no fallback keeps the product correct.
    ZorvaError(FaultKind::EventSource,
               "fanotify: this kernel cannot report renames by directory handle (needs Linux "
               "5.17 or later): %@",
               errorText(error));
    _api.close(fileGroup);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int wakeFd = ::eventfd(0, EFD_CLOEXEC);
  int mountInfoFd = ::open(_mountInfoPath.c_str(), O_RDONLY | O_CLOEXEC);
  int rootsFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  _client = std::make_unique<Client>(_api, _clock, _mountInfoPath, std::move(handler), fileGroup,
                                     entryGroup, wakeFd, mountInfoFd, rootsFd);
  _client->ignoredFolders().setWatchedFolders(_folders);
  *client = _client.get();
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

es_return_t FanotifyEventSource::subscribe(es_client_t* client, const es_event_type_t* events,
                                           uint32_t count) {
  if (!client || !events || count == 0) return ES_RETURN_ERROR;
  uint64_t wanted = 0;
  for (uint32_t i = 0; i < count; ++i) wanted |= FanotifyTranslator::bit(events[i]);
  std::lock_guard lock(_mutex);
  if (client != _client.get() || !_client->subscribe(wanted, _muted)) return ES_RETURN_ERROR;
  return ES_RETURN_SUCCESS;
}

void FanotifyEventSource::muteFolder(std::string folder) {
  std::lock_guard lock(_mutex);
  _muted.push_back(std::move(folder));
}

void FanotifyEventSource::setWatchedFolders(WatchedFolders* folders) {
  std::lock_guard lock(_mutex);
  _folders = folders;
  if (_client) _client->ignoredFolders().setWatchedFolders(folders);
}

void FanotifyEventSource::rootsAdded() {
  std::lock_guard lock(_mutex);
  if (!_client) return;
  _client->ignoredFolders().flush();
  _client->rootsAdded();
}

EventSourceStatus FanotifyEventSource::status() const {
  std::lock_guard lock(_mutex);
  return _client ? _client->status() : EventSourceStatus{};
}

ProcessTable::Counts FanotifyEventSource::processCounts() const {
  std::lock_guard lock(_mutex);
  return _client ? _client->processCounts() : ProcessTable::Counts{};
}

es_return_t FanotifyEventSource::deleteClient(es_client_t* client) {
  std::unique_ptr<Client> deleted;
  {
    std::lock_guard lock(_mutex);
    if (!client || client != _client.get()) return ES_RETURN_ERROR;
    deleted = std::move(_client);
  }
  return ES_RETURN_SUCCESS;
}

}  // namespace zorva
