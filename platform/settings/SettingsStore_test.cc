#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "platform/log/MemoryLogWriter.h"
#include "platform/settings/MemorySettingsStore.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva {

void PrintTo(const SettingValue& value, std::ostream* out);  // with the codec's tests

namespace {

namespace fs = std::filesystem;
using Array = SettingValue::Array;
using Strings = std::vector<std::string>;

class SettingsTest : public testing::Test {
 protected:
  SettingsTest() {
    char pattern[] = "/tmp/zorva-settings-XXXXXX";
    folder_ = mkdtemp(pattern) ? pattern : "/nonexistent";
  }
  ~SettingsTest() override { fs::remove_all(folder_); }

  std::string database() const { return folder_ + "/" + SqliteSettingsStore::kFileName; }
  Strings names() const {
    Strings names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  Strings errors() const {
    Strings errors;
    for (const std::string& text : log_.texts()) {
      if (text.starts_with("ZORVA_LOG: ERROR: ")) errors.push_back(text.substr(18));
    }
    return errors;
  }

  std::string folder_;
  MemoryLogWriter log_;
};

// Runs SQL behind the store's back, as an old build or a damaged disk would leave the file.
void execute(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// The fake must keep the real store's promises, so both run the same checks.
TEST_F(SettingsTest, BothStoresKeepTheSameContract) {
  MemorySettingsStore memory;
  auto sqlite = SqliteSettingsStore::open(folder_);
  for (SettingsStore* store : std::initializer_list<SettingsStore*>{&memory, sqlite.get()}) {
    log_.clear();
    EXPECT_EQ(store->get("k"), std::nullopt);
    ASSERT_TRUE(store->set("k", "text"));
    ASSERT_TRUE(store->set("k", 5));
    EXPECT_EQ(store->getString("k"), std::nullopt);
    EXPECT_EQ(store->getReal("k"), std::nullopt);
    EXPECT_EQ(store->getInteger("k"), 5);
    EXPECT_FALSE(store->set("k", Array{std::nan("")}));
    EXPECT_EQ(store->getInteger("k"), 5);
    EXPECT_EQ(errors(), Strings{"Failed to store setting k: a real that is NaN or infinite has "
                                "no JSON form"});
    EXPECT_TRUE(store->remove("k"));
    EXPECT_TRUE(store->remove("k"));
    EXPECT_EQ(store->get("k"), std::nullopt);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([store, t] {
        for (int i = 0; i < 30; ++i) {
          EXPECT_TRUE(store->set("t" + std::to_string(t), i));
          EXPECT_TRUE(store->set("shared", Array{t, i}));
          EXPECT_EQ(store->getArray("shared").value_or(Array{}).size(), 2u);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(store->getInteger("t" + std::to_string(t)), 29);
  }
}

TEST_F(SettingsTest, SqliteValuesSurviveReopening) {
  SettingValue::Dictionary all = {{"string", "s"},     {"bool", true},
                                  {"real", 1.0},       {"date", std::chrono::system_clock::now()},
                                  {"$dict", Array{1}}, {"gone", 1}};
  {
    auto store = SqliteSettingsStore::open(folder_);
    for (const auto& [key, value] : all) ASSERT_TRUE(store->set(key, value));
    ASSERT_TRUE(store->remove("gone"));
  }
  all.erase("gone");
  auto store = SqliteSettingsStore::open(folder_);
  for (const auto& [key, value] : all) EXPECT_EQ(store->get(key), value) << key;
  EXPECT_EQ(store->get("gone"), std::nullopt);
  EXPECT_EQ(errors(), Strings());
}

TEST_F(SettingsTest, SqliteMovesAnUnusableDatabaseAsideAndStartsAfresh) {
  const struct {
    const char* damage;
    const char* reason;
  } cases[] = {{"random", "file is not a database"}, {"table", "no such column: value"}};
  for (const auto& [damage, reason] : cases) {
    fs::remove_all(folder_);
    fs::create_directory(folder_);
    log_.clear();
    std::string garbage(8192, '\0');
    if (damage == std::string_view("random")) {
      std::mt19937 random(7);
      for (char& c : garbage) c = static_cast<char>(random());
      std::ofstream(database(), std::ios::binary) << garbage;
      std::ofstream(database() + "-wal", std::ios::binary) << garbage;
    } else {
      execute(database(), "CREATE TABLE defaults(name TEXT)");
    }

    auto store = SqliteSettingsStore::open(folder_);
    Strings found = names();
    auto moved = std::find_if(found.begin(), found.end(), [](const std::string& name) {
      return name.starts_with("defaults.sqlite3.corrupt-");
    });
    ASSERT_NE(moved, found.end());
    std::string aside = *moved;  // its -wal, if any, sorts after it
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(
        errors()[0].starts_with("Settings database " + database() + " is unusable (" + reason))
        << errors()[0];
    EXPECT_TRUE(
        errors()[0].ends_with("moved it to " + folder_ + "/" + aside + " and started afresh"));
    if (damage == std::string_view("random")) {
      std::ifstream wal(folder_ + "/" + aside + "-wal", std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(wal), {}), garbage);
    }
    EXPECT_TRUE(store->set("k", 1));
    store = SqliteSettingsStore::open(folder_);
    EXPECT_EQ(store->getInteger("k"), 1);
    EXPECT_EQ(errors().size(), 1u);
  }
}

TEST_F(SettingsTest, SqliteReadsAnUndecodableRowAsAbsent) {
  auto store = SqliteSettingsStore::open(folder_);
  execute(database(), "INSERT INTO defaults VALUES('bad', '{\"$date\": \"soon\"}')");
  EXPECT_EQ(store->get("bad"), std::nullopt);
  EXPECT_EQ(store->get("bad"), std::nullopt);
  EXPECT_EQ(errors(),
            Strings(2, "Setting bad holds a value that does not decode; treating it as absent"));
  EXPECT_TRUE(store->set("bad", 2));
  EXPECT_EQ(store->getInteger("bad"), 2);
}

TEST_F(SettingsTest, SqliteFailsWritesInAMissingFolderUntilItExists) {
  std::string missing = folder_ + "/state";
  auto store = SqliteSettingsStore::open(missing);
  EXPECT_FALSE(store->set("k", 1));
  EXPECT_FALSE(store->remove("k"));
  Strings lines = errors();
  ASSERT_EQ(lines.size(), 5u);  // opening, then each call tries to open again
  EXPECT_TRUE(lines[0].starts_with("Failed to open settings database " + missing +
                                   "/defaults.sqlite3: unable to open database file"));
  EXPECT_TRUE(lines[2].starts_with("Failed to store setting k: settings database"));
  ASSERT_TRUE(fs::create_directory(missing));
  EXPECT_TRUE(store->set("k", 1));
  EXPECT_EQ(store->getInteger("k"), 1);
}

TEST_F(SettingsTest, SqliteFailedWriteReportsAndKeepsTheOldValue) {
  auto store = SqliteSettingsStore::open(folder_);
  ASSERT_TRUE(store->set("k", "old"));
  std::string large(1 << 20, 'x');
  // A cap on file size fails the write as a full disk would, even for root.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit capped = saved;
  capped.rlim_cur = std::max(fs::file_size(database()), fs::file_size(database() + "-wal"));
  setrlimit(RLIMIT_FSIZE, &capped);
  bool stored = store->set("k", large);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);

  EXPECT_FALSE(stored);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_TRUE(errors()[0].starts_with("Failed to store setting k: disk I/O error")) << errors()[0];
  EXPECT_EQ(store->getString("k"), "old");
  EXPECT_TRUE(store->set("k", large));
}

// The child writes ever larger values of "k" until killed, and reports the value of its 200th
// write. Each value is 64 equal numbers, so a torn write would show.
[[noreturn]] void writeUntilKilled(const std::string& folder, int report) {
  auto store = SqliteSettingsStore::open(folder);
  std::optional<Array> last = store->getArray("k");
  int64_t next = last ? last->front().asInteger().value_or(0) + 1 : 0;
  for (int written = 1; written < 1'000'000; ++written, ++next) {
    if (!store->set("k", Array(64, next))) _exit(1);
    if (written == 200 && write(report, &next, sizeof next) != sizeof next) _exit(1);
  }
  _exit(0);
}

TEST_F(SettingsTest, SqliteWriterKilledMidWriteLeavesACompleteValue) {
  int64_t floor = -1;
  for (int round = 0; round < 4; ++round) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ends[0]);
      writeUntilKilled(folder_, ends[1]);
    }
    close(ends[1]);
    int64_t reported = -1;
    ssize_t got = read(ends[0], &reported, sizeof reported);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ends[0]);
    ASSERT_EQ(got, ssize_t(sizeof reported)) << "the writer failed early";
    ASSERT_GT(reported, floor);
    floor = reported;

    // A write that returned true must have survived, and the last one must be whole.
    std::optional<Array> value = SqliteSettingsStore::open(folder_)->getArray("k");
    ASSERT_TRUE(value);
    ASSERT_EQ(value->size(), 64u);
    EXPECT_GE(value->front().asInteger(), floor);
    EXPECT_EQ(*value, Array(64, value->front()));
  }
  EXPECT_EQ(errors(), Strings());
  EXPECT_EQ(names().size(), 1u);  // the database alone: nothing was moved aside
}

}  // namespace
}  // namespace zorva
