#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sqlite/SqliteFile.h"

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
  // Every stored record, oldest first; nothing when the store cannot be read now (another
  // process holds it, an I/O error), which is not the same as an empty store.
  virtual std::optional<std::vector<Record>> all() = 0;
};

// The store on disk: "audit-events.sqlite3" in the state folder, each write a durable
// transaction. A damaged file is moved aside with an error line and a fresh one started; one that
// cannot be opened for another reason (held by another process, a full disk) is kept, and each
// call tries again.
class SqliteAuditEventStore final : public AuditEventStore {
 public:
  static constexpr const char* kFileName = "audit-events.sqlite3";
  // Records wait in memory meanwhile, so a held lock costs the queue's thread the wait only.
  static constexpr int kBusyTimeoutMs = 5000;

  explicit SqliteAuditEventStore(const std::string& folder, int busyTimeoutMs = kBusyTimeoutMs);

  std::optional<int64_t> append(const std::string& json) override;
  std::vector<std::optional<int64_t>> appendAll(const std::vector<std::string>& records) override;
  void remove(const std::vector<int64_t>& ids) override;
  std::optional<std::vector<Record>> all() override;

 private:
  // Runs `sql` and logs a failure of `what`.
  bool run(const char* sql, const char* what);
  void fail(const char* what, int code);

  SqliteFile _file;
};

}  // namespace zorva
