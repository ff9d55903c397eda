#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/SqliteSettingsStore.h"
#include "testing/TempFolder.h"

namespace zorva {

void PrintTo(const SettingValue& value, std::ostream* out);  // with the codec's tests

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using Array = SettingValue::Array;

std::string error(std::string_view text) { return "ZORVA_LOG: ERROR: " + std::string(text); }

class SettingsTest : public testing::Test {
 protected:
  std::string database() const { return _folder / SqliteSettingsStore::kFileName; }

  TempFolder _folder{"zorva-settings"};
  MemoryLogWriter _log;
};

TEST_F(SettingsTest, SqliteValuesKeepTheirTypeSurviveReopeningAndRefusalsKeepTheOldValue) {
  auto store = SqliteSettingsStore::open(_folder.path());
  ASSERT_TRUE(store->set("k", "text") && store->set("k", 5));
  EXPECT_EQ(store->getString("k"), std::nullopt);
  EXPECT_FALSE(store->set("k", Array{std::nan("")}));
  EXPECT_EQ(store->getInteger("k"), 5);
  EXPECT_THAT(_log.texts(), ElementsAre(error("Failed to store setting k: a real that is NaN or "
                                              "infinite has no JSON form")));
  EXPECT_TRUE(store->remove("k") && store->remove("k"));
  EXPECT_EQ(store->get("k"), std::nullopt);
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, key = std::to_string(t)] {
      for (int i = 0; i < 30; ++i) EXPECT_TRUE(store->set(key, i) && store->getInteger(key) == i);
    });
  }
  threads.clear();
  // What the store was told survives reopening, removals included.
  store = SqliteSettingsStore::open(_folder.path());
  EXPECT_EQ(store->getInteger("3"), 29);
  EXPECT_EQ(store->get("k"), std::nullopt);
}

// A file that is no database, then a table the store cannot use, within the same second: the
// second repair must not overwrite the first one's evidence.
TEST_F(SettingsTest, SqliteMovesAnUnusableDatabaseAsideAndStartsAfresh) {
  const std::string garbage(8192, 'Z');
  std::ofstream(database(), std::ios::binary) << garbage;
  std::ofstream(database() + "-wal", std::ios::binary) << garbage;
  SqliteSettingsStore::open(_folder.path());
  // A table as an old build might have left it, written behind the store's back.
  sqlite3* db = nullptr;
  sqlite3_open(database().c_str(), &db);
  EXPECT_EQ(sqlite3_exec(db, "DROP TABLE defaults; CREATE TABLE defaults(name TEXT)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto store = SqliteSettingsStore::open(_folder.path());
  auto movedAside = [&](const std::string& reason) {
    return MatchesRegex(error("Settings database " + database() + " is unusable \\(" + reason +
                              ".*\\); moved it to " + database() +
                              "\\.corrupt-[0-9.]+ and started afresh"));
  };
  EXPECT_THAT(_log.texts(), ElementsAre(movedAside("file is not a database"),
                                        movedAside("no such column: value")));
  int kept = 0;  // the file and its log, as they were found
  for (const auto& entry : fs::directory_iterator(_folder.path())) {
    std::ifstream file(entry.path(), std::ios::binary);
    kept += std::string(std::istreambuf_iterator<char>(file), {}) == garbage;
  }
  EXPECT_EQ(kept, 2);
  EXPECT_TRUE(store->set("k", 2));
}

// A cap on file size fails the write as a full disk would, even for root; a missing folder fails
// every write until it appears.
TEST_F(SettingsTest, SqliteFailedWritesReportAndKeepTheOldValue) {
  auto store = SqliteSettingsStore::open(_folder.path());
  ASSERT_TRUE(store->set("k", "old"));
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit capped{std::max(fs::file_size(database()), fs::file_size(database() + "-wal")),
                saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &capped);
  EXPECT_FALSE(store->set("k", std::string(1 << 20, 'x')));
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_THAT(_log.texts(), ElementsAre(StartsWith(error("Failed to store setting k: disk I/O"))));
  EXPECT_EQ(store->getString("k"), "old");
  EXPECT_TRUE(store->set("k", std::string(1 << 20, 'x')));

  std::string missing = _folder / "state";
  store = SqliteSettingsStore::open(missing);
  EXPECT_FALSE(store->set("k", 1));
  ASSERT_TRUE(fs::create_directory(missing));
  EXPECT_TRUE(store->set("k", 1));
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
  for (int round = 0; round < 4; ++round) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) writeUntilKilled(_folder.path(), ends[1]);
    close(ends[1]);
    int64_t reported = -1;
    ssize_t got = read(ends[0], &reported, sizeof reported);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ends[0]);
    ASSERT_EQ(got, ssize_t(sizeof reported)) << "the writer failed early";
    // A write that returned true must have survived, and the last one must be whole.
    Array value = SqliteSettingsStore::open(_folder.path())->getArray("k").value_or(Array{-1});
    EXPECT_GE(value.front().asInteger(), reported);
    EXPECT_EQ(value, Array(64, value.front()));
  }
  // The database alone: a killed writer must never make it look damaged.
  EXPECT_EQ(std::distance(fs::directory_iterator(_folder.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace zorva
