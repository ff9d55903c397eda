#include "backend/AuditEventStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> jsonOf(AuditEventStore& store) {
  std::vector<std::string> texts;
  for (const auto& record : store.all().value_or(std::vector<AuditEventStore::Record>{})) {
    texts.push_back(record.json);
  }
  return texts;
}

std::set<std::string> movedAside(const std::string& folder) {
  std::set<std::string> aside;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".corrupt-") != std::string::npos) {
      aside.insert(entry.path());
    }
  }
  return aside;
}

TEST(AuditEventStore, KeepsRecordsInOrderAcrossReopeningUntilRemoved) {
  TempFolder folder("zorva-audit");
  std::vector<int64_t> ids;
  {
    SqliteAuditEventStore store(folder.path());
    for (const char* json : {"0", "1", "2", "3", "4"}) ids.push_back(store.append(json).value());
    store.remove({ids[1], ids[3], ids[4]});
  }
  SqliteAuditEventStore reopened(folder.path());
  EXPECT_EQ(jsonOf(reopened), (std::vector<std::string>{"0", "2"}));
  EXPECT_GT(*reopened.append("5"), ids[4]) << "ids keep growing after a restart";
}

TEST(AuditEventStore, AWriterKilledMidLoopLeavesOnlyWholeRecords) {
  TempFolder folder("zorva-audit");
  const std::string big(4000, 'x');
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      SqliteAuditEventStore store(folder.path());
      for (int i = 0;; ++i) {
        store.append(big + "}");
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
    SqliteAuditEventStore store(folder.path());
    const auto all = jsonOf(store);
    EXPECT_GE(all.size(), 101u);
    for (const auto& json : all) ASSERT_EQ(json, big + "}");
    EXPECT_TRUE(log.texts().empty()) << "the store opened without being moved aside";
  }
}

// A damaged page must not pass for the end of the records; a file that is no database goes aside
// with its log and index, as found, so that the evidence of what was lost stays whole.
TEST(AuditEventStore, ADamagedFileIsMovedAsideWholeAndAFreshOneWorks) {
  const std::pair<std::function<void(const std::string&)>, std::vector<std::string>> cases[] = {
      {[](const std::string& path) {
         SqliteAuditEventStore(fs::path(path).parent_path())
             .appendAll(std::vector<std::string>(2000, std::string(200, 'p')));
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(40960);
         file << std::string(4096, '\x5a');
       },
       {""}},
      {[](const std::string& path) {
         std::ofstream(path) << std::string(8192, 'z');
         std::ofstream(path + "-wal") << "the log";
         std::ofstream(path + "-shm") << "the index";
       },
       {"", "-shm", "-wal"}},
  };
  for (const auto& [damage, suffixes] : cases) {
    TempFolder folder("zorva-audit");
    damage(folder / SqliteAuditEventStore::kFileName);
    MemoryLogWriter log;
    SqliteAuditEventStore store(folder.path());
    EXPECT_TRUE(store.append("{}"));
    ASSERT_FALSE(log.texts().empty()) << "a damaged store must not be read as if whole";
    EXPECT_NE(log.texts()[0].find("is unusable"), std::string::npos) << log.texts()[0];
    const std::set<std::string> aside = movedAside(folder.path());
    ASSERT_EQ(aside.size(), suffixes.size());
    for (const std::string& suffix : suffixes) EXPECT_TRUE(aside.contains(*aside.begin() + suffix));
    if (suffixes.size() == 3) {
      EXPECT_EQ(fs::file_size(*aside.begin() + "-wal"), 7u) << "the log, as it was";
    }
  }
}

// Another connection (a backup, an administrator's sqlite3) holds the store for longer than the
// busy time-out: nothing is moved aside or lost, and the records are there once it lets go.
TEST(AuditEventStore, AStoreHeldElsewhereIsKeptAndOpensOnceReleased) {
  TempFolder folder("zorva-audit");
  SqliteAuditEventStore(folder.path()).append("0");
  sqlite3* holder = nullptr;
  sqlite3_open((folder / SqliteAuditEventStore::kFileName).c_str(), &holder);
  ASSERT_EQ(sqlite3_exec(holder,
                         "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                         "SELECT count(*) FROM audit_events;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);

  MemoryLogWriter log;
  SqliteAuditEventStore store(folder.path(), /*busyTimeoutMs=*/50);
  EXPECT_FALSE(store.all().has_value()) << "held is not empty";
  EXPECT_FALSE(store.append("1").has_value());
  ASSERT_EQ(log.texts().size(), 1u) << "said once, not at every try";
  EXPECT_NE(log.texts()[0].find("cannot be opened: database is locked"), std::string::npos)
      << log.texts()[0];
  sqlite3_close(holder);

  EXPECT_TRUE(store.append("1").has_value());
  EXPECT_EQ(jsonOf(store), (std::vector<std::string>{"0", "1"}));
  EXPECT_TRUE(movedAside(folder.path()).empty());
}

}  // namespace
}  // namespace zorva
