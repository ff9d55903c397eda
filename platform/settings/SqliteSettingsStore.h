#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/settings/SettingsStore.h"
#include "platform/sqlite/SqliteFile.h"

namespace zorva {

// The settings store on disk: one SQLite database, "defaults.sqlite3", in the service's state
// folder. Each set() or remove() is one transaction synced to disk before it returns, so a crash
// at any moment leaves the old or the new value.
//
// A damaged database is moved aside and a fresh one started: settings are worth less than a
// service that starts. One that cannot be opened or read for another reason (held by another
// process, a missing or read-only folder) is left alone: reads then say they failed, writes fail,
// and each call tries again, so the store recovers once the file is usable.
class SqliteSettingsStore final : public SettingsStore {
 public:
  static constexpr const char* kFileName = "defaults.sqlite3";

  // Never null: a store whose database cannot be opened yet still answers, as described above.
  static std::unique_ptr<SqliteSettingsStore> open(const std::string& folder);

  explicit SqliteSettingsStore(const std::string& folder);

  Read read(const std::string& key) override;
  bool set(const std::string& key, const SettingValue& value) override;
  bool remove(const std::string& key) override;

  const std::string& path() const { return _file.path(); }

 private:
  // Runs a bound write to its end; false, logged, when it failed.
  bool write(sqlite3_stmt* statement, const char* action, const std::string& key);

  std::mutex _mutex;
  SqliteFile _file;  // under _mutex
};

}  // namespace zorva
