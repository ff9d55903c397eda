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

#include "platform/event_source/fanotify/FanotifyDecoder.h"
#include "platform/event_source/fanotify/FanotifyTranslator.h"
#include "platform/event_source/fanotify/IgnoredFolders.h"
#include "platform/event_source/fanotify/MountTable.h"
#include "platform/event_source/fanotify/ProcessTable.h"
#include "service/Log.h"

namespace zorva {
namespace {

std::string errorText(int error) { return std::system_category().message(error); }

constexpr size_t kReadSize = size_t{256} * 1024;
// How long events gather after a read before the next: well below anything a person notices.
constexpr int kGatherMs = 1;

}  // namespace

class FanotifyEventSource::Client final : public es_client_t {
 public:
  Client(FanotifyApi& api, Clock& clock, std::string mountInfoPath, es_handler_block_t handler,
         int fileGroup, int entryGroup, int wakeFd, int mountInfoFd)
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
        ignored_(api, fileGroup, entryGroup) {
    ignored_.setMountsChanged([this] { return mountsChanged(); });
  }

  ~Client() override {
    stop();
    for (int fd : {fileGroup_, entryGroup_, wakeFd_, mountInfoFd_}) {
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
    if (markMounts() == 0) {
      ZorvaError("fanotify: no filesystem could be watched");
      return false;
    }
    if ((fileMask_ & FAN_OPEN) && ignored_.probe(marked_.begin()->second.mountPoint)) {
      translator_.setIgnoredFolders(&ignored_);
      filtering_ = true;
    }
    // After the probe, whose flush would take these marks too.
    for (const std::string& folder : muted) {
      if (fileMask_ != 0 && !ignored_.mute(folder)) {
        ZorvaError(
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

  // Safe from any thread: a copy the reader makes after each pass.
  ProcessTable::Counts processCounts() const {
    std::lock_guard lock(countsMutex_);
    return counts_;
  }

 private:
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
      ZorvaError("fanotify: cannot read %@", mountInfoPath_);
      return marked_.size();
    }
    std::map<dev_t, Marked> mounted;
    std::map<dev_t, int> folderMounts;  // a file bound over another is no second way in
    for (const Mount& mount : parseMountInfo(*text)) {
      if (!canHoldUserFiles(mount.fsType)) continue;
      struct stat status {};
      if (api_.stat(mount.mountPoint, &status) != 0) continue;
      if (S_ISDIR(status.st_mode)) ++folderMounts[status.st_dev];
      if (auto known = marked_.find(status.st_dev); known != marked_.end()) {
        mounted.insert(*known);
        continue;
      }
      if (mounted.contains(status.st_dev)) continue;
      if (fileMask_ != 0 && !markFiles(mount.mountPoint)) {
        ZorvaError("fanotify: cannot watch %@ (%@): %@", mount.mountPoint, mount.fsType,
                   errorText(errno));
        continue;
      }
      uint64_t fsid = 0;
      // Filesystems without file handles (some network and FUSE ones) still report opens and
      // closes, the events copies are found by; only their renames and links go unseen.
      if (entryMask_ != 0 && api_.mark(entryGroup_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, entryMask_,
                                       mount.mountPoint) != 0) {
        ZorvaLog("fanotify: renames on %@ (%@) cannot be followed: %@", mount.mountPoint,
                 mount.fsType, errorText(errno));
      } else if (int fd = api_.openPath(mount.mountPoint); fd >= 0) {
        fsid = api_.filesystemId(fd).value_or(0);
        api_.close(fd);
        if (fsid != 0) translator_.setMount(fsid, mount.mountPoint);
      }
      mounted.emplace(status.st_dev, Marked{fsid, mount.mountPoint});
    }
    // The kernel drops the marks of an unmounted filesystem; a later one may reuse its device.
    for (const auto& [device, marked] : marked_) {
      if (!mounted.contains(device) && marked.fsid != 0) translator_.removeMount(marked.fsid);
    }
    marked_ = std::move(mounted);
    std::set<dev_t> aliased;
    std::set<uint64_t> aliasedIds;
    for (const auto& [device, count] : folderMounts) {
      if (count <= 1) continue;
      aliased.insert(device);
      if (auto known = marked_.find(device); known != marked_.end() && known->second.fsid != 0) {
        aliasedIds.insert(known->second.fsid);
      }
    }
    ignored_.setAliased(std::move(aliased), std::move(aliasedIds));
    return marked_.size();
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
  bool readBatch(int group) {
    const uint64_t before = api_.monotonicNanoseconds();
    const ssize_t got = api_.read(group, buffer_.data(), buffer_.size());
    if (got <= 0) {
      if (got < 0 && errno != EAGAIN && errno != EINTR) {
        ZorvaError("fanotify: reading events failed: %@", errorText(errno));
      }
      // Nothing queued before this read is left unread.
      emptyAt_[group == fileGroup_ ? 0 : 1] = before;
      return false;
    }
    const uint64_t readAt = api_.monotonicNanoseconds();
    processes_.receive();
    processes_.advanceTo(readAt);
    FanotifyBatch batch =
        decodeFanotifyBuffer(std::span<const std::byte>(buffer_.data(), static_cast<size_t>(got)));
    translator_.translate(batch);
    return true;
  }

  // Takes turns between the two groups until both are empty, so a flood of opens cannot hold back
  // the renames that name where a copy went.
  void drainGroups() {
    bool files = true;
    bool entries = true;
    while (files || entries) {
      if (files) files = readBatch(fileGroup_);
      if (entries) entries = readBatch(entryGroup_);
    }
    translator_.flush();
    // A rename held back to pair it with the next one is out now, and handed on with the rest.
    if (filtering_) ignored_.endBatch();
    processes_.receive();
    processes_.settle(std::min(emptyAt_[0], emptyAt_[1]));
    std::lock_guard lock(countsMutex_);
    counts_ = processes_.counts();
  }

  void run() {
    std::array<pollfd, 5> fds = {pollfd{fileGroup_, POLLIN, 0}, pollfd{entryGroup_, POLLIN, 0},
                                 pollfd{mountInfoFd_, POLLPRI, 0}, pollfd{wakeFd_, POLLIN, 0},
                                 pollfd{processes_.connectorFd(), POLLIN, 0}};
    for (;;) {
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        ZorvaError("fanotify: waiting for events failed: %@", errorText(errno));
        return;
      }
      if (fds[3].revents != 0) return;
      // The mount table changed: a drive was plugged in, an image or a folder mounted. It is read
      // once the events queued before are handled; until then no folder is marked.
      if (fds[2].revents & (POLLPRI | POLLERR)) mountsChanged_ = true;
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
  uint64_t fileMask_ = 0;
  uint64_t entryMask_ = 0;
  struct Marked {
    uint64_t fsid;  // as handles carry it; 0 when renames cannot be followed there
    std::string mountPoint;
  };
  std::map<dev_t, Marked> marked_;  // watched filesystems, by device
  std::vector<std::byte> buffer_ = std::vector<std::byte>(kReadSize);
  uint64_t emptyAt_[2] = {0, 0};  // when each group was last read empty (file, entry)
  mutable std::mutex countsMutex_;
  ProcessTable::Counts counts_;
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

  // An unbounded kernel queue: a burst (a folder of thousands of files copied at once) waits
  // for the reader instead of being dropped, since a lost event can be a lost transfer.
  const unsigned groupFlags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE;
  const unsigned eventFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NOATIME;
  int fileGroup = api_.init(groupFlags, eventFlags);
  if (fileGroup < 0 && errno == EINVAL) {
    // Older kernels refuse O_NOATIME here; reading access times is harmless.
    fileGroup = api_.init(groupFlags, eventFlags & ~O_NOATIME);
  }
  if (fileGroup < 0) {
    int error = errno;
    ZorvaError("fanotify: cannot watch file events: %@%@", errorText(error),
               error == EPERM ? std::string(" (the service needs CAP_SYS_ADMIN: run it as root)")
                              : std::string());
    return error == EPERM ? ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED
                          : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int entryGroup = api_.init(groupFlags | FAN_REPORT_DFID_NAME_TARGET, 0);
  if (entryGroup < 0) {
    int error = errno;
    // Without directory-entry events renames, the commonest way data leaves a drive, would go
    // unseen: no fallback keeps the product correct.
    ZorvaError(
        "fanotify: this kernel cannot report renames by directory handle (needs Linux "
        "5.17 or later): %@",
        errorText(error));
    api_.close(fileGroup);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  int wakeFd = ::eventfd(0, EFD_CLOEXEC);
  int mountInfoFd = ::open(mountInfoPath_.c_str(), O_RDONLY | O_CLOEXEC);
  client_ = std::make_unique<Client>(api_, clock_, mountInfoPath_, std::move(handler), fileGroup,
                                     entryGroup, wakeFd, mountInfoFd);
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
  if (client_) client_->ignoredFolders().flush();
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
