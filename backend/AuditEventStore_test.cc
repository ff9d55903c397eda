#include "backend/AuditEventStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

class AuditEventStoreTest : public ::testing::Test {
 protected:
  AuditEventStoreTest() {
    char pattern[] = "/tmp/zorva-audit-XXXXXX";
    folder = mkdtemp(pattern);
  }
  ~AuditEventStoreTest() override { std::filesystem::remove_all(folder); }

  std::string folder;
};

TEST_F(AuditEventStoreTest, KeepsRecordsInOrderAcrossReopeningUntilRemoved) {
  {
    SqliteAuditEventStore store(folder);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(store.append("{\"n\":" + std::to_string(i) + "}"));
    auto all = store.all().value();
    store.remove({all[1].id, all[3].id});
  }
  SqliteAuditEventStore reopened(folder);
  auto all = reopened.all().value();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].json, "{\"n\":0}");
  EXPECT_EQ(all[1].json, "{\"n\":2}");
  EXPECT_EQ(all[2].json, "{\"n\":4}");
  EXPECT_GT(*reopened.append("{}"), all[2].id) << "ids keep growing after a restart";
}

TEST_F(AuditEventStoreTest, AWriterKilledMidLoopLeavesOnlyWholeRecords) {
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      SqliteAuditEventStore store(folder);
      std::string big(4000, 'x');
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
    SqliteAuditEventStore store(folder);
    auto all = store.all().value();
    EXPECT_GE(all.size(), 101u);
    for (const auto& record : all) {
      ASSERT_EQ(record.json.size() > 4000, true);
      ASSERT_EQ(record.json.back(), '}');
    }
    EXPECT_TRUE(log.texts().empty()) << "the store opened without being moved aside";
  }
}

TEST_F(AuditEventStoreTest, ADamagedPageIsNoticedRatherThanEndingTheReadEarly) {
  {
    SqliteAuditEventStore store(folder);
    store.appendAll(std::vector<std::string>(2000, "{\"pad\":\"" + std::string(200, 'p') + "\"}"));
  }
  {
    std::fstream file(folder + "/" + SqliteAuditEventStore::kFileName,
                      std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(40960);
    file << std::string(4096, '\x5a');
  }
  MemoryLogWriter log;
  SqliteAuditEventStore store(folder);
  ASSERT_FALSE(log.texts().empty()) << "a damaged store must not be read as if whole";
  EXPECT_NE(log.texts()[0].find("is unusable"), std::string::npos) << log.texts()[0];
  EXPECT_TRUE(store.append("{}"));
}

// The file, its log with the records not yet checkpointed, and its index go aside together, as
// found: the evidence of what was lost stays whole.
TEST_F(AuditEventStoreTest, ADamagedFileIsMovedAsideWithItsLogAndAFreshOneWorks) {
  const std::string path = folder + "/" + SqliteAuditEventStore::kFileName;
  std::ofstream(path) << std::string(8192, 'z');
  std::ofstream(path + "-wal") << "the log";
  std::ofstream(path + "-shm") << "the index";
  MemoryLogWriter log;
  SqliteAuditEventStore store(folder);
  EXPECT_TRUE(store.append("{}"));
  ASSERT_FALSE(log.texts().empty());
  EXPECT_NE(log.texts()[0].find("is unusable"), std::string::npos) << log.texts()[0];
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.find(".corrupt-") != std::string::npos) aside.push_back(name);
  }
  std::sort(aside.begin(), aside.end());
  ASSERT_EQ(aside.size(), 3u);
  EXPECT_EQ(aside[1], aside[0] + "-shm");
  EXPECT_EQ(aside[2], aside[0] + "-wal");
  EXPECT_EQ(std::filesystem::file_size(folder + "/" + aside[2]), 7u) << "the log, as it was";
}

// Another process (a backup, an administrator's sqlite3) holds the store for longer than the
// busy time-out: nothing is moved aside or lost, and the records are there once it lets go.
TEST_F(AuditEventStoreTest, AStoreHeldByAnotherProcessIsKeptAndOpensOnceReleased) {
  {
    SqliteAuditEventStore store(folder);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(store.append("{\"n\":" + std::to_string(i) + "}"));
  }
  int held[2];
  int release[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    sqlite3_open((folder + "/" + SqliteAuditEventStore::kFileName).c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT count(*) FROM "
                 "audit_events;",
                 nullptr, nullptr, nullptr);
    (void)!write(held[1], "h", 1);
    char byte;
    (void)!read(release[0], &byte, 1);
    sqlite3_close(db);
    _exit(0);
  }
  close(held[1]);
  close(release[0]);
  char byte;
  if (read(held[0], &byte, 1) != 1) {
    int status = 0;
    waitpid(child, &status, 0);
    FAIL() << "the holder ended first: status " << status;
  }
  // Lets the holder go on every way out of the test, so it never outlives it.
  struct Release {
    int fd;
    pid_t holder;
    ~Release() { now(); }
    void now() {
      if (fd < 0) return;
      (void)!write(fd, "r", 1);
      close(fd);
      waitpid(holder, nullptr, 0);
      fd = -1;
    }
  } release_{release[1], child};
  close(held[0]);

  MemoryLogWriter log;
  SqliteAuditEventStore store(folder, /*busyTimeoutMs=*/50);
  EXPECT_FALSE(store.all().has_value()) << "held is not empty";
  EXPECT_FALSE(store.append("{\"n\":20}").has_value());
  ASSERT_EQ(log.texts().size(), 1u) << "said once, not at every try";
  EXPECT_NE(log.texts()[0].find("cannot be opened: database is locked"), std::string::npos)
      << log.texts()[0];
  release_.now();

  auto all = store.all();
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 20u);
  EXPECT_TRUE(store.append("{\"n\":20}").has_value());
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    EXPECT_EQ(entry.path().filename().string().find(".corrupt-"), std::string::npos);
  }
}

}  // namespace
}  // namespace zorva
