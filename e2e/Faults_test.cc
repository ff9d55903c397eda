// A backend that is away, refuses, fails or does not speak TLS, an analytics service that refuses,
// and a state folder whose disk is full: the service keeps running, says what is wrong, loses no
// event it kept, and recovers once the fault is gone.

#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::IsEmpty;
using json = nlohmann::json;

class RestartTest : public ProductTest, public ::testing::WithParamInterface<BackendMode> {
 protected:
  RigOptions rigOptions() override { return {.backend = GetParam()}; }

  // The kind of a telemetry event, a launch event shown as "launch".
  static std::string kindOf(const json& event) {
    const std::string type = event.value("type", "");
    return type == "event" && event.value("phylum", "") == "launch" ? "launch" : type;
  }
  long accepted(const std::string& kind) {
    return std::ranges::count_if(rig->backend().telemetryEvents(), [&](const std::string& text) {
      return kindOf(json::parse(text)) == kind;
    });
  }
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
  // Telemetry refused: recorded before the service says it is ready, and kept.
  const bool refused = GetParam().analyticsStatus != 0;
  ASSERT_TRUE(!refused ||
              waitFor([&] { return !rig->backend().telemetryEvents(false).empty(); }, kDeadline));
  ASSERT_EQ(rig->service().stop(), 128 + SIGTERM);
  EXPECT_TRUE(!refused || rig->backend().telemetryEvents().empty());

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
  // This run's own launch may go with the kept ones or after them, or (recorded in the same second
  // as the kept one, and so equal to it) leave the list with it.
  ASSERT_TRUE(waitFor([&] { return accepted("install") && accepted("dau") && accepted("launch"); },
                      kDeadline))
      << ::testing::PrintToString(rig->backend().telemetryEvents());
  EXPECT_EQ(accepted("install"), 1) << "the install event once, and no second install";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backend, RestartTest,
                         ::testing::Values(BackendMode{.up = false}, BackendMode{.tls = false},
                                           BackendMode{.uploadStatus = 400},
                                           BackendMode{.uploadStatus = 503,
                                                       .analyticsStatus = 500}),
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

  TempFolder _disk{"zorva-e2e-state"};
  bool _mounted = false;
};

TEST_F(DiskFullTest, TheServiceSaysWhatIsWrongKeepsReportingAndRecoversWhenSpaceReturns) {
  // Full while running: the event cannot be kept on disk, which is said, and it still goes out.
  runCommand({"sh", "-c", "cat /dev/zero > \"$1\"", "sh", _disk / "filler"});  // to the last byte
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
