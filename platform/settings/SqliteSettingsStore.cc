#include "platform/settings/SqliteSettingsStore.h"

#include <filesystem>

#include "platform/log/Log.h"

namespace zorva {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)";
constexpr const char* kSelect = "SELECT value FROM defaults WHERE key = ?1";
constexpr const char* kUpsert =
    "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
    "ON CONFLICT(key) DO UPDATE SET value = excluded.value";
constexpr const char* kErase = "DELETE FROM defaults WHERE key = ?1";
// Another process (a backup, an administrator's sqlite3) may briefly hold the lock.
constexpr int kBusyTimeoutMs = 2000;

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  // Static: the text outlives the statement's use, which ends with its reset.
  sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

void reset(sqlite3_stmt* statement) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

}  // namespace

std::unique_ptr<SqliteSettingsStore> SqliteSettingsStore::open(const std::string& folder) {
  return std::make_unique<SqliteSettingsStore>(folder);
}

SqliteSettingsStore::SqliteSettingsStore(const std::string& folder)
    : _file((std::filesystem::path(folder) / kFileName).string(), "Settings database", kSchema,
            {kSelect, kUpsert, kErase}, kBusyTimeoutMs) {
  // Opening now puts any repair of a damaged file, and its log line, at start-up.
  std::lock_guard lock(_mutex);
  _file.connection();
}

SettingsStore::Read SqliteSettingsStore::read(const std::string& key) {
  std::lock_guard lock(_mutex);
  sqlite3_stmt* select = _file.statement(kSelect);
  if (!select) return {std::nullopt, true};
  bindText(select, 1, key);
  int code = sqlite3_step(select);
  if (code != SQLITE_ROW) {
    std::string message;
    if (code != SQLITE_DONE) message = _file.describe(code);
    reset(select);
    if (code == SQLITE_DONE) return {};
    _file.failed(code);
    ZorvaError(FaultKind::Store, "Failed to read setting %@: %@", key, message);
    return {std::nullopt, true};
  }
  const unsigned char* text = sqlite3_column_text(select, 0);
  int size = sqlite3_column_bytes(select, 0);
  std::optional<SettingValue> value;
  if (text) value = decodeSettingValue({reinterpret_cast<const char*>(text), size_t(size)});
  reset(select);
  if (!value) {
    ZorvaError(FaultKind::Store,
               "Setting %@ holds a value that does not decode; treating it as absent", key);
  }
  return {std::move(value), false};
}

bool SqliteSettingsStore::write(sqlite3_stmt* statement, const char* action,
                                const std::string& key) {
  int code = sqlite3_step(statement);
  std::string message;
  if (code != SQLITE_DONE) message = _file.describe(code);
  reset(statement);
  if (code == SQLITE_DONE) return true;
  _file.failed(code);
  ZorvaError(FaultKind::Store, "Failed to %s setting %@: %@", action, key, message);
  return false;
}

bool SqliteSettingsStore::set(const std::string& key, const SettingValue& value) {
  std::string failure;
  std::string encoded = encodeSettingValue(value, &failure);
  if (encoded.empty()) {
    ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", key, failure);
    return false;
  }
  std::lock_guard lock(_mutex);
  sqlite3_stmt* upsert = _file.statement(kUpsert);
  if (!upsert) {
    ZorvaError(FaultKind::Store, "Failed to store setting %@: settings database %@ is not open",
               key, path());
    return false;
  }
  bindText(upsert, 1, key);
  bindText(upsert, 2, encoded);
  return write(upsert, "store", key);
}

bool SqliteSettingsStore::remove(const std::string& key) {
  std::lock_guard lock(_mutex);
  sqlite3_stmt* erase = _file.statement(kErase);
  if (!erase) {
    ZorvaError(FaultKind::Store, "Failed to remove setting %@: settings database %@ is not open",
               key, path());
    return false;
  }
  bindText(erase, 1, key);
  return write(erase, "remove", key);
}

}  // namespace zorva
