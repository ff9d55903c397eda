#include "platform/sqlite/SqliteFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/log/Log.h"

namespace zorva {
namespace {

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

SqliteFile::SqliteFile(std::string path, std::string label, std::string schema,
                       std::vector<const char*> statements, int busyTimeoutMs)
    : _path(std::move(path)),
      _label(std::move(label)),
      _schema(std::move(schema)),
      _statementTexts(std::move(statements)),
      _busyTimeoutMs(busyTimeoutMs) {}

SqliteFile::~SqliteFile() { close(); }

bool SqliteFile::isDamage(int code) {
  int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string SqliteFile::describe(int code) const {
  // The connection's message says more, but only when it belongs to this failure.
  bool own = _db && (sqlite3_extended_errcode(_db) & 0xff) == (code & 0xff);
  const char* message = own ? sqlite3_errmsg(_db) : sqlite3_errstr(code);
  return std::string(message) + " (code " + std::to_string(code) + ")";
}

void SqliteFile::close() {
  for (auto& [sql, statement] : _statements) sqlite3_finalize(statement);
  _statements.clear();
  sqlite3_close_v2(_db);
  _db = nullptr;
}

int SqliteFile::run(const char* sql, std::string* firstRow) {
  if (!_db) return SQLITE_MISUSE;
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(_db, sql, -1, &statement, nullptr);
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

bool SqliteFile::tryOpen(bool& damaged, std::string& reason) {
  damaged = lacksHeader(_path);
  if (damaged) {
    reason = "file is not a database (no SQLite header)";
    return false;
  }
  // The store serialises its calls, so SQLite's own per-connection locking would only cost time.
  int code =
      sqlite3_open_v2(_path.c_str(), &_db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code == SQLITE_OK) {
    sqlite3_extended_result_codes(_db, 1);
    sqlite3_busy_timeout(_db, _busyTimeoutMs);
  }
  auto fail = [&](int failure) {
    reason = describe(failure);
    damaged = isDamage(failure);
    close();
    return false;
  };
  if (code != SQLITE_OK) return fail(code);

  // The first statement reads the header, so a file that is not a database fails here.
  std::string mode;
  if ((code = run("PRAGMA journal_mode=WAL", &mode)) != SQLITE_OK) return fail(code);
  if (mode != "wal") {
    reason = "journal mode is " + mode + ", not wal";
    close();
    return false;
  }
  if ((code = run("PRAGMA synchronous=FULL")) != SQLITE_OK) return fail(code);
  std::string check;
  if ((code = run("PRAGMA quick_check", &check)) != SQLITE_OK) return fail(code);
  if (check != "ok") {
    fail(SQLITE_CORRUPT);
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
  if ((code = run(_schema.c_str())) != SQLITE_OK) return failTable(code);
  for (const char* sql : _statementTexts) {
    sqlite3_stmt* statement = nullptr;
    code = sqlite3_prepare_v3(_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (code != SQLITE_OK) return failTable(code);
    _statements.emplace(sql, statement);
  }
  return true;
}

bool SqliteFile::moveAside(const std::string& reason) {
  close();
  namespace fs = std::filesystem;
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  const std::string stem = _path + ".corrupt-" + std::to_string(seconds);
  std::string target = stem;
  // A second repair within the same second must not overwrite the first one's evidence.
  std::error_code ignored;
  for (int n = 1; fs::exists(target, ignored) || fs::exists(target + "-wal", ignored) ||
                  fs::exists(target + "-shm", ignored);
       ++n) {
    target = stem + "." + std::to_string(n);
  }
  // The log and index go first: a fresh database must never meet the old one's log.
  for (const char* suffix : {"-shm", "-wal", ""}) {
    std::string from = _path + suffix;
    if (std::rename(from.c_str(), (target + suffix).c_str()) != 0 && errno != ENOENT) {
      ZorvaError(FaultKind::Store, "%@ %@ is unusable (%@) but could not be moved aside: %s",
                 _label, _path, reason, std::strerror(errno));
      return false;
    }
  }
  ZorvaError(FaultKind::Store, "%@ %@ is unusable (%@); moved it to %@ and started afresh", _label,
             _path, reason, target);
  _damage.reset();
  return true;
}

sqlite3* SqliteFile::connection() {
  if (_db) return _db;
  bool damaged = _damage.has_value();
  std::string reason = _damage.value_or("");
  bool opened = !damaged && tryOpen(damaged, reason);
  if (!opened && damaged && moveAside(reason)) opened = tryOpen(damaged, reason);
  if (opened) {
    if (!_reason.empty()) ZorvaLog("%@ %@ is open again", _label, _path);
    _reason.clear();
    return _db;
  }
  // Said once per reason: a store retried on a timer must not flood the log.
  if (reason != _reason)
    ZorvaError(FaultKind::Store, "%@ %@ cannot be opened: %@", _label, _path, reason);
  _reason = reason.empty() ? "unknown failure" : reason;
  return nullptr;
}

sqlite3_stmt* SqliteFile::statement(const char* sql) {
  if (!connection()) return nullptr;
  auto found = _statements.find(sql);
  return found == _statements.end() ? nullptr : found->second;
}

std::string SqliteFile::failed(int code) {
  std::string message = describe(code);
  if (isDamage(code)) {
    _damage = message;
    close();
  } else if (_db && !sqlite3_get_autocommit(_db)) {
    // Some failures (a full disk) can leave the statement's transaction open; later writes must
    // not join it.
    run("ROLLBACK");
  }
  return message;
}

}  // namespace zorva
