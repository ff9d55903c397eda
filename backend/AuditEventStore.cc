#include "backend/AuditEventStore.h"

#include <cstdio>
#include <ctime>

#include "service/Log.h"

namespace zorva {

SqliteAuditEventStore::SqliteAuditEventStore(const std::string& folder)
    : path_(folder + "/" + kFileName) {
  if (open()) return;
  std::string aside = path_ + ".corrupt-" + std::to_string(std::time(nullptr));
  ZorvaError("EventQueue: audit event store %@ is unusable (%@); moved it to %@ and started afresh",
             path_, std::string(db_ ? sqlite3_errmsg(db_) : "cannot open"), aside);
  sqlite3_close_v2(db_);
  db_ = nullptr;
  for (const char* suffix : {"-wal", "-shm"}) std::remove((path_ + suffix).c_str());
  std::rename(path_.c_str(), aside.c_str());
  if (!open())
    ZorvaError("EventQueue: cannot open %@: unsent audit events are kept in memory only", path_);
}

SqliteAuditEventStore::~SqliteAuditEventStore() {
  sqlite3_finalize(insert_);
  sqlite3_finalize(erase_);
  sqlite3_close_v2(db_);
}

bool SqliteAuditEventStore::open() {
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  // WAL with a full sync on every commit: a record is on disk when append() returns.
  const char* setup =
      "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
      "CREATE TABLE IF NOT EXISTS audit_events("
      "id INTEGER PRIMARY KEY AUTOINCREMENT, record TEXT NOT NULL);";
  if (sqlite3_exec(db_, setup, nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  // A damaged page would otherwise end a read early and silently lose every record behind it.
  std::string check;
  sqlite3_exec(
      db_, "PRAGMA quick_check",
      [](void* out, int, char** values, char**) {
        static_cast<std::string*>(out)->append(values[0] ? values[0] : "");
        return 0;
      },
      &check, nullptr);
  if (check != "ok") return false;
  return sqlite3_prepare_v2(db_, "INSERT INTO audit_events(record) VALUES(?1)", -1, &insert_,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db_, "DELETE FROM audit_events WHERE id = ?1", -1, &erase_, nullptr) ==
             SQLITE_OK;
}

void SqliteAuditEventStore::fail(const char* what) {
  ZorvaError("EventQueue: %s in %@ failed: %@", what, path_,
             std::string(db_ ? sqlite3_errmsg(db_) : "not open"));
}

std::optional<int64_t> SqliteAuditEventStore::append(const std::string& json) {
  return appendAll({json}).front();
}

std::vector<std::optional<int64_t>> SqliteAuditEventStore::appendAll(
    const std::vector<std::string>& records) {
  std::vector<std::optional<int64_t>> ids(records.size());
  if (!insert_ || records.empty()) return ids;
  // One transaction, one sync, however many records a burst of copies brought.
  sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  for (size_t i = 0; i < records.size(); ++i) {
    sqlite3_bind_text(insert_, 1, records[i].data(), static_cast<int>(records[i].size()),
                      SQLITE_TRANSIENT);
    int result = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    if (result == SQLITE_DONE) ids[i] = sqlite3_last_insert_rowid(db_);
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail("storing audit events");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return std::vector<std::optional<int64_t>>(records.size());
  }
  for (const auto& id : ids) {
    if (!id) {
      fail("storing an audit event");
      break;
    }
  }
  return ids;
}

void SqliteAuditEventStore::remove(const std::vector<int64_t>& ids) {
  if (!erase_ || ids.empty()) return;
  // One transaction for the batch: one sync instead of fifty.
  sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  for (int64_t id : ids) {
    sqlite3_bind_int64(erase_, 1, id);
    sqlite3_step(erase_);
    sqlite3_reset(erase_);
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail("removing sent audit events");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

std::vector<AuditEventStore::Record> SqliteAuditEventStore::all() {
  std::vector<Record> records;
  sqlite3_stmt* select = nullptr;
  if (!db_ || sqlite3_prepare_v2(db_, "SELECT id, record FROM audit_events ORDER BY id", -1,
                                 &select, nullptr) != SQLITE_OK) {
    return records;
  }
  while (sqlite3_step(select) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
    records.push_back({sqlite3_column_int64(select, 0),
                       std::string(text ? text : "", sqlite3_column_bytes(select, 1))});
  }
  sqlite3_finalize(select);
  return records;
}

}  // namespace zorva
