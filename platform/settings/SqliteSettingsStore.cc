#include "platform/settings/SqliteSettingsStore.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "service/Log.h"

namespace zorva {

struct SqliteSettingsStore::Connection {
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* upsert = nullptr;
  sqlite3_stmt* erase = nullptr;

  ~Connection() {
    sqlite3_finalize(select);
    sqlite3_finalize(upsert);
    sqlite3_finalize(erase);
    sqlite3_close_v2(db);
  }
};

namespace {

// Failures that mean the file itself is bad, as opposed to the folder, the disk or a lock.
bool isDamage(int code) {
  int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string describeFailure(sqlite3* db, int code) {
  // The connection's message says more, but only when it belongs to this failure.
  bool own = db && (sqlite3_extended_errcode(db) & 0xff) == (code & 0xff);
  const char* message = own ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  return std::string(message) + " (code " + std::to_string(code) + ")";
}

// Runs `sql` to completion; `firstRow`, when given, receives the first column of the first row.
int run(sqlite3* db, const char* sql, std::string* firstRow = nullptr) {
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (code != SQLITE_OK) return code;
  bool first = true;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
    if (first && firstRow) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      *firstRow = text ? reinterpret_cast<const char*>(text) : "";
    }
    first = false;
  }
  sqlite3_finalize(statement);
  return code == SQLITE_DONE ? SQLITE_OK : code;
}

// Steps a bound statement to its end and readies it for the next use, keeping the failure's
// message before the reset can lose it.
int runCached(sqlite3_stmt* statement, std::string& message) {
  int code = sqlite3_step(statement);
  if (code != SQLITE_DONE) message = describeFailure(sqlite3_db_handle(statement), code);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return code;
}

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  // Static: the text outlives the statement's use, which ends with the reset in runCached().
  sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

// SQLite replays or discards a -wal file while it works out that the main file is garbage, so
// a file that is plainly not a database is caught first, leaving the evidence untouched.
bool lacksHeader(const std::string& path) {
  static constexpr char kMagic[] = "SQLite format 3";  // with its terminating NUL: 16 bytes
  std::ifstream file(path, std::ios::binary);
  char header[sizeof kMagic] = {};
  file.read(header, sizeof header);
  std::streamsize size = file.gcount();
  return size > 0 && std::memcmp(header, kMagic, sizeof kMagic) != 0;
}

}  // namespace

std::unique_ptr<SqliteSettingsStore> SqliteSettingsStore::open(const std::string& folder) {
  return std::make_unique<SqliteSettingsStore>(folder);
}

SqliteSettingsStore::SqliteSettingsStore(std::string folder)
    : path_((std::filesystem::path(std::move(folder)) / kFileName).string()) {
  // Opening now puts any repair of a damaged file, and its log line, at start-up.
  std::lock_guard lock(mutex_);
  connection();
}

SqliteSettingsStore::~SqliteSettingsStore() = default;

bool SqliteSettingsStore::tryOpen(bool& damaged, std::string& reason) {
  damaged = lacksHeader(path_);
  if (damaged) {
    reason = "file is not a database (no SQLite header)";
    return false;
  }
  auto opened = std::make_unique<Connection>();
  // Every call holds mutex_, so SQLite's own per-connection locking would only cost time.
  int code =
      sqlite3_open_v2(path_.c_str(), &opened->db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code == SQLITE_OK) {
    sqlite3_extended_result_codes(opened->db, 1);
    // Another process (a support tool, say) may briefly hold the lock.
    sqlite3_busy_timeout(opened->db, 2000);
  }
  auto fail = [&](int failure) {
    reason = describeFailure(opened->db, failure);
    damaged = isDamage(failure);
    return false;
  };
  if (code != SQLITE_OK) return fail(code);

  // The first statement reads the header, so a file that is not a database fails here.
  std::string mode;
  if ((code = run(opened->db, "PRAGMA journal_mode=WAL", &mode)) != SQLITE_OK) return fail(code);
  if (mode != "wal") {
    reason = "journal mode is " + mode + ", not wal";
    return false;
  }
  // With WAL, FULL syncs the log on every commit: a set() that returned survives power loss.
  if ((code = run(opened->db, "PRAGMA synchronous=FULL")) != SQLITE_OK) return fail(code);
  std::string check;
  if ((code = run(opened->db, "PRAGMA quick_check", &check)) != SQLITE_OK) return fail(code);
  if (check != "ok") {
    reason = "quick_check: " + check;
    damaged = true;
    return false;
  }

  // From here a plain error means the table exists in a shape the store cannot use.
  auto failTable = [&](int failure) {
    fail(failure);
    damaged = damaged || (failure & 0xff) == SQLITE_ERROR;
    return false;
  };
  if ((code = run(opened->db,
                  "CREATE TABLE IF NOT EXISTS defaults("
                  "key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)")) != SQLITE_OK) {
    return failTable(code);
  }
  const struct {
    sqlite3_stmt** statement;
    const char* sql;
  } statements[] = {
      {&opened->select, "SELECT value FROM defaults WHERE key = ?1"},
      {&opened->upsert,
       "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
       "ON CONFLICT(key) DO UPDATE SET value = excluded.value"},
      {&opened->erase, "DELETE FROM defaults WHERE key = ?1"},
  };
  for (const auto& [statement, sql] : statements) {
    code = sqlite3_prepare_v3(opened->db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
    if (code != SQLITE_OK) return failTable(code);
  }
  connection_ = std::move(opened);
  return true;
}

bool SqliteSettingsStore::moveAside(const std::string& reason) {
  connection_.reset();
  namespace fs = std::filesystem;
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  std::string target = path_ + ".corrupt-" + std::to_string(seconds);
  // A second repair within the same second must not overwrite the first one's evidence.
  std::error_code ignored;
  for (int n = 1; fs::exists(target, ignored) || fs::exists(target + "-wal", ignored); ++n) {
    target = path_ + ".corrupt-" + std::to_string(seconds) + "." + std::to_string(n);
  }
  // The log and index go first: a fresh database must never meet the old one's log.
  for (const char* suffix : {"-shm", "-wal", ""}) {
    std::string from = path_ + suffix;
    if (std::rename(from.c_str(), (target + suffix).c_str()) != 0 && errno != ENOENT) {
      ZorvaError("Settings database %@ is unusable (%@) but could not be moved aside: %s", path_,
                 reason, std::strerror(errno));
      return false;
    }
  }
  ZorvaError("Settings database %@ is unusable (%@); moved it to %@ and started afresh", path_,
             reason, target);
  damage_.reset();
  return true;
}

SqliteSettingsStore::Connection* SqliteSettingsStore::connection() {
  if (connection_) return connection_.get();
  bool damaged = damage_.has_value();
  std::string reason = damage_.value_or("");
  if (!damaged && tryOpen(damaged, reason)) return connection_.get();
  if (damaged && moveAside(reason) && tryOpen(damaged, reason)) return connection_.get();
  ZorvaError("Failed to open settings database %@: %@", path_, reason);
  return nullptr;
}

void SqliteSettingsStore::failed(const char* action, const std::string& key, int code,
                                 const std::string& message) {
  ZorvaError("Failed to %s setting %@: %@", action, key, message);
  if (isDamage(code)) {
    damage_ = message;
    connection_.reset();
  } else if (connection_ && !sqlite3_get_autocommit(connection_->db)) {
    // Some failures (a full disk) can leave the statement's transaction open; later writes
    // must not join it.
    run(connection_->db, "ROLLBACK");
  }
}

std::optional<SettingValue> SqliteSettingsStore::get(const std::string& key) {
  std::lock_guard lock(mutex_);
  Connection* open = connection();
  if (!open) return std::nullopt;
  bindText(open->select, 1, key);
  int code = sqlite3_step(open->select);
  if (code != SQLITE_ROW) {
    std::string message;
    if (code != SQLITE_DONE) message = describeFailure(open->db, code);
    sqlite3_reset(open->select);
    sqlite3_clear_bindings(open->select);
    if (code != SQLITE_DONE) failed("read", key, code, message);
    return std::nullopt;
  }
  const unsigned char* text = sqlite3_column_text(open->select, 0);
  int size = sqlite3_column_bytes(open->select, 0);
  std::optional<SettingValue> value;
  if (text) value = decodeSettingValue({reinterpret_cast<const char*>(text), size_t(size)});
  sqlite3_reset(open->select);
  sqlite3_clear_bindings(open->select);
  if (!value) {
    ZorvaError("Setting %@ holds a value that does not decode; treating it as absent", key);
  }
  return value;
}

bool SqliteSettingsStore::set(const std::string& key, const SettingValue& value) {
  std::string failure;
  std::string encoded = encodeSettingValue(value, &failure);
  if (encoded.empty()) {
    ZorvaError("Failed to store setting %@: %@", key, failure);
    return false;
  }
  std::lock_guard lock(mutex_);
  Connection* open = connection();
  if (!open) {
    ZorvaError("Failed to store setting %@: settings database %@ is not open", key, path_);
    return false;
  }
  bindText(open->upsert, 1, key);
  bindText(open->upsert, 2, encoded);
  int code = runCached(open->upsert, failure);
  if (code != SQLITE_DONE) {
    failed("store", key, code, failure);
    return false;
  }
  return true;
}

bool SqliteSettingsStore::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  Connection* open = connection();
  if (!open) {
    ZorvaError("Failed to remove setting %@: settings database %@ is not open", key, path_);
    return false;
  }
  bindText(open->erase, 1, key);
  std::string failure;
  int code = runCached(open->erase, failure);
  if (code != SQLITE_DONE) {
    failed("remove", key, code, failure);
    return false;
  }
  return true;
}

}  // namespace zorva
