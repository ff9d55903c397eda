#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
using ::testing::HasSubstr;
using Array = SettingValue::Array;

struct SettingsTest : testing::Test {
  std::unique_ptr<SqliteSettingsStore> open() { return SqliteSettingsStore::open(folder.path()); }
  TempFolder folder{"zorva-settings"};
  const std::string database = folder / SqliteSettingsStore::kFileName;
  MemoryLogWriter log;
};

TEST_F(SettingsTest, SqliteValuesKeepTheirTypeSurviveReopeningAndRefusalsKeepTheOldValue) {
  auto store = open();
  ASSERT_TRUE(store->set("k", "text") && store->set("k", 5));
  EXPECT_FALSE(store->set("k", Array{std::nan("")}));
  EXPECT_EQ(store->getString("k"), std::nullopt);
  EXPECT_EQ(store->getInteger("k"), 5);
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: ERROR: Failed to store setting k: a real that "
                                       "is NaN or infinite has no JSON form"));
  EXPECT_TRUE(store->remove("k") && store->remove("k"));
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, key = std::to_string(t)] {
      for (int i = 0; i < 30; ++i) EXPECT_TRUE(store->set(key, i) && store->getInteger(key) == i);
    });
  }
  threads.clear();
  // What the store was told survives reopening, removals included.
  store = open();
  EXPECT_EQ(store->getInteger("3"), 29);
  EXPECT_EQ(store->get("k"), std::nullopt);
}

// A file that is no database, then a table as an old build might have left it, within the same
// second: the second repair must not overwrite the first one's evidence.
TEST_F(SettingsTest, SqliteMovesAnUnusableDatabaseAsideAndStartsAfresh) {
  const std::string garbage(8192, 'Z');
  for (const char* suffix : {"", "-wal"}) std::ofstream(database + suffix) << garbage;
  open();
  sqlite3* db = nullptr;
  sqlite3_open(database.c_str(), &db);
  sqlite3_exec(db, "DROP TABLE defaults; CREATE TABLE defaults(k)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  auto store = open();
  EXPECT_THAT(log.texts(), ElementsAre(HasSubstr("unusable (file is not a database"),
                                       HasSubstr("unusable (no such column: value")));
  int kept = 0;  // the file and its log, as they were found
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    std::ifstream file(entry.path());
    kept += std::string(std::istreambuf_iterator<char>(file), {}) == garbage;
  }
  EXPECT_EQ(kept, 2);
  EXPECT_TRUE(store->set("k", 2));
}

// A cap on file size fails the write as a full disk would, even for root.
TEST_F(SettingsTest, SqliteFailedWritesReportAndKeepTheOldValue) {
  auto store = open();
  ASSERT_TRUE(store->set("k", "old"));
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit capped{std::max(fs::file_size(database), fs::file_size(database + "-wal")),
                saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &capped);
  EXPECT_FALSE(store->set("k", std::string(1 << 20, 'x')));
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_THAT(log.texts(), ElementsAre(HasSubstr("Failed to store setting k: disk I/O")));
  EXPECT_EQ(store->getString("k"), "old");
  EXPECT_TRUE(store->set("k", std::string(1 << 20, 'x')));
}

// The child writes ever larger values of "k" until killed, and reports the value of its 200th
// write. Each value is 64 equal numbers, so a torn write would show.
TEST_F(SettingsTest, SqliteWriterKilledMidWriteLeavesACompleteValue) {
  for (int round = 0; round < 4; ++round) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto store = open();
      int64_t next = store->getArray("k").value_or(Array{-1}).front().asInteger().value_or(0) + 1;
      for (int written = 1; written < 1'000'000; ++written, ++next) {
        if (!store->set("k", Array(64, next))) _exit(1);
        if (written == 200 && write(ends[1], &next, sizeof next) != sizeof next) _exit(1);
      }
      _exit(0);
    }
    close(ends[1]);
    int64_t reported = -1;
    ssize_t got = read(ends[0], &reported, sizeof reported);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ends[0]);
    ASSERT_EQ(got, ssize_t(sizeof reported)) << "the writer failed early";
    // A write that returned true must have survived, and the last one must be whole.
    Array value = open()->getArray("k").value_or(Array{-1});
    EXPECT_GE(value.front().asInteger(), reported);
    EXPECT_EQ(value, Array(64, value.front()));
  }
  // The database alone: a killed writer must never make it look damaged.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace zorva
