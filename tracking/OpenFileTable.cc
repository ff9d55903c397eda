#include "tracking/OpenFileTable.h"

#include <deque>

#include "service/Log.h"

namespace zorva {

PathInfo* OpenFileTable::find(uint32_t pid, std::string_view lowerPath) {
  auto table = tables_.find(pid);
  if (table == tables_.end()) return nullptr;
  auto record = table->second.find(lowerPath);
  return record == table->second.end() ? nullptr : &record->second;
}

PathInfo& OpenFileTable::insert(uint32_t pid, std::string lowerPath, CasedPath path,
                                const WatchInfo* watchInfo) {
  PathInfo record;
  record.watchInfo = watchInfo;
  record.path = std::move(path);
  return tables_[pid].insert_or_assign(std::move(lowerPath), std::move(record)).first->second;
}

std::vector<OpenFileTable::Candidate> OpenFileTable::candidates(uint32_t pid,
                                                                std::string_view closedName,
                                                                uint64_t size, int64_t now) {
  auto table = tables_.find(pid);
  if (table == tables_.end()) return {};
  const int64_t threshold = now - kStaleSeconds;
  std::deque<Candidate> ordered;
  ProcessTable& records = table->second;
  for (auto entry = records.begin(); entry != records.end();) {
    const auto& [key, record] = *entry;
    if (record.openCount == 0 && record.lastClose < threshold) {
      ZorvaLog("culling %@, old_time: %ld, lastClose: %ld", key, threshold, record.lastClose);
      entry = records.erase(entry);
      continue;
    }
    if (record.size == size) {
      // A copy usually keeps its source's name: compare those first.
      Candidate candidate{record.path.restore(key), record.watchInfo};
      if (lastComponent(key) == closedName) {
        ordered.push_front(std::move(candidate));
      } else {
        ordered.push_back(std::move(candidate));
      }
    }
    ++entry;
  }
  if (records.empty()) tables_.erase(table);
  return {std::make_move_iterator(ordered.begin()), std::make_move_iterator(ordered.end())};
}

size_t OpenFileTable::recordCount() const {
  size_t count = 0;
  for (const auto& [pid, table] : tables_) count += table.size();
  return count;
}

}  // namespace zorva
