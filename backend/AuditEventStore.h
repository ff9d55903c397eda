#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zorva {

// Where unsent audit events wait, so that none is lost when the service stops, crashes or is
// killed: a record is written before it is queued for upload and removed only once the backend
// has accepted the batch that held it. Used from the audit queue's list queue only.
class AuditEventStore {
 public:
  struct Record {
    int64_t id;        // increasing: the order records were tracked in
    std::string json;  // the audit event as compact JSON
  };

  virtual ~AuditEventStore() = default;
  // The record's id, or nothing when it could not be stored (the failure is logged).
  virtual std::optional<int64_t> append(const std::string& json) = 0;
  // Several records in one durable write; their ids in the same order.
  virtual std::vector<std::optional<int64_t>> appendAll(const std::vector<std::string>& records) {
    std::vector<std::optional<int64_t>> ids;
    for (const std::string& json : records) ids.push_back(append(json));
    return ids;
  }
  virtual void remove(const std::vector<int64_t>& ids) = 0;
  // Every stored record, oldest first.
  virtual std::vector<Record> all() = 0;
};

class MemoryAuditEventStore final : public AuditEventStore {
 public:
  std::optional<int64_t> append(const std::string& json) override {
    records_.emplace(++last_, json);
    return last_;
  }
  void remove(const std::vector<int64_t>& ids) override {
    for (int64_t id : ids) records_.erase(id);
  }
  std::vector<Record> all() override {
    std::vector<Record> out;
    for (const auto& [id, json] : records_) out.push_back({id, json});
    return out;
  }

 private:
  int64_t last_ = 0;
  std::map<int64_t, std::string> records_;
};

// The store on disk: "audit-events.sqlite3" in the state folder, each write a durable
// transaction. A file that cannot be opened or is damaged is moved aside with an error line and
// a fresh one started, as the settings store does.
class SqliteAuditEventStore final : public AuditEventStore {
 public:
  static constexpr const char* kFileName = "audit-events.sqlite3";

  explicit SqliteAuditEventStore(const std::string& folder);
  ~SqliteAuditEventStore() override;

  std::optional<int64_t> append(const std::string& json) override;
  std::vector<std::optional<int64_t>> appendAll(const std::vector<std::string>& records) override;
  void remove(const std::vector<int64_t>& ids) override;
  std::vector<Record> all() override;

 private:
  bool open();
  void fail(const char* what);

  const std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* erase_ = nullptr;
};

}  // namespace zorva
