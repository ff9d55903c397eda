#pragma once

#include <map>

#include "backend/AuditEventStore.h"

namespace zorva {

// For tests: the audit-event store in memory, which a test can lock as another process would.
class MemoryAuditEventStore final : public AuditEventStore {
 public:
  std::optional<int64_t> append(const std::string& json) override {
    if (_locked) return std::nullopt;
    _records.emplace(++_last, json);
    return _last;
  }
  void remove(const std::vector<int64_t>& ids) override {
    if (_locked) return;
    for (int64_t id : ids) _records.erase(id);
  }
  // While set, the store can be neither read nor written, as while another process holds it.
  void setLocked(bool locked) { _locked = locked; }
  std::optional<std::vector<Record>> all() override {
    if (_locked) return std::nullopt;
    std::vector<Record> out;
    for (const auto& [id, json] : _records) out.push_back({id, json});
    return out;
  }

 private:
  int64_t _last = 0;
  std::map<int64_t, std::string> _records;
  bool _locked = false;
};

}  // namespace zorva
