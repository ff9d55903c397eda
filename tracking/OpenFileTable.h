#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tracking/PathInfo.h"
#include "tracking/PathKey.h"

namespace zorva {

// Per process number, the files on watched roots opened under it: the memory from which a copy's
// candidate sources are found. Confined to the tracker's watch queue.
//
// A process table exists only while it holds a record, so a busy machine's stream of short-lived
// processes opening unwatched files leaves nothing behind.
class OpenFileTable {
 public:
  struct Candidate {
    std::string path;
    const WatchInfo* watchInfo;
  };

  // Records live no longer than this after their last close, unless still open.
  static constexpr int64_t kStaleSeconds = 60;

  PathInfo* find(uint32_t pid, std::string_view lowerPath);
  PathInfo& insert(uint32_t pid, std::string lowerPath, CasedPath path, const WatchInfo* watchInfo);

  // For a modified file that `pid` closed and does not track: culls the table's stale records and
  // returns the others of the same size, those with the closed file's name first.
  std::vector<Candidate> candidates(uint32_t pid, std::string_view closedName, uint64_t size,
                                    int64_t now);

  size_t processCount() const { return tables_.size(); }
  size_t recordCount() const;

 private:
  using ProcessTable = PathMap<PathInfo>;  // keyed by the lower-cased path
  std::unordered_map<uint32_t, ProcessTable> tables_;
};

// The last component of a path: what follows its last "/".
inline std::string_view lastComponent(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace zorva
