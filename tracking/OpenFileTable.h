#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tracking/PathInfo.h"
#include "tracking/PathKey.h"
#include "tracking/PathTrackerInterface.h"

namespace zorva {

// Per parent process id, the files on watched roots that its children opened: the memory from
// which a copy's candidate sources are found. Confined to the tracker's watch queue.
//
// A process table exists only while it holds a record, so a busy machine's stream of short-lived
// processes opening unwatched files leaves nothing behind.
class OpenFileTable {
 public:
  struct Candidate {
    std::string path;
    WatchRef watchInfo;
    SharedOpenFile opened;  // null when the file is compared by its path
    // Where the record is kept, and which open of it was still open when it was picked (0 if
    // none): such an open may yet turn out to have been a write.
    uint32_t table = 0;
    uint64_t unclosedOpen = 0;
  };

  // Records live no longer than this after their last close, unless still open.
  static constexpr int64_t kStaleSeconds = 60;

  PathInfo* find(uint32_t ppid, std::string_view lowerPath);
  // A new record, opened by `pid`, a child of `ppid`.
  PathInfo& insert(uint32_t ppid, uint32_t pid, std::string lowerPath, CasedPath path,
                   WatchRef watchInfo);
  // Another open of a record of `ppid`'s table, by `pid`.
  void reopen(uint32_t ppid, PathInfo& record, uint32_t pid);

  // For a modified file that `closer` closed and does not track: the records of the same size
  // that one family of processes opened, culling stale records on the way. A copy is usually
  // made by siblings or by one process, so the records of the closer's parent's table come
  // first; then those opened by the closer's children (a shell that opened the destination for a
  // command it forked) and by its parent, grandparent and great-grandparent themselves (a
  // program that reads and hands the data to a child, or a grandchild, to write). Within each
  // group, records with the closed file's name come first.
  std::vector<Candidate> candidates(const Lineage& closer, std::string_view closedName,
                                    uint64_t size, int64_t now);

  size_t processCount() const { return _tables.size(); }
  size_t recordCount() const;
  // Entries of the index from an opening process to its tables; at most one per live pair.
  size_t openerCount() const { return _openers.size(); }

 private:
  using ProcessTable = PathMap<PathInfo>;  // keyed by the lower-cased path
  // In which parent's table a process opened records, and how many of them it opened last. A
  // process has one parent (two while it is handed to a new one), so most pids have one entry.
  struct OpenerEntry {
    uint32_t ppid;
    uint32_t records;
  };

  void addOpener(uint32_t pid, uint32_t ppid);
  void dropOpener(uint32_t pid, uint32_t ppid);
  // Culls `ppid`'s table and adds to `found` its records of `size` (only those opened by
  // `opener`, when given), the same-named at `groupStart`; an emptied table is removed.
  void collect(uint32_t ppid, std::optional<uint32_t> opener, std::string_view closedName,
               uint64_t size, int64_t threshold, size_t groupStart, std::deque<Candidate>& found);

  std::unordered_map<uint32_t, ProcessTable> _tables;
  std::unordered_multimap<uint32_t, OpenerEntry> _openers;  // keyed by the opening process id
};

// The last component of a path: what follows its last "/".
inline std::string_view lastComponent(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace zorva
