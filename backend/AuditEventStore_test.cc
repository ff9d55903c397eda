#include "backend/AuditEventStore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The sizes of the files moved aside.
std::multiset<uintmax_t> movedAside(const std::string& folder) {
  std::multiset<uintmax_t> sizes;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const bool aside = entry.path().string().find(".corrupt-") != std::string::npos;
    if (aside) sizes.insert(entry.file_size());
  }
  return sizes;
}

// Another connection (a backup, an administrator's sqlite3) may hold the store for longer than the
// busy time-out: held is neither empty nor damaged, and the records are there once it lets go.
TEST(AuditEventStore, KeepsRecordsInOrderAcrossReopeningAndWhileHeldElsewhere) {
  TempFolder folder("zorva-audit");
  std::vector<int64_t> ids;
  {
    SqliteAuditEventStore store(folder.path());
    for (const char* json : {"0", "1", "2", "3", "4"}) ids.push_back(store.append(json).value());
    store.remove({ids[1], ids[3], ids[4]});
  }
  sqlite3* holder = nullptr;
  sqlite3_open((folder / SqliteAuditEventStore::kFileName).c_str(), &holder);
  const char* take = "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT 1 FROM audit_events";
  ASSERT_EQ(sqlite3_exec(holder, take, nullptr, nullptr, nullptr), SQLITE_OK);
  MemoryLogWriter log;
  SqliteAuditEventStore store(folder.path(), /*busyTimeoutMs=*/50);
  EXPECT_FALSE(store.all().has_value());
  EXPECT_FALSE(store.append("1").has_value());
  EXPECT_THAT(log.texts(), ElementsAre(HasSubstr("cannot be opened: database is locked")))
      << "said once, not at every try";
  sqlite3_close(holder);
  EXPECT_GT(*store.append("5"), ids[4]) << "ids keep growing after a restart";
  const auto records = store.all().value();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].json + records[1].json + records[2].json, "025");
  EXPECT_TRUE(movedAside(folder.path()).empty());
}

// The service is killed at any moment; a record is then whole or absent, never torn.
TEST(AuditEventStore, AWriterKilledMidLoopLeavesOnlyWholeRecords) {
  TempFolder folder("zorva-audit");
  const std::string big(4000, 'x');
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      SqliteAuditEventStore store(folder.path());
      for (int i = 0;; ++i) {
        store.append(big);
        if (i == 100) (void)!write(ready[1], "r", 1);
      }
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    MemoryLogWriter log;
    const auto records = SqliteAuditEventStore(folder.path()).all().value();
    EXPECT_GE(records.size(), 101u);
    for (const auto& record : records) ASSERT_EQ(record.json, big);
    EXPECT_TRUE(log.texts().empty()) << "opened without being moved aside";
  }
}

// A damaged page must not pass for the end of the records; a file that is no database goes aside
// with its log and index, as found, so that the evidence of what was lost stays whole.
TEST(AuditEventStore, ADamagedFileIsMovedAsideWholeAndAFreshOneWorks) {
  for (bool database : {true, false}) {
    TempFolder folder("zorva-audit");
    const std::string path = folder / SqliteAuditEventStore::kFileName;
    if (database) {
      SqliteAuditEventStore(folder.path()).appendAll(std::vector(2000, std::string(200, 'p')));
      std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(40960) << std::string(4096, '\x5a');
    } else {
      std::ofstream(path) << std::string(8192, 'z');
      std::ofstream(path + "-wal") << "the log";
      std::ofstream(path + "-shm") << "the index";
    }
    MemoryLogWriter log;
    EXPECT_TRUE(SqliteAuditEventStore(folder.path()).append("{}"));
    EXPECT_THAT(log.texts(), ::testing::Contains(HasSubstr("is unusable")));
    const auto aside = movedAside(folder.path());
    ASSERT_EQ(aside.size(), database ? 1u : 3u);
    EXPECT_TRUE(database || aside == std::multiset<uintmax_t>({7, 9, 8192})) << "as found";
  }
}

}  // namespace
}  // namespace zorva
