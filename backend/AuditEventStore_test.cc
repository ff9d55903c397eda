#include "backend/AuditEventStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> movedAside(const std::string& folder) {
  std::vector<std::string> aside;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.find(".corrupt-") != std::string::npos) aside.push_back(name);
  }
  std::sort(aside.begin(), aside.end());
  return aside;
}

TEST(AuditEventStore, KeepsRecordsInOrderAcrossReopeningUntilRemoved) {
  TempFolder folder("zorva-audit");
  {
    SqliteAuditEventStore store(folder.path());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(store.append("{\"n\":" + std::to_string(i) + "}"));
    auto all = store.all().value();
    store.remove({all[1].id, all[3].id});
  }
  SqliteAuditEventStore reopened(folder.path());
  auto all = reopened.all().value();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].json, "{\"n\":0}");
  EXPECT_EQ(all[1].json, "{\"n\":2}");
  EXPECT_EQ(all[2].json, "{\"n\":4}");
  EXPECT_GT(*reopened.append("{}"), all[2].id) << "ids keep growing after a restart";
}

TEST(AuditEventStore, AWriterKilledMidLoopLeavesOnlyWholeRecords) {
  TempFolder folder("zorva-audit");
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      SqliteAuditEventStore store(folder.path());
      const std::string big(4000, 'x');
      for (int i = 0;; ++i) {
        store.append("{\"n\":" + std::to_string(i) + ",\"pad\":\"" + big + "\"}");
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
    auto all = store.all().value();
    EXPECT_GE(all.size(), 101u);
    for (const auto& record : all)
      ASSERT_TRUE(record.json.size() > 4000 && record.json.back() == '}');
    EXPECT_TRUE(log.texts().empty()) << "the store opened without being moved aside";
  }
}

// A damaged page must not pass for the end of the records; a file that is no database goes aside
// with its log and index, as found, so that the evidence of what was lost stays whole.
TEST(AuditEventStore, ADamagedFileIsMovedAsideWholeAndAFreshOneWorks) {
  struct Case {
    std::function<void(const std::string& path)> damage;
    size_t aside;
  };
  const Case cases[] = {
      {[](const std::string& path) {
         SqliteAuditEventStore(fs::path(path).parent_path())
             .appendAll(
                 std::vector<std::string>(2000, "{\"pad\":\"" + std::string(200, 'p') + "\"}"));
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(40960);
         file << std::string(4096, '\x5a');
       },
       1},
      {[](const std::string& path) {
         std::ofstream(path) << std::string(8192, 'z');
         std::ofstream(path + "-wal") << "the log";
         std::ofstream(path + "-shm") << "the index";
       },
       3},
  };
  for (const Case& c : cases) {
    TempFolder folder("zorva-audit");
    c.damage(folder / SqliteAuditEventStore::kFileName);
    MemoryLogWriter log;
    SqliteAuditEventStore store(folder.path());
    EXPECT_TRUE(store.append("{}"));
    ASSERT_FALSE(log.texts().empty()) << "a damaged store must not be read as if whole";
    EXPECT_NE(log.texts()[0].find("is unusable"), std::string::npos) << log.texts()[0];
    const std::vector<std::string> aside = movedAside(folder.path());
    ASSERT_EQ(aside.size(), c.aside);
    if (c.aside == 3) {
      EXPECT_EQ(aside[1], aside[0] + "-shm");
      EXPECT_EQ(aside[2], aside[0] + "-wal");
      EXPECT_EQ(fs::file_size(folder / aside[2]), 7u) << "the log, as it was";
    }
  }
}

// Another connection (a backup, an administrator's sqlite3) holds the store for longer than the
// busy time-out: nothing is moved aside or lost, and the records are there once it lets go.
TEST(AuditEventStore, AStoreHeldElsewhereIsKeptAndOpensOnceReleased) {
  TempFolder folder("zorva-audit");
  {
    SqliteAuditEventStore store(folder.path());
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(store.append("{\"n\":" + std::to_string(i) + "}"));
  }
  sqlite3* holder = nullptr;
  sqlite3_open((folder / SqliteAuditEventStore::kFileName).c_str(), &holder);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(holder, sqlite3_close);
  ASSERT_EQ(sqlite3_exec(holder,
                         "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                         "SELECT count(*) FROM audit_events;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);

  MemoryLogWriter log;
  SqliteAuditEventStore store(folder.path(), /*busyTimeoutMs=*/50);
  EXPECT_FALSE(store.all().has_value()) << "held is not empty";
  EXPECT_FALSE(store.append("{\"n\":20}").has_value());
  ASSERT_EQ(log.texts().size(), 1u) << "said once, not at every try";
  EXPECT_NE(log.texts()[0].find("cannot be opened: database is locked"), std::string::npos)
      << log.texts()[0];
  closer.reset();

  ASSERT_EQ(store.all().value_or(std::vector<AuditEventStore::Record>{}).size(), 20u);
  EXPECT_TRUE(store.append("{\"n\":20}").has_value());
  EXPECT_TRUE(movedAside(folder.path()).empty());
}

}  // namespace
}  // namespace zorva
