#include "tracking/OpenFileTable.h"

#include <algorithm>

#include "platform/log/Log.h"

namespace zorva {

PathInfo* OpenFileTable::find(uint32_t ppid, std::string_view lowerPath) {
  auto table = _tables.find(ppid);
  if (table == _tables.end()) return nullptr;
  auto record = table->second.find(lowerPath);
  return record == table->second.end() ? nullptr : &record->second;
}

PathInfo& OpenFileTable::insert(uint32_t ppid, uint32_t pid, std::string lowerPath, CasedPath path,
                                WatchRef watchInfo) {
  PathInfo record;
  record.watchInfo = std::move(watchInfo);
  record.path = std::move(path);
  record.opener = pid;
  ProcessTable& table = _tables[ppid];
  if (auto old = table.find(lowerPath); old != table.end()) dropOpener(old->second.opener, ppid);
  addOpener(pid, ppid);
  return table.insert_or_assign(std::move(lowerPath), std::move(record)).first->second;
}

void OpenFileTable::reopen(uint32_t ppid, PathInfo& record, uint32_t pid) {
  // The latest opener is the one a copy in progress is made by.
  if (record.opener == pid) return;
  dropOpener(record.opener, ppid);
  addOpener(pid, ppid);
  record.opener = pid;
}

void OpenFileTable::addOpener(uint32_t pid, uint32_t ppid) {
  auto [first, last] = _openers.equal_range(pid);
  for (auto entry = first; entry != last; ++entry) {
    if (entry->second.ppid == ppid) {
      entry->second.records += 1;
      return;
    }
  }
  _openers.emplace(pid, OpenerEntry{ppid, 1});
}

void OpenFileTable::dropOpener(uint32_t pid, uint32_t ppid) {
  auto [first, last] = _openers.equal_range(pid);
  for (auto entry = first; entry != last; ++entry) {
    if (entry->second.ppid != ppid) continue;
    if (--entry->second.records == 0) _openers.erase(entry);
    return;
  }
}

void OpenFileTable::collect(uint32_t ppid, std::optional<uint32_t> opener,
                            std::string_view closedName, uint64_t size, int64_t threshold,
                            size_t groupStart, std::deque<Candidate>& found) {
  auto table = _tables.find(ppid);
  if (table == _tables.end()) return;
  ProcessTable& records = table->second;
  for (auto entry = records.begin(); entry != records.end();) {
    const auto& [key, record] = *entry;
    if (record.openCount == 0 && record.lastClose < threshold) {
      ZorvaLog("culling %@, old_time: %ld, lastClose: %ld", key, threshold, record.lastClose);
      dropOpener(record.opener, ppid);
      entry = records.erase(entry);
      continue;
    }
    // A file the family wrote onto a watched root is a copy coming in: its bytes equal those of
    // the file it was copied from, which is no copy of it. (A write merged with its open by the
    // kernel is seen only at the end of its batch, after the copy that followed it.)
    if (record.size == size && !record.written && (!opener || record.opener == *opener)) {
      // A copy usually keeps its source's name: compare those first.
      Candidate candidate{record.path.restore(key), record.watchInfo, record.opened, ppid,
                          record.openCount > 0 ? record.lastOpen : 0};
      if (lastComponent(key) == closedName) {
        found.insert(found.begin() + static_cast<std::ptrdiff_t>(groupStart), std::move(candidate));
      } else {
        found.push_back(std::move(candidate));
      }
    }
    ++entry;
  }
  if (records.empty()) _tables.erase(table);
}

std::vector<OpenFileTable::Candidate> OpenFileTable::candidates(const Lineage& closer,
                                                                std::string_view closedName,
                                                                uint64_t size, int64_t now) {
  const int64_t threshold = now - kStaleSeconds;
  const auto pid = static_cast<uint32_t>(closer.pid);
  const auto ppid = static_cast<uint32_t>(closer.ppid);
  std::deque<Candidate> found;
  collect(ppid, std::nullopt, closedName, size, threshold, 0, found);
  // Then the rest of the family as one group, with its own same-named records at its front.
  const size_t kin = found.size();
  // A process whose parent is unknown is its own key: its table was searched just above.
  if (pid != ppid) collect(pid, std::nullopt, closedName, size, threshold, kin, found);
  // An ancestor's own opens lie in its parent's table, beside its siblings' which are no kin of
  // the closer's: the index says where, and only the ancestor's records count. Tables searched
  // whole above already gave theirs. Culling changes the index, so the tables are listed first.
  std::vector<std::pair<uint32_t, uint32_t>> ancestorTables;  // table, opener
  const auto ancestors = closer.ancestors();
  for (size_t i = 0; i < ancestors.size(); ++i) {
    const auto ancestor = static_cast<uint32_t>(ancestors[i]);
    if (ancestor == 0 || ancestor == pid || (i > 0 && ancestors[i] == ancestors[i - 1])) break;
    auto [first, last] = _openers.equal_range(ancestor);
    for (auto entry = first; entry != last; ++entry) {
      if (entry->second.ppid != ppid && entry->second.ppid != pid) {
        ancestorTables.emplace_back(entry->second.ppid, ancestor);
      }
    }
  }
  for (auto [table, opener] : ancestorTables) {
    collect(table, opener, closedName, size, threshold, kin, found);
  }
  return {std::make_move_iterator(found.begin()), std::make_move_iterator(found.end())};
}

size_t OpenFileTable::recordCount() const {
  size_t count = 0;
  for (const auto& [ppid, table] : _tables) count += table.size();
  return count;
}

}  // namespace zorva
