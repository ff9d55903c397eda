// A backend that refuses or answers garbage, and a state folder whose disk is full: the service
// keeps running, says what is wrong, loses no event it kept, and recovers once the fault is gone.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::IsEmpty;

bool stores(const std::string& stateDir, const std::string& dest) {
  for (const std::string& record : storedAuditEvents(stateDir)) {
    if (record.find("\"dest\":\"" + dest + "\"") != std::string::npos) return true;
  }
  return false;
}

using FaultTest = ProductTest;

TEST_F(FaultTest, RefusedUploadsGoOutOnceTheBackendAcceptsThemAgain) {
  rig->backend().set(BackendBehaviour::answering(400));
  const std::string dest = rig->outside("refused.txt");
  run({"cp", makeFile(rig->watched("refused.txt")), dest});
  ASSERT_TRUE(rig->backend().waitForAttempt(dest, kDeadline));
  EXPECT_TRUE(rig->service().running());
  EXPECT_TRUE(stores(rig->stateDir(), dest)) << "a refused event stays kept";

  rig->backend().set(BackendBehaviour::healthy());
  // The next event starts an upload at once; the refused one goes with it.
  ASSERT_TRUE(rig->markerCopy());
  ASSERT_TRUE(rig->backend().waitForDelivery(dest, kDeadline));
  EXPECT_EQ(eventsTo(dest).size(), 1u);
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

// Bytes that are not TLS fail the exchange like a network error: the upload is retried later, the
// event is kept, and it arrives after a restart against a healthy backend.
TEST_F(FaultTest, ABackendAnsweringGarbageCostsNoEventAndNotTheService) {
  rig->backend().set(BackendBehaviour::garbageBytes());
  const std::string dest = rig->outside("garbled.txt");
  run({"cp", makeFile(rig->watched("garbled.txt")), dest});
  ASSERT_TRUE(rig->service().waitForLog("DeviceApi: sendRequest: retry: url: /api/1/audit_event",
                                        kDeadline));
  EXPECT_TRUE(rig->service().running());
  EXPECT_TRUE(stores(rig->stateDir(), dest));
  // The key stands in the retry line's URL; it must not stand there in clear.
  EXPECT_EQ(rig->service().log().find(rig->deviceKey()), std::string::npos);

  rig->service().stop();
  rig->backend().set(BackendBehaviour::healthy());
  rig->restart();
  ASSERT_TRUE(rig->backend().waitForDelivery(dest, kDeadline));
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())->getString("zorva_device_key"),
            rig->deviceKey());
}

// A success status is the backend's word that it has the events, whatever its body says: they
// leave the store, and the service goes on reporting.
TEST_F(FaultTest, ASuccessWithABodyThatIsNotJsonStillCountsAsDelivered) {
  rig->backend().set(BackendBehaviour::garbageBody());
  const std::string first = rig->outside("first.txt");
  run({"cp", makeFile(rig->watched("first.txt")), first});
  ASSERT_TRUE(rig->backend().waitForDelivery(first, kDeadline));
  rig->backend().set(BackendBehaviour::healthy());
  ASSERT_TRUE(rig->markerCopy());
  EXPECT_EQ(eventsTo(first).size(), 1u);
  EXPECT_TRUE(rig->service().running());
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

// The state folder on a small tmpfs of its own, filled up while the service runs.
class DiskFullTest : public ProductTest {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    mountPoint_ = std::make_unique<TempFolder>("zorva-e2e-state");
    if (::mount("tmpfs", mountPoint_->path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                "size=1m,mode=0700") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    mounted_ = true;
    ProductTest::SetUp();
  }
  void TearDown() override {
    ProductTest::TearDown();  // the service first: it holds files there
    if (mounted_) ::umount2(mountPoint_->path().c_str(), MNT_DETACH);
    mountPoint_.reset();
  }
  RigOptions rigOptions() override {
    RigOptions options;
    options.stateDir = mountPoint_->path();
    return options;
  }

  // Fills the disk to the last block.
  void fill() {
    const std::string path = mountPoint_->path() + "/filler";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);
  }
  void makeRoom() { std::filesystem::remove(mountPoint_->path() + "/filler"); }

  std::unique_ptr<TempFolder> mountPoint_;
  bool mounted_ = false;
};

TEST_F(DiskFullTest, TheServiceSaysWhatIsWrongKeepsReportingAndRecoversWhenSpaceReturns) {
  // Full while running: the event cannot be kept on disk, which is said, and it still goes out.
  fill();
  const std::string whileFull = rig->outside("while-full.txt");
  run({"cp", makeFile(rig->watched("while-full.txt")), whileFull});
  ASSERT_TRUE(rig->backend().waitForDelivery(whileFull, kDeadline));
  EXPECT_TRUE(rig->service().waitForLog("ZORVA_LOG: ERROR: EventQueue: ", kDeadline));
  const auto errors = rig->service().logLines("ERROR: EventQueue: ");
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find("full"), std::string::npos) << errors[0];
  EXPECT_TRUE(rig->service().running());

  // Restarted while full: it starts, keeps its key and volumes, and says what is wrong.
  rig->service().stop();
  rig->restart();
  ASSERT_TRUE(rig->markerCopy()) << "volumes and key survived a start on a full disk";
  EXPECT_EQ(rig->service().log().find("moved it to"), std::string::npos)
      << "a full disk is not a damaged store:\n"
      << rig->service().log();

  // Room again: events are kept on disk once more. Proved by one refused while the service is
  // killed, which a restart then delivers.
  makeRoom();
  rig->backend().set(BackendBehaviour::answering(400));
  const std::string afterwards = rig->outside("afterwards.txt");
  run({"cp", makeFile(rig->watched("afterwards.txt")), afterwards});
  ASSERT_TRUE(rig->backend().waitForAttempt(afterwards, kDeadline));
  EXPECT_TRUE(stores(rig->stateDir(), afterwards));
  rig->service().kill();
  rig->backend().set(BackendBehaviour::healthy());
  rig->restart();
  ASSERT_TRUE(rig->backend().waitForDelivery(afterwards, kDeadline));
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())->getString("zorva_device_key"),
            rig->deviceKey());
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

}  // namespace
}  // namespace zorva::e2e
