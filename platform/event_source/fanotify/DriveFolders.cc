#include "platform/event_source/fanotify/DriveFolders.h"

#include <sys/fanotify.h>

#include <cerrno>

#include "platform/event_source/fanotify/FanotifyTranslator.h"

namespace zorva {
namespace {

bool atOrBelow(const std::string& path, const std::string& folder) {
  return path.starts_with(folder) &&
         (path.size() == folder.size() || path[folder.size()] == '/' || folder.ends_with('/'));
}

}  // namespace

const std::string* DriveFolders::Drive::folder(const std::vector<unsigned char>& handle) const {
  auto found = folders.find(handle);
  return found == folders.end() ? nullptr : &found->second;
}

DriveFolders::DriveFolders(FanotifyApi& api, uint64_t mask, unsigned groupFlags)
    : _api(api), _mask(mask), _groupFlags(groupFlags) {}

DriveFolders::~DriveFolders() {
  for (const auto& [device, drive] : _drives) _api.close(drive->group);
}

bool DriveFolders::add(dev_t device, const std::string& mountPoint, bool handlesOpen,
                       WatchedFolders* watched) {
  if (_drives.contains(device)) return true;
  const int group = _api.init(_groupFlags, 0);
  if (group < 0) return false;
  auto drive = std::make_unique<Drive>();
  drive->group = group;
  drive->mountPoint = mountPoint;
  drive->device = device;
  drive->handlesOpen = handlesOpen;
  markBelow(*drive, mountPoint, watched);
  _drives.emplace(device, std::move(drive));
  return true;
}

void DriveFolders::keepOnly(const std::set<dev_t>& mounted) {
  std::erase_if(_drives, [&](const auto& entry) {
    if (mounted.contains(entry.first)) return false;
    _api.close(entry.second->group);
    return true;
  });
}

void DriveFolders::markRoots(WatchedFolders* watched) {
  for (const auto& [device, drive] : _drives) markBelow(*drive, drive->mountPoint, watched);
}

std::vector<DriveFolders::Drive*> DriveFolders::drives() {
  std::vector<Drive*> all;
  for (const auto& [device, drive] : _drives) all.push_back(drive.get());
  return all;
}

void DriveFolders::markBelow(Drive& drive, const std::string& top, WatchedFolders* watched) {
  if (!watched) return;
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    // Only the way down to the roots is walked; only folders whose files may be watched marked.
    if (!watched->mayHoldWatchedFiles(folder)) continue;
    if (watched->holdsWatchedFiles(folder)) {
      if (_api.mark(drive.group, FAN_MARK_ADD | FAN_MARK_ONLYDIR, _mask, folder) != 0) continue;
      if (auto handle = _api.handleOf(folder)) drive.folders.insert_or_assign(*handle, folder);
    }
    if (auto names = _api.subfolders(folder)) {
      for (const std::string& name : *names) pending.push_back(entryPath(folder, name));
    }
  }
}

void DriveFolders::forgetBelow(Drive& drive, const std::string& folder) {
  // Their marks stay with the folders wherever they went; what they report is resolved, or
  // dropped, as on any drive, and the kernel drops the marks with the folders.
  std::erase_if(drive.folders, [&](const auto& entry) { return atOrBelow(entry.second, folder); });
}

void DriveFolders::movedBelow(Drive& drive, const std::string& from, const std::string& to) {
  for (auto& [handle, path] : drive.folders) {
    if (atOrBelow(path, from)) path = to + path.substr(from.size());
  }
}

void DriveFolders::follow(Drive& drive, const FanotifyBatch& batch, WatchedFolders* watched) {
  auto pathOf = [&](const FanotifyRecord::Info* info) -> std::optional<std::string> {
    if (!info) return std::nullopt;
    const std::string* folder = drive.folder(info->handle);
    if (!folder) return std::nullopt;
    return entryPath(*folder, info->name);
  };
  for (const FanotifyRecord& record : batch.records) {
    if (!(record.mask & FAN_ONDIR)) continue;
    if (record.mask & FAN_RENAME) {
      auto from = pathOf(record.info(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME));
      auto to = pathOf(record.info(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME));
      if (from && to) {
        movedBelow(drive, *from, *to);
      } else if (to) {
        markBelow(drive, *to, watched);
      } else if (from) {
        forgetBelow(drive, *from);
      }
      continue;
    }
    auto entry = pathOf(record.info(FAN_EVENT_INFO_TYPE_DFID_NAME));
    if (!entry) continue;
    if (record.mask & FAN_DELETE) forgetBelow(drive, *entry);
    // A folder made in a marked one; `mkdir -p` may have made more below it already.
    if ((record.mask & FAN_CREATE) && !(record.mask & FAN_DELETE))
      markBelow(drive, *entry, watched);
  }
}

}  // namespace zorva
