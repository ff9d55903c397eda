#include "backend/AuditEventStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/log/MemoryLogWriter.h"

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
    auto all = store.all();
    store.remove({all[1].id, all[3].id});
  }
  SqliteAuditEventStore reopened(folder);
  auto all = reopened.all();
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
    auto all = store.all();
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

TEST_F(AuditEventStoreTest, ADamagedFileIsMovedAsideAndAFreshOneWorks) {
  std::ofstream(folder + "/" + SqliteAuditEventStore::kFileName) << std::string(8192, 'z');
  MemoryLogWriter log;
  SqliteAuditEventStore store(folder);
  EXPECT_TRUE(store.append("{}"));
  ASSERT_FALSE(log.texts().empty());
  EXPECT_NE(log.texts()[0].find("is unusable"), std::string::npos) << log.texts()[0];
}

}  // namespace
}  // namespace zorva
