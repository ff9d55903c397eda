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
      : api_(api),
        mountInfoPath_(std::move(mountInfoPath)),
        handler_(std::move(handler)),
        processes_(api, clock),
        translator_(api, processes_, ::getpid(),
                    [this](const es_message_t& message) { handler_(this, &message); }),
        fileGroup_(fileGroup),
        entryGroup_(entryGroup),
        wakeFd_(wakeFd),
        mountInfoFd_(mountInfoFd),
        rootsFd_(rootsFd),
        ignored_(api, fileGroup, entryGroup) {
    ignored_.setMountsChanged([this] { return mountsChanged(); });
  }

  ~Client() override {
    stop();
    for (int fd : {fileGroup_, entryGroup_, wakeFd_, mountInfoFd_, rootsFd_}) {
      if (fd >= 0) api_.close(fd);
    }
  }

  // Marks every filesystem for the wanted types and starts the reader. Returns false when the
  // kernel refuses the marks outright.
  bool subscribe(uint64_t wanted, const std::vector<std::string>& muted) {
    if (reader_.joinable()) return false;
    translator_.setWanted(wanted);
    auto want = [&](es_event_type_t type) { return (wanted & FanotifyTranslator::bit(type)) != 0; };
    // Opens for execution tell the process cache that a process became another program.
    fileMask_ = (want(ES_EVENT_TYPE_NOTIFY_OPEN) ? FAN_OPEN | FAN_OPEN_EXEC : 0) |
                (want(ES_EVENT_TYPE_NOTIFY_CLOSE) ? FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE : 0);
    // A folder moved off a root takes every file in it along: folders' moves count too.
    entryMask_ = (want(ES_EVENT_TYPE_NOTIFY_RENAME) || want(ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA)
                      ? FAN_RENAME | FAN_ONDIR
                      : 0) |
                 (want(ES_EVENT_TYPE_NOTIFY_UNLINK) ? FAN_DELETE : 0) |
                 (want(ES_EVENT_TYPE_NOTIFY_LINK) ? FAN_CREATE : 0);
    // Where folders are marked one by one, new ones must be seen to be marked too.
    if (entryMask_ != 0) {
      drives_ = std::make_unique<DriveFolders>(api_, entryMask_ | FAN_CREATE | FAN_ONDIR,
                                               kEntryGroupFlags);
    }
    if (markMounts() == 0) {
      ZorvaError(FaultKind::EventSource, "fanotify: no filesystem could be watched");
      return false;
    }
    if ((fileMask_ & FAN_OPEN) && ignored_.probe(marked_.begin()->second.mountPoint)) {
      translator_.setIgnoredFolders(&ignored_);
      filtering_ = true;
    }
    // After the probe, whose flush would take these marks too.
    for (const std::string& folder : muted) {
      if (fileMask_ != 0 && !ignored_.mute(folder)) {
        ZorvaError(FaultKind::EventSource,
                   "fanotify: events in %@ cannot be muted (%@): another process opening the "
                   "files there can drop the service's locks on them",
                   folder, errorText(errno));
      }
    }
    // After the marks: a program started once /proc has been read is seen by its exec.
    processes_.start();
    reader_ = std::thread([this] { run(); });
    return true;
  }

  IgnoredFolders& ignoredFolders() { return ignored_; }

  // New roots may lie on drives whose folders are marked one by one: the reader marks theirs.
  void rootsAdded() {
    uint64_t one = 1;
    while (::write(rootsFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Safe from any thread: copies the reader makes after each pass.
  ProcessTable::Counts processCounts() const {
    std::lock_guard lock(countsMutex_);
    return counts_;
  }
  EventSourceStatus status() const {
    std::lock_guard lock(countsMutex_);
    EventSourceStatus status = status_;
    status.processTableLosses = counts_.losses;
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
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (reader_.joinable()) reader_.join();
  }

  // Marks the filesystems not marked yet and forgets those no longer mounted; returns how many
  // are marked.
  size_t markMounts() {
    std::optional<std::string> text = api_.readFile(mountInfoPath_);
    if (!text) {
      ZorvaError(FaultKind::EventSource, "fanotify: cannot read %@", mountInfoPath_);
      return marked_.size();
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
      if (api_.stat(mount.mountPoint, &status) != 0) {
        covered.detail = "its mount point cannot be reached: " + errorText(errno);
        continue;
      }
      if (S_ISDIR(status.st_mode)) folderMounts[status.st_dev].insert(pathMapping(mount));
      if (auto known = marked_.find(status.st_dev); known != marked_.end()) {
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
      if (fileMask_ != 0 && !markFiles(mount.mountPoint)) {
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
    for (const auto& [device, marked] : marked_) {
      if (!mounted.contains(device) && marked.fsid != 0) translator_.removeMount(marked.fsid);
    }
    if (drives_) {
      std::set<dev_t> devices;
      for (const auto& [device, marked] : mounted) devices.insert(device);
      drives_->keepOnly(devices);
      rebuildPoll_ = true;
    }
    marked_ = std::move(mounted);
    {
      std::lock_guard lock(countsMutex_);
      status_.mounts = std::move(coverage);
    }
    std::set<dev_t> aliased;
    std::set<uint64_t> aliasedIds;
    for (const auto& [device, mappings] : folderMounts) {
      if (mappings.size() <= 1) continue;
      aliased.insert(device);
      if (auto known = marked_.find(device); known != marked_.end() && known->second.fsid != 0) {
        aliasedIds.insert(known->second.fsid);
      }
    }
    ignored_.setAliased(std::move(aliased), std::move(aliasedIds));
    return marked_.size();
  }

  // Renames, deletions and creations on a newly marked filesystem: on all of it where the kernel
  // allows, else folder by folder under the roots. Says how the filesystem is watched.
  void markEntries(const Mount& mount, dev_t device, Marked* marked) {
    if (entryMask_ == 0) {
      ZorvaLog("fanotify: watching %@ (%@) fully", mount.mountPoint, mount.fsType);
      return;
    }
    if (api_.mark(entryGroup_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, entryMask_, mount.mountPoint) ==
        0) {
      if (int fd = api_.openPath(mount.mountPoint); fd >= 0) {
        marked->fsid = api_.filesystemId(fd).value_or(0);
        api_.close(fd);
        if (marked->fsid != 0) translator_.setMount(marked->fsid, mount.mountPoint);
      }
      ZorvaLog("fanotify: watching %@ (%@) fully", mount.mountPoint, mount.fsType);
      return;
    }
    const int error = errno;
    marked->coverage = MountCoverage::Coverage::Partial;
    const char* why = entryMarkRefusal(error);
    // Opens and closes, the events copies are found by, still come from all of it.
    if (why && drives_) {
      bool added = false;
      ignored_.withWatchedFolders([&](WatchedFolders* watched) {
        added = drives_->add(device, mount.mountPoint, error != EOPNOTSUPP, watched);
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
    if (!mountsChanged_ && mountInfoFd_ >= 0) {
      pollfd table{mountInfoFd_, POLLPRI, 0};
      mountsChanged_ = ::poll(&table, 1, 0) > 0 && (table.revents & (POLLPRI | POLLERR)) != 0;
    }
    return mountsChanged_;
  }

  // Opens and closes, on the whole filesystem where the kernel allows it, else on the mount.
  bool markFiles(const std::string& mountPoint) {
    if (api_.mark(fileGroup_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, fileMask_, mountPoint) == 0) {
      return true;
    }
    return (errno == EINVAL || errno == EXDEV || errno == EOPNOTSUPP) &&
           api_.mark(fileGroup_, FAN_MARK_ADD | FAN_MARK_MOUNT, fileMask_, mountPoint) == 0;
  }

  // Reads and handles one buffer of a group's events; false when the group had none. The process
  // events sent before the read are applied first, so the table knows every process the batch
  // names, and none that took over an id after it.
  bool readBatch(int group, DriveFolders::Drive* drive = nullptr) {
    const uint64_t before = api_.monotonicNanoseconds();
    const ssize_t got = api_.read(group, buffer_.data(), buffer_.size());
    if (got < 0 && errno != EAGAIN && errno != EINTR) return failedRead(errno);
    failedReads_ = 0;
    if (got <= 0) {
      // Nothing queued before this read is left unread.
      if (!drive) emptyAt_[group == fileGroup_ ? 0 : 1] = before;
      return false;
    }
    const uint64_t readAt = api_.monotonicNanoseconds();
    processes_.receive();
    processes_.advanceTo(readAt);
    FanotifyBatch batch =
        decodeFanotifyBuffer(std::span<const std::byte>(buffer_.data(), static_cast<size_t>(got)));
    eventsRead_ += batch.records.size();
    if (drive) {
      ignored_.withWatchedFolders(
          [&](WatchedFolders* watched) { drives_->follow(*drive, batch, watched); });
    }
    translator_.translate(batch, drive);
    return true;
  }

  // The kernel opens each event's file as it hands the event over, and a file gone by then (as
  // on FUSE drives) fails the read: that event is lost, but the ones after it are not.
  bool failedRead(int error) {
    if (++readFailures_ % kLogEveryFailedReads == 1) {
      ZorvaLog("fanotify: an event could not be read: %@ (%ld so far)", errorText(error),
               static_cast<int64_t>(readFailures_));
    }
    return ++failedReads_ < kMaxFailedReads;
  }

  // Takes turns between the two groups until both are empty, so a flood of opens cannot hold back
  // the renames that name where a copy went.
  void drainGroups() {
    bool files = true;
    bool entries = true;
    std::vector<DriveFolders::Drive*> drives;
    if (drives_) drives = drives_->drives();
    std::vector<char> driveEntries(drives.size(), 1);
    auto anyDrive = [&] { return std::ranges::find(driveEntries, 1) != driveEntries.end(); };
    while (files || entries || anyDrive()) {
      if (files) files = readBatch(fileGroup_);
      if (entries) entries = readBatch(entryGroup_);
      for (size_t i = 0; i < drives.size(); ++i) {
        if (driveEntries[i]) driveEntries[i] = readBatch(drives[i]->group, drives[i]);
      }
    }
    translator_.flush();
    // A rename held back to pair it with the next one is out now, and handed on with the rest.
    if (filtering_) ignored_.endBatch();
    processes_.receive();
    processes_.settle(std::min(emptyAt_[0], emptyAt_[1]));
    std::lock_guard lock(countsMutex_);
    counts_ = processes_.counts();
    status_.eventsRead = eventsRead_;
    status_.queueOverflows = translator_.overflows();
    status_.staleHandles = translator_.staleHandles();
  }

  void run() {
    // Where each descriptor waits in the poll set; the drives' groups follow.
    enum Slot : size_t { kFileGroup, kEntryGroup, kMountTable, kWake, kConnector, kRoots };
    std::vector<pollfd> fds;
    for (;;) {
      if (rebuildPoll_) {
        rebuildPoll_ = false;
        fds = {pollfd{fileGroup_, POLLIN, 0},
               pollfd{entryGroup_, POLLIN, 0},
               pollfd{mountInfoFd_, POLLPRI, 0},
               pollfd{wakeFd_, POLLIN, 0},
               pollfd{processes_.connectorFd(), POLLIN, 0},
               pollfd{rootsFd_, POLLIN, 0}};
        if (drives_) {
          for (const DriveFolders::Drive* drive : drives_->drives()) {
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
      if (fds[kMountTable].revents & (POLLPRI | POLLERR)) mountsChanged_ = true;
      if (fds[kRoots].revents & POLLIN) {
        uint64_t count = 0;
        while (::read(rootsFd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        if (drives_) {
          ignored_.withWatchedFolders(
              [&](WatchedFolders* watched) { drives_->markRoots(watched); });
        }
      }
      // Also when only process events came: they are applied once the file events before them
      // are handled, and exited processes forgotten.
      drainGroups();
      if (mountsChanged_) {
        mountsChanged_ = false;
        markMounts();
      }
      // Events come in bursts. Letting them gather for a moment turns tens of thousands of
      // wake-ups a second, each paid by the process that queued the event as much as by this
      // thread, into a few hundred reads of fuller buffers.
      pollfd wake{wakeFd_, POLLIN, 0};
      if (::poll(&wake, 1, kGatherMs) > 0) return;
    }
  }

  FanotifyApi& api_;
  const std::string mountInfoPath_;
  const es_handler_block_t handler_;
  ProcessTable processes_;
  FanotifyTranslator translator_;
  const int fileGroup_;
  const int entryGroup_;
  const int wakeFd_;
  const int mountInfoFd_;
  const int rootsFd_;  // written when roots were added
  uint64_t fileMask_ = 0;
  uint64_t entryMask_ = 0;
  std::map<dev_t, Marked> marked_;  // watched filesystems, by device
  std::vector<std::byte> buffer_ = std::vector<std::byte>(kReadSize);
  uint64_t emptyAt_[2] = {0, 0};  // when each group was last read empty (file, entry)
  mutable std::mutex countsMutex_;
  ProcessTable::Counts counts_;
  EventSourceStatus status_;  // without the process table's losses, which are in counts_
  uint64_t eventsRead_ = 0;
  uint64_t readFailures_ = 0;
  int failedReads_ = 0;  // in a row
  std::unique_ptr<DriveFolders> drives_;
  bool rebuildPoll_ = true;  // drives came or went
  IgnoredFolders ignored_;
  bool filtering_ = false;      // the kernel takes the marks
  bool mountsChanged_ = false;  // seen by mountsChanged(), not yet read
  std::thread reader_;
};

FanotifyEventSource::FanotifyEventSource(FanotifyApi& api, Clock& clock, std::string mountInfoPath)
    : api_(api), clock_(clock), mountInfoPath_(std::move(mountInfoPath)) {}

FanotifyEventSource::~FanotifyEventSource() = default;

es_new_client_result_t FanotifyEventSource::newClient(es_client_t** client,
                                                      es_handler_block_t handler) {
  if (!client || !handler) return ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT;
  std::lock_guard lock(mutex_);
  if (client_) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;

  const unsigned groupFlags = kGroupFlags;
  const unsigned eventFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NOATIME;
  int fileGroup = api_.init(groupFlags, eventFlags);
  if (fileGroup < 0 && errno == EINVAL) {
    // Older kernels refuse O_NOATIME here; reading access times is harmless.
    fileGroup = api_.init(groupFlags, eventFlags & ~O_NOATIME);
  }
  if (fileGroup < 0) {
    int error = errno;
    ZorvaError(FaultKind::EventSource, "fanotify: cannot watch file events: %@%@", errorText(error),
               error == EPERM ? std::string(" (the service needs CAP_SYS_ADMIN: run it as root)")
                              : std::string());
    return error == EPERM ? ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED
                          : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int entryGroup = api_.init(kEntryGroupFlags, 0);
  if (entryGroup < 0) {
    int error = errno;
    // Without directory-entry events renames, the commonest way data leaves a drive, would go
    // unseen: no fallback keeps the product correct.
    ZorvaError(FaultKind::EventSource,
               "fanotify: this kernel cannot report renames by directory handle (needs Linux "
               "5.17 or later): %@",
               errorText(error));
    api_.close(fileGroup);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int wakeFd = ::eventfd(0, EFD_CLOEXEC);
  int mountInfoFd = ::open(mountInfoPath_.c_str(), O_RDONLY | O_CLOEXEC);
  int rootsFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  client_ = std::make_unique<Client>(api_, clock_, mountInfoPath_, std::move(handler), fileGroup,
                                     entryGroup, wakeFd, mountInfoFd, rootsFd);
  client_->ignoredFolders().setWatchedFolders(folders_);
  *client = client_.get();
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

es_return_t FanotifyEventSource::subscribe(es_client_t* client, const es_event_type_t* events,
                                           uint32_t count) {
  if (!client || !events || count == 0) return ES_RETURN_ERROR;
  uint64_t wanted = 0;
  for (uint32_t i = 0; i < count; ++i) wanted |= FanotifyTranslator::bit(events[i]);
  std::lock_guard lock(mutex_);
  if (client != client_.get() || !client_->subscribe(wanted, muted_)) return ES_RETURN_ERROR;
  return ES_RETURN_SUCCESS;
}

void FanotifyEventSource::muteFolder(std::string folder) {
  std::lock_guard lock(mutex_);
  muted_.push_back(std::move(folder));
}

void FanotifyEventSource::setWatchedFolders(WatchedFolders* folders) {
  std::lock_guard lock(mutex_);
  folders_ = folders;
  if (client_) client_->ignoredFolders().setWatchedFolders(folders);
}

void FanotifyEventSource::rootsAdded() {
  std::lock_guard lock(mutex_);
  if (!client_) return;
  client_->ignoredFolders().flush();
  client_->rootsAdded();
}

EventSourceStatus FanotifyEventSource::status() const {
  std::lock_guard lock(mutex_);
  return client_ ? client_->status() : EventSourceStatus{};
}

ProcessTable::Counts FanotifyEventSource::processCounts() const {
  std::lock_guard lock(mutex_);
  return client_ ? client_->processCounts() : ProcessTable::Counts{};
}

es_return_t FanotifyEventSource::deleteClient(es_client_t* client) {
  std::unique_ptr<Client> deleted;
  {
    std::lock_guard lock(mutex_);
    if (!client || client != client_.get()) return ES_RETURN_ERROR;
    deleted = std::move(client_);
  }
  return ES_RETURN_SUCCESS;
}

}  // namespace zorva
