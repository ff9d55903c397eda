#pragma once

#include <algorithm>

#include "backend/AuditEventStore.h"

namespace zorva {

// For tests: the audit-event store in memory, which a test can lock as another process would.
class MemoryAuditEventStore final : public AuditEventStore {
 public:
  std::optional<int64_t> append(const std::string& json) override {
    if (locked) return std::nullopt;
    _records.push_back({++_last, json});
    return _last;
  }
  void remove(const std::vector<int64_t>& ids) override {
    if (locked) return;
    std::erase_if(_records,
                  [&](const Record& record) { return std::ranges::count(ids, record.id); });
  }
  std::optional<std::vector<Record>> all() override {
    return locked ? std::nullopt : std::optional(_records);
  }

  bool locked = false;  // neither readable nor writable, as while another process holds it

 private:
  int64_t _last = 0;
  std::vector<Record> _records;  // in the order of their ids
};

}  // namespace zorva
