#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/settings/SettingsStore.h"

namespace zorva {

// The settings store on disk: one SQLite database, "defaults.sqlite3", in the service's state
// folder. Each set() or remove() is one transaction synced to disk before it returns (WAL,
// synchronous=FULL), so a crash at any moment leaves the old or the new value.
//
// A database that is not one, fails its quick check, or has an unusable table is renamed to
// "defaults.sqlite3.corrupt-<unix seconds>" (with its -wal and -shm files) and a fresh one is
// started: settings are worth less than a service that starts. A database that cannot be opened
// for other reasons (missing or read-only folder) is left alone; the store then answers nothing
// and fails writes, and tries again on each call, so it recovers once the folder is usable.
class SqliteSettingsStore final : public SettingsStore {
 public:
  static constexpr const char* kFileName = "defaults.sqlite3";

  // Never null: a store whose database cannot be opened yet still answers, as described above.
  static std::unique_ptr<SqliteSettingsStore> open(const std::string& folder);

  explicit SqliteSettingsStore(std::string folder);
  ~SqliteSettingsStore() override;
  SqliteSettingsStore(const SqliteSettingsStore&) = delete;
  SqliteSettingsStore& operator=(const SqliteSettingsStore&) = delete;

  std::optional<SettingValue> get(const std::string& key) override;
  bool set(const std::string& key, const SettingValue& value) override;
  bool remove(const std::string& key) override;

  const std::string& path() const { return path_; }

 private:
  struct Connection;

  // The members below run with mutex_ held.

  // The open connection, opening or replacing the database first when needed; null when the
  // database cannot be opened, which has been logged.
  Connection* connection();
  bool tryOpen(bool& damaged, std::string& reason);
  bool moveAside(const std::string& reason);
  // Logs a failed statement and, when the failure shows the file is damaged, drops the
  // connection so that the next call replaces the database.
  void failed(const char* action, const std::string& key, int code, const std::string& message);

  const std::string path_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
  // Why a statement found the open database damaged; set until it has been moved aside.
  std::optional<std::string> damage_;
};

}  // namespace zorva
