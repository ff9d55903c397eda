#pragma once

#include <string_view>

namespace zorva {

// What an event source asks of whoever knows the watched roots, so that it can have the kernel
// stop reporting events that cannot matter. Both are asked on the event source's own thread.
class WatchedFolders {
 public:
  virtual ~WatchedFolders() = default;

  // Whether a file directly in `folder` (a full path, no trailing "/") may lie under a root.
  virtual bool holdsWatchedFiles(std::string_view folder) = 0;
  // Whether `folder` or anything below it may lie under a root.
  virtual bool mayHoldWatchedFiles(std::string_view folder) = 0;
  // Whether a modified close may matter now, wherever its file is. Asked for each one, in the
  // order of the events: false drops it before its path is even read.
  virtual bool writesMayMatter() = 0;
  // The events of one read have all been delivered: what they led to may be handed on now,
  // together, rather than event by event.
  virtual void batchDelivered() {}
};

// An event source that has the kernel drop the opens and unmodified closes of files in folders
// that hold no watched file. Such events can have no effect: a file under no root has no record,
// and an unmodified close of a file without a record does nothing. Modified closes, opens for
// execution, renames, creations and deletions are always reported.
class FolderFilter {
 public:
  virtual ~FolderFilter() = default;

  // Who says which folders matter; null stops the filtering. Set before subscribing.
  virtual void setWatchedFolders(WatchedFolders* folders) = 0;
  // Call once roots were added and are visible to `holdsWatchedFiles`: returns when the kernel
  // drops no event of a file under them any more.
  virtual void rootsAdded() = 0;
};

}  // namespace zorva
