#include "backend/AuditEventStore.h"

#include "platform/log/Log.h"

namespace zorva {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS audit_events("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, record TEXT NOT NULL)";
constexpr const char* kInsert = "INSERT INTO audit_events(record) VALUES(?1)";
constexpr const char* kErase = "DELETE FROM audit_events WHERE id = ?1";
constexpr const char* kSelectAll = "SELECT id, record FROM audit_events ORDER BY id";

}  // namespace

SqliteAuditEventStore::SqliteAuditEventStore(const std::string& folder, int busyTimeoutMs)
    : _file(folder + "/" + kFileName, "EventQueue: audit event store", kSchema,
            {kInsert, kErase, kSelectAll}, busyTimeoutMs) {
  // Opening now puts any repair of a damaged file, and its log line, at start-up.
  _file.connection();
}

void SqliteAuditEventStore::fail(const char* what, int code) {
  ZorvaError(FaultKind::Store, "EventQueue: %s in %@ failed: %@", what, _file.path(),
             _file.failed(code));
}

bool SqliteAuditEventStore::run(const char* sql, const char* what) {
  int code = _file.run(sql);
  if (code == SQLITE_OK) return true;
  fail(what, code);
  return false;
}

std::optional<int64_t> SqliteAuditEventStore::append(const std::string& json) {
  return appendAll({json}).front();
}

std::vector<std::optional<int64_t>> SqliteAuditEventStore::appendAll(
    const std::vector<std::string>& records) {
  std::vector<std::optional<int64_t>> ids(records.size());
  sqlite3_stmt* insert = _file.statement(kInsert);
  if (!insert || records.empty()) return ids;
  // One transaction, one sync, however many records a burst of copies brought.
  if (!run("BEGIN", "storing audit events")) return ids;
  for (size_t i = 0; i < records.size(); ++i) {
    sqlite3_bind_text(insert, 1, records[i].data(), static_cast<int>(records[i].size()),
                      SQLITE_TRANSIENT);
    int result = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (result != SQLITE_DONE) {
      fail("storing an audit event", result);
      return std::vector<std::optional<int64_t>>(records.size());
    }
    ids[i] = sqlite3_last_insert_rowid(_file.connection());
  }
  if (!run("COMMIT", "storing audit events")) {
    return std::vector<std::optional<int64_t>>(records.size());
  }
  return ids;
}

void SqliteAuditEventStore::remove(const std::vector<int64_t>& ids) {
  sqlite3_stmt* erase = _file.statement(kErase);
  if (!erase || ids.empty()) return;
  // One transaction for the batch: one sync instead of fifty.
  if (!run("BEGIN", "removing sent audit events")) return;
  for (int64_t id : ids) {
    sqlite3_bind_int64(erase, 1, id);
    int result = sqlite3_step(erase);
    sqlite3_reset(erase);
    if (result != SQLITE_DONE) return fail("removing sent audit events", result);
  }
  run("COMMIT", "removing sent audit events");
}

std::optional<std::vector<AuditEventStore::Record>> SqliteAuditEventStore::all() {
  sqlite3_stmt* select = _file.statement(kSelectAll);
  if (!select) return std::nullopt;
  std::vector<Record> records;
  int code;
  while ((code = sqlite3_step(select)) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
    records.push_back({sqlite3_column_int64(select, 0),
                       std::string(text ? text : "", sqlite3_column_bytes(select, 1))});
  }
  sqlite3_reset(select);
  if (code != SQLITE_DONE) {
    // A read cut short must not pass for all there is.
    fail("reading stored audit events", code);
    return std::nullopt;
  }
  return records;
}

}  // namespace zorva
