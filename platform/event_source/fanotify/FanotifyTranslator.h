#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/event_source/OwnedMessage.h"
#include "platform/event_source/fanotify/DriveFolders.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/FanotifyDecoder.h"
#include "platform/event_source/fanotify/IgnoredFolders.h"
#include "platform/event_source/fanotify/ProcessTable.h"

namespace zorva {

// Turns decoded fanotify records into event messages, in the order their events happened:
//   open and close records (one descriptor each) become OPEN and CLOSE, an open before the
//   closes the kernel merged into the same record;
//   rename records become RENAME, or one EXCHANGEDATA for the two back-to-back records of an
//   exchange (a to b, then b to a, by one process);
//   deletions become UNLINK, and creations of a name that has other links become LINK.
// Every descriptor a record carries is closed, whatever becomes of the record, unless a handler
// kept the open file behind an OPEN or CLOSE message (es_file_t's `opened`); then it is closed
// when the handler lets go of it. Opens for execution name the acting process's program in the
// process table.
class FanotifyTranslator {
 public:
  using Deliver = std::function<void(const es_message_t&)>;

  FanotifyTranslator(FanotifyApi& api, ProcessTable& processes, pid_t ownPid, Deliver deliver);

  // Which message types to build (bits of 1 << es_event_type_t, for the types below 64 and
  // COPYFILE's own bit); others are dropped.
  void setWanted(uint64_t wanted) { _wanted = wanted; }
  static uint64_t bit(es_event_type_t type);

  // Where directory handles of a filesystem are opened from. The mount is opened only while a
  // handle is resolved, so a watched drive can still be unmounted.
  void setMount(uint64_t fsid, std::string mountPoint) { _mounts[fsid] = std::move(mountPoint); }
  void removeMount(uint64_t fsid) { _mounts.erase(fsid); }

  // Where the folders whose quiet events cannot matter are marked; null marks none.
  void setIgnoredFolders(IgnoredFolders* ignored) { _ignored = ignored; }

  // `drive` is the drive whose own group the batch was read from, if any.
  void translate(FanotifyBatch& batch, const DriveFolders::Drive* drive = nullptr);
  // Delivers a rename held back to see whether its exchange partner follows.
  void flush();

  uint64_t overflows() const { return _overflows; }
  uint64_t staleHandles() const { return _staleHandles; }

 private:
  struct Rename {
    pid_t pid;
    std::vector<unsigned char> file;  // the moved file's handle, when the kernel gives it
    std::string from;                 // full paths
    std::string toDir;
    std::string toName;
    std::string to() const;
  };

  void fileRecord(const FanotifyRecord& record);
  // Whether `path` leads to `file` in the service's own view of the file tree; for a removed
  // file, whether its folder lies on the file's filesystem.
  bool namesHere(const std::string& path, const struct stat& file, bool removed);
  void entryRecord(const FanotifyRecord& record);
  void rename(pid_t pid, const FanotifyRecord::Info& from, const FanotifyRecord::Info& to,
              const FanotifyRecord::Info* file, bool folder);
  void renamedOffDrive(pid_t pid, const FanotifyRecord::Info& from,
                       const FanotifyRecord::Info* file);
  void renamed(Rename current, bool folder);
  void deliverRename(const Rename& rename);
  // A folder removed before its event was read is the ordinary fate of `rm -r`, not a fault.
  struct Directory {
    std::optional<std::string> path;
    bool gone = false;
  };
  const Directory& directoryOf(const FanotifyRecord::Info& info);
  void unresolved(const Directory& directory);
  std::unique_ptr<OwnedMessage> message(es_event_type_t type, pid_t pid);
  bool wants(es_event_type_t type) const { return (_wanted & bit(type)) != 0; }
  void note(const char* what, uint64_t* count);

  FanotifyApi& _api;
  ProcessTable& _processes;
  const pid_t _ownPid;
  const Deliver _deliver;
  uint64_t _wanted = 0;
  IgnoredFolders* _ignored = nullptr;
  std::map<uint64_t, std::string> _mounts;
  const DriveFolders::Drive* _drive = nullptr;  // for the batch being translated
  // For one batch only: the directories resolved, which a batch names again and again.
  std::map<std::vector<unsigned char>, Directory> _directories;
  void endBatch();
  // Modified closes the kernel merged into their open, delivered when the batch ends, with the
  // open file they were reported with.
  struct HeldWrite {
    std::unique_ptr<OwnedMessage> message;
    std::unique_ptr<EventFile> file;
  };
  std::vector<HeldWrite> _mergedWrites;
  std::optional<Rename> _pending;
  uint64_t _overflows = 0;
  uint64_t _unresolved = 0;
  uint64_t _staleHandles = 0;
  uint64_t _malformed = 0;
};

// Directory, "/", name: the path of a directory entry.
std::string entryPath(const std::string& directory, const std::string& name);

}  // namespace zorva
