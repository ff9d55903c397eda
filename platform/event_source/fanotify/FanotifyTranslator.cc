#include "platform/event_source/fanotify/FanotifyTranslator.h"

#include <linux/fanotify.h>

#include <cerrno>
#include <string_view>

#include "platform/log/Log.h"

namespace zorva {
namespace {

constexpr std::string_view kDeleted = " (deleted)";
// Events about folders already gone are expected after rm -r: said once per this many.
constexpr uint64_t kLogEveryStaleHandles = 10000;

// Closes a record's descriptor when it goes out of scope, on every path, unless a handler kept the
// open file: then the last holder closes it.
class RecordFd final : public EventFile {
 public:
  RecordFd(FanotifyApi& api, int fd) : _api(api), _fd(fd) {}
  ~RecordFd() override {
    if (_fd >= 0 && !_retained) _api.close(_fd);
  }
  RecordFd(const RecordFd&) = delete;
  RecordFd& operator=(const RecordFd&) = delete;
  int get() const { return _fd; }

  SharedOpenFile retain() const override {
    if (!_retained && _fd >= 0) {
      _retained = std::make_shared<const OpenFile>(_fd, [&api = _api](int fd) { api.close(fd); });
    }
    return _retained;
  }

 private:
  FanotifyApi& _api;
  int _fd;
  mutable SharedOpenFile _retained;
};

// An open file already kept, for a message delivered after its record was handled.
class KeptFile final : public EventFile {
 public:
  explicit KeptFile(SharedOpenFile file) : _file(std::move(file)) {}
  SharedOpenFile retain() const override { return _file; }

 private:
  SharedOpenFile _file;
};

}  // namespace

std::string entryPath(const std::string& directory, const std::string& name) {
  std::string path = directory;
  if (!path.ends_with('/')) path.push_back('/');
  return path.append(name);
}

std::string FanotifyTranslator::Rename::to() const { return entryPath(toDir, toName); }

FanotifyTranslator::FanotifyTranslator(FanotifyApi& api, ProcessTable& processes, pid_t ownPid,
                                       Deliver deliver)
    : _api(api), _processes(processes), _ownPid(ownPid), _deliver(std::move(deliver)) {}

uint64_t FanotifyTranslator::bit(es_event_type_t type) {
  return type < 63 ? uint64_t{1} << type : uint64_t{1} << 63;
}

// Logs the 1st, 10th, 100th... time something goes wrong, so a storm cannot flood the log.
void FanotifyTranslator::note(const char* what, uint64_t* count) {
  ++*count;
  for (uint64_t power = 1; power <= *count; power *= 10) {
    if (power == *count) {
      ZorvaError(FaultKind::EventSource, "fanotify: %s (%ld so far)", what,
                 static_cast<int64_t>(*count));
      return;
    }
  }
}

std::unique_ptr<OwnedMessage> FanotifyTranslator::message(es_event_type_t type, pid_t pid) {
  const ProcessTable::Process process = _processes.lookup(pid);
  auto message = std::make_unique<OwnedMessage>(type);
  message->setExecutable(process.program->path, process.program->platform);
  es_process_t& acting = message->process();
  acting.pid = pid;
  acting.ppid = process.ppid;
  acting.grandparent = process.grandparent;
  acting.great_grandparent = process.greatGrandparent;
  return message;
}

void FanotifyTranslator::translate(FanotifyBatch& batch, const DriveFolders::Drive* drive) {
  _drive = drive;
  for (int fd : batch.strayFds) _api.close(fd);
  if (batch.malformed > 0) note("a record could not be decoded", &_malformed);
  for (const FanotifyRecord& record : batch.records) {
    if (record.isOverflow()) {
      ++_overflows;
      ZorvaError(FaultKind::EventSource,
                 "fanotify: the kernel's event queue overflowed and events were lost (%ld so far)",
                 static_cast<int64_t>(_overflows));
      continue;
    }
    // A rename waits only for its exchange partner, which comes next if at all: anything else
    // lets it go first, so messages keep the order of their events.
    if (!(record.mask & FAN_RENAME)) flush();
    if (record.fd != FAN_NOFD) {
      fileRecord(record);
    } else {
      entryRecord(record);
    }
  }
  endBatch();
}

bool FanotifyTranslator::namesHere(const std::string& path, const struct stat& file, bool removed) {
  struct stat named {};
  if (!removed) {
    return _api.stat(path, &named) == 0 && named.st_ino == file.st_ino &&
           named.st_dev == file.st_dev;
  }
  const size_t slash = path.rfind('/');
  return slash != std::string::npos &&
         _api.stat(slash == 0 ? "/" : path.substr(0, slash), &named) == 0 &&
         named.st_dev == file.st_dev;
}

void FanotifyTranslator::fileRecord(const FanotifyRecord& record) {
  RecordFd fd(_api, record.fd);
  if (record.pid == _ownPid) return;
  const bool exec = (record.mask & FAN_OPEN_EXEC) != 0;
  const bool open = (record.mask & FAN_OPEN) && wants(ES_EVENT_TYPE_NOTIFY_OPEN);
  const bool close =
      (record.mask & (FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE)) && wants(ES_EVENT_TYPE_NOTIFY_CLOSE);
  if (!exec && !open && !close) return;
  // A write alone, while no watched file is open or recently closed and no root wants to hear of
  // changes, can have no effect: not even its path is read.
  if (record.mask == FAN_CLOSE_WRITE && _ignored && _ignored->writesCannotMatter()) return;
  // Any exec after an ordinary open is a new program, not the loader of the last one.
  if ((record.mask & FAN_OPEN) && !exec) _processes.opened(record.pid);

  struct stat status {};
  std::optional<std::string> path = _api.readLink("/proc/self/fd/" + std::to_string(fd.get()));
  if (!path || _api.fstat(fd.get(), &status) != 0) {
    note("the path of an event's file could not be read", &_unresolved);
    return;
  }
  // A name removed before its event was read is marked by the kernel; the file may still have
  // other names, and a file may really be called "x (deleted)": the mark is taken off unless the
  // full name still leads to this very file.
  bool removed = false;
  if (path->ends_with(kDeleted)) {
    struct stat named {};
    if (status.st_nlink == 0 || _api.stat(*path, &named) != 0 || named.st_ino != status.st_ino ||
        named.st_dev != status.st_dev) {
      path->resize(path->size() - kDeleted.size());
      removed = true;
    }
  }
  // A file of a mount the service cannot see (an overlay's own writes to its upper folder, a
  // detached mount) is named from that mount's root: here the name leads elsewhere or nowhere,
  // and a write there is no copy anyone could find.
  if ((record.mask & FAN_CLOSE_WRITE) && !namesHere(*path, status, removed)) return;
  // The descriptor names the program even when the process is gone by now, and the kernel
  // reports the open before the process runs it: its own open of the program counts as its.
  if (exec) _processes.execOpened(record.pid, *path, status, ProcessTable::imageOf(_api, fd.get()));

  if (open) {
    auto message = this->message(ES_EVENT_TYPE_NOTIFY_OPEN, record.pid);
    message->message().event.open = {message->file(*path, status, &fd), 0};
    _deliver(message->message());
  }
  // Two closes merged into one record: which came first is unknown; the modified one last.
  for (uint64_t bit : {uint64_t{FAN_CLOSE_NOWRITE}, uint64_t{FAN_CLOSE_WRITE}}) {
    if (!close || !(record.mask & bit)) continue;
    auto message = this->message(ES_EVENT_TYPE_NOTIFY_CLOSE, record.pid);
    // A write merged into its open stands where the open was queued, yet it happened after
    // everything queued since: `sh -c 'cat a > b'` opens b, then a, and closes b last. Held to
    // the end of the batch, it follows the open of the file it copies, as it did on disk.
    if (open && bit == FAN_CLOSE_WRITE) {
      auto kept = std::make_unique<KeptFile>(fd.retain());
      message->message().event.close = {true, message->file(*path, status, kept.get())};
      _mergedWrites.push_back({std::move(message), std::move(kept)});
      continue;
    }
    message->message().event.close = {bit == FAN_CLOSE_WRITE, message->file(*path, status, &fd)};
    _deliver(message->message());
  }
  if (_ignored && (record.mask & (FAN_OPEN | FAN_CLOSE_NOWRITE))) {
    const size_t slash = path->rfind('/');
    _ignored->quietEvent(slash == 0 ? "/" : path->substr(0, slash), status.st_dev);
  }
}

const FanotifyTranslator::Directory& FanotifyTranslator::directoryOf(
    const FanotifyRecord::Info& info) {
  auto known = _directories.find(info.handle);
  if (known != _directories.end()) return known->second;
  Directory& directory = _directories[info.handle];
  const std::string* mountPoint = nullptr;
  if (_drive) {
    if (const std::string* marked = _drive->folder(info.handle)) {
      directory.path = *marked;
      return directory;
    }
    if (_drive->handlesOpen) mountPoint = &_drive->mountPoint;
  } else if (auto mount = _mounts.find(info.fsid); mount != _mounts.end()) {
    mountPoint = &mount->second;
  }
  if (!mountPoint) return directory;
  // Open only for this resolution: a watched drive must stay unmountable at every moment.
  RecordFd mountFd(_api, _api.openPath(*mountPoint));
  if (mountFd.get() < 0) return directory;
  int fd = _api.openByHandle(mountFd.get(), info.handle);
  if (fd < 0) {
    directory.gone = errno == ESTALE;
    return directory;
  }
  RecordFd owned(_api, fd);
  directory.path = _api.readLink("/proc/self/fd/" + std::to_string(fd));
  if (directory.path && directory.path->ends_with(kDeleted)) {
    directory.path.reset();
    directory.gone = true;
  }
  return directory;
}

void FanotifyTranslator::unresolved(const Directory& directory) {
  if (!directory.gone) {
    note("a directory handle could not be resolved", &_unresolved);
    return;
  }
  // Whatever happened in a folder that is gone left nothing behind to follow.
  if (++_staleHandles % kLogEveryStaleHandles == 1) {
    ZorvaLog("fanotify: %ld events named a folder removed before they were read",
             static_cast<int64_t>(_staleHandles));
  }
}

void FanotifyTranslator::endBatch() {
  _directories.clear();
  for (const HeldWrite& write : _mergedWrites) _deliver(write.message->message());
  _mergedWrites.clear();
  if (_ignored) _ignored->endBatch();
}

void FanotifyTranslator::entryRecord(const FanotifyRecord& record) {
  if (record.pid == _ownPid) return;
  if (record.mask & FAN_RENAME) {
    const auto* from = record.info(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME);
    const auto* to = record.info(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME);
    if (from && to) {
      rename(record.pid, *from, *to, record.info(FAN_EVENT_INFO_TYPE_FID),
             (record.mask & FAN_ONDIR) != 0);
    } else if (from && _drive) {
      // Only folders under roots are marked there: a rename that names no new folder left them.
      renamedOffDrive(record.pid, *from, record.info(FAN_EVENT_INFO_TYPE_FID));
    }
    if (record.mask & (FAN_CREATE | FAN_DELETE)) flush();
  }
  // Folders are watched for their moves only; their creation and removal change no file.
  if (record.mask & FAN_ONDIR) return;
  const auto* entry = record.info(FAN_EVENT_INFO_TYPE_DFID_NAME);
  if (!entry || !(record.mask & (FAN_CREATE | FAN_DELETE))) return;
  const Directory& folder = directoryOf(*entry);
  if (!folder.path) {
    unresolved(folder);
    return;
  }
  const std::string& directory = *folder.path;
  // A create and a delete of one name merged: the create came first.
  // Only a new name under a root can matter; telling a link from a new file costs a stat.
  if ((record.mask & FAN_CREATE) && wants(ES_EVENT_TYPE_NOTIFY_LINK) &&
      !(_ignored && _ignored->holdsNoWatchedFile(directory))) {
    struct stat status {};
    // A new name for a file that has other names is a hard link.
    if (_api.stat(entryPath(directory, entry->name), &status) == 0 && !S_ISDIR(status.st_mode) &&
        status.st_nlink > 1) {
      auto message = this->message(ES_EVENT_TYPE_NOTIFY_LINK, record.pid);
      message->message().event.link = {message->file(""), message->file(directory, S_IFDIR, 0),
                                       message->token(entry->name)};
      _deliver(message->message());
    }
  }
  if ((record.mask & FAN_DELETE) && wants(ES_EVENT_TYPE_NOTIFY_UNLINK)) {
    auto message = this->message(ES_EVENT_TYPE_NOTIFY_UNLINK, record.pid);
    message->message().event.unlink = {message->file(entryPath(directory, entry->name)),
                                       message->file(directory, S_IFDIR, 0)};
    _deliver(message->message());
  }
  if (_ignored && !_drive) _ignored->quietEntry(directory, entry->fsid);
}

void FanotifyTranslator::rename(pid_t pid, const FanotifyRecord::Info& from,
                                const FanotifyRecord::Info& to, const FanotifyRecord::Info* file,
                                bool folder) {
  const Directory& fromFolder = directoryOf(from);
  const Directory& toFolder = directoryOf(to);
  if (!fromFolder.path || !toFolder.path) {
    unresolved(fromFolder.path ? toFolder : fromFolder);
    return;
  }
  renamed(Rename{pid, file ? file->handle : std::vector<unsigned char>(),
                 entryPath(*fromFolder.path, from.name), *toFolder.path, to.name},
          folder);
}

void FanotifyTranslator::renamedOffDrive(pid_t pid, const FanotifyRecord::Info& from,
                                         const FanotifyRecord::Info* file) {
  const Directory& fromFolder = directoryOf(from);
  if (!fromFolder.path) {
    unresolved(fromFolder);
    return;
  }
  // Where it went is where the moved file is now. Where the kernel cannot open handles
  // (overlayfs), all that is known is that it left the roots for elsewhere on the drive.
  std::string toDir = _drive->mountPoint;
  std::string toName;
  if (file && _drive->handlesOpen) {
    RecordFd mountFd(_api, _api.openPath(_drive->mountPoint));
    RecordFd moved(_api, mountFd.get() < 0 ? -1 : _api.openByHandle(mountFd.get(), file->handle));
    std::optional<std::string> path;
    if (moved.get() >= 0) path = _api.readLink("/proc/self/fd/" + std::to_string(moved.get()));
    if (path && !path->ends_with(kDeleted) && path->rfind('/') != std::string::npos) {
      const size_t slash = path->rfind('/');
      toDir = slash == 0 ? "/" : path->substr(0, slash);
      toName = path->substr(slash + 1);
    }
  }
  renamed(Rename{pid, file ? file->handle : std::vector<unsigned char>(),
                 entryPath(*fromFolder.path, from.name), std::move(toDir), std::move(toName)},
          false);
}

void FanotifyTranslator::renamed(Rename current, bool folder) {
  const pid_t pid = current.pid;
  // Folders marked while outside every root may have just moved under one.
  if (folder && _ignored) _ignored->folderMoved(current.to());
  // An exchange arrives as two renames back to back, the second undoing the names of the first,
  // and moving another file: a file renamed there and back again is two renames.
  if (_pending && _pending->pid == pid && _pending->from == current.to() &&
      _pending->to() == current.from && !current.file.empty() && !_pending->file.empty() &&
      current.file != _pending->file) {
    if (wants(ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA)) {
      auto message = this->message(ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA, pid);
      message->message().event.exchangedata = {message->file(_pending->from),
                                               message->file(_pending->to())};
      _deliver(message->message());
    }
    _pending.reset();
    return;
  }
  flush();
  _pending = std::move(current);
}

void FanotifyTranslator::deliverRename(const Rename& rename) {
  if (!wants(ES_EVENT_TYPE_NOTIFY_RENAME)) return;
  auto message = this->message(ES_EVENT_TYPE_NOTIFY_RENAME, rename.pid);
  es_event_rename_t& event = message->message().event.rename;
  event.source = message->file(rename.from);
  event.destination_type = ES_DESTINATION_TYPE_NEW_PATH;
  event.destination.new_path.dir = message->file(rename.toDir, S_IFDIR, 0);
  event.destination.new_path.filename = message->token(rename.toName);
  _deliver(message->message());
}

void FanotifyTranslator::flush() {
  if (!_pending) return;
  Rename rename = std::move(*_pending);
  _pending.reset();
  deliverRename(rename);
}

}  // namespace zorva
