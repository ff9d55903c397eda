#pragma once

#include <sqlite3.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zorva {

// One SQLite database of the service's state folder, opened, configured, checked and repaired the
// same way for every store: WAL with a full sync on every commit, so a write that returned
// survives a crash or a power loss; a busy time-out for the moments another process (a backup, an
// administrator's sqlite3) holds the file; a quick check, so a damaged page cannot end a read
// early and silently hide what lies behind it.
//
// A file is replaced only when SQLite says it is damaged (not a database, corrupt, failing its
// quick check, or holding the store's table in a shape it cannot use): then it is moved aside
// with its -wal and -shm, all three under one name no earlier repair used, and a fresh one is
// started. Anything else (busy, locked, an I/O error, a full disk, no permission) leaves the file
// as it is: the store is unavailable until a later call opens it.
//
// Not thread-safe: a store calls it from one thread at a time.
class SqliteFile {
 public:
  // `label` begins the log lines ("Settings database", "EventQueue: audit event store"); `schema`
  // creates the store's tables if they are missing; `statements` are the store's own, prepared
  // as the file opens, so a table of another shape counts as damage; `busyTimeoutMs` is how long
  // a statement waits for another process's lock.
  SqliteFile(std::string path, std::string label, std::string schema,
             std::vector<const char*> statements, int busyTimeoutMs);
  ~SqliteFile();
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  // The open connection, opening the file (and replacing a damaged one) first when needed; null
  // while it cannot be opened. Why is logged when it first happens and when the reason changes.
  sqlite3* connection();

  // One of the statements given at construction, ready on the open connection; null when the
  // file cannot be opened.
  sqlite3_stmt* statement(const char* sql);

  // Runs `sql` to its end on the open connection; `firstRow`, when given, receives the first
  // column of the first row. Returns SQLite's result code.
  int run(const char* sql, std::string* firstRow = nullptr);

  // A statement failed with `code`: a damaged file is closed, to be replaced at the next
  // connection(); a transaction the failure left open is rolled back, so later writes do not
  // join it. Returns the failure described for a log line.
  std::string failed(int code);

  // The text SQLite gives for `code`, with the connection's message when it belongs to it.
  std::string describe(int code) const;
  static bool isDamage(int code);

  const std::string& path() const { return _path; }

 private:
  bool tryOpen(bool& damaged, std::string& reason);
  bool moveAside(const std::string& reason);
  void close();

  const std::string _path;
  const std::string _label;
  const std::string _schema;
  const std::vector<const char*> _statementTexts;
  const int _busyTimeoutMs;
  sqlite3* _db = nullptr;
  std::map<const char*, sqlite3_stmt*> _statements;  // keyed by the caller's constant text
  std::optional<std::string> _damage;                // why a statement found the open file damaged
  std::string _reason;  // why the last open failed; empty while the file is open
};

}  // namespace zorva
