#pragma once

#include <map>

#include "backend/AuditEventStore.h"

namespace zorva {

// For tests: the audit-event store in memory, which a test can lock as another process would.
class MemoryAuditEventStore final : public AuditEventStore {
 public:
  std::optional<int64_t> append(const std::string& json) override {
    if (locked_) return std::nullopt;
    records_.emplace(++last_, json);
    return last_;
  }
  void remove(const std::vector<int64_t>& ids) override {
    if (locked_) return;
    for (int64_t id : ids) records_.erase(id);
  }
  // While set, the store can be neither read nor written, as while another process holds it.
  void setLocked(bool locked) { locked_ = locked; }
  std::optional<std::vector<Record>> all() override {
    if (locked_) return std::nullopt;
    std::vector<Record> out;
    for (const auto& [id, json] : records_) out.push_back({id, json});
    return out;
  }

 private:
  int64_t last_ = 0;
  std::map<int64_t, std::string> records_;
  bool locked_ = false;
};

}  // namespace zorva
