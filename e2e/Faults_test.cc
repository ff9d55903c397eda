// A backend that is away, refuses, fails or does not speak TLS, and a state folder whose disk is
// full: the service keeps running, says what is wrong, loses no event it kept, and recovers once
// the fault is gone.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::IsEmpty;

class RestartTest : public ProductTest, public ::testing::WithParamInterface<BackendMode> {
 protected:
  RigOptions rigOptions() override { return {.backend = GetParam()}; }
};

TEST_P(RestartTest, UnsentEventsTheKeyAndTheVolumesSurviveTheFaultAndARestart) {
  const std::string copied = rig->outside("copied.txt");
  const std::string moved = rig->outside("moved.txt");
  run({"cp", makeFile(rig->watched("copied.txt")), copied});
  run({"mv", makeFile(rig->watched("moved.txt")), moved});
  // The rename is found at once and goes out first, alone.
  if (GetParam().uploadStatus) {
    ASSERT_TRUE(rig->backend().waitForAttempt(moved, kDeadline));
  }
  if (GetParam().uploadStatus != 400) {
    // Not an answer to the records: tried again later. The key stands in the retry line's URL,
    // and must not stand there in clear.
    ASSERT_TRUE(rig->service().waitForLog("DeviceApi: sendRequest: retry: url: /api/1/audit_event",
                                          kDeadline));
    EXPECT_EQ(rig->service().log().find(rig->deviceKey()), std::string::npos);
  }
  ASSERT_TRUE(waitFor(
      [&] { return stores(rig->stateDir(), copied) && stores(rig->stateDir(), moved); }, kDeadline))
      << "kept durably despite the fault";
  EXPECT_THAT(rig->backend().delivered(), IsEmpty());
  const int status = rig->service().stop();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

  rig->backend().set({});
  rig->restart();
  EXPECT_TRUE(rig->backend().waitForDelivery(copied, kDeadline));
  EXPECT_TRUE(rig->backend().waitForDelivery(moved, kDeadline));
  ASSERT_TRUE(rig->markerCopy()) << "volume 7 came back from the settings";
  EXPECT_EQ(eventsTo(copied).size(), 1u);
  EXPECT_EQ(eventsTo(moved).size(), 1u);
  for (const char* line : {"PathTracker.init: load: 7:", "PathTracker.init: load: 8:",
                           "EventQueue: restored 2 unsent audit events"}) {
    EXPECT_EQ(rig->service().logLines(line).size(), 1u) << line;
  }
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())->getString("zorva_device_key"),
            rig->deviceKey())
      << "the key was kept through the fault and the restart";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backend, RestartTest,
                         ::testing::Values(BackendMode{.up = false}, BackendMode{.tls = false},
                                           BackendMode{.uploadStatus = 400},
                                           BackendMode{.uploadStatus = 503}),
                         [](const auto& info) {
                           const BackendMode& mode = info.param;
                           return !mode.up    ? std::string("Down")
                                  : !mode.tls ? std::string("NotTls")
                                              : "Answering" + std::to_string(mode.uploadStatus);
                         });

// The state folder on a small tmpfs of its own, filled up while the service runs.
class DiskFullTest : public ProductTest {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    if (::mount("tmpfs", _disk.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                "size=1m,mode=0700") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    _mounted = true;
    ProductTest::SetUp();
  }
  void TearDown() override {
    ProductTest::TearDown();  // the service first: it holds files there
    if (_mounted) ::umount2(_disk.path().c_str(), MNT_DETACH);
  }
  RigOptions rigOptions() override { return {.stateDir = _disk.path()}; }

  // Fills the disk to the last byte.
  void fill() {
    int fd = ::open((_disk / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    for (size_t size : {block.size(), size_t{1}}) {
      while (::write(fd, block.data(), size) > 0) {
      }
    }
    ::close(fd);
  }

  TempFolder _disk{"zorva-e2e-state"};
  bool _mounted = false;
};

TEST_F(DiskFullTest, TheServiceSaysWhatIsWrongKeepsReportingAndRecoversWhenSpaceReturns) {
  // Full while running: the event cannot be kept on disk, which is said, and it still goes out.
  fill();
  const std::string whileFull = rig->outside("while-full.txt");
  run({"cp", makeFile(rig->watched("while-full.txt")), whileFull});
  ASSERT_TRUE(rig->backend().waitForDelivery(whileFull, kDeadline));
  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: ERROR: EventQueue: ", kDeadline));
  const std::string error = rig->service().logLines("ERROR: EventQueue: ")[0];
  EXPECT_NE(error.find("full"), std::string::npos) << error;
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
  std::filesystem::remove(_disk / "filler");
  rig->backend().set({.uploadStatus = 400});
  const std::string afterwards = rig->outside("afterwards.txt");
  run({"cp", makeFile(rig->watched("afterwards.txt")), afterwards});
  ASSERT_TRUE(rig->backend().waitForAttempt(afterwards, kDeadline));
  EXPECT_TRUE(stores(rig->stateDir(), afterwards));
  rig->service().kill();
  rig->backend().set({});
  rig->restart();
  ASSERT_TRUE(rig->backend().waitForDelivery(afterwards, kDeadline));
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())->getString("zorva_device_key"),
            rig->deviceKey());
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

}  // namespace
}  // namespace zorva::e2e
