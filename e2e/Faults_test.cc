// A backend away, refusing, failing or not speaking TLS, analytics refused, a full disk: the
// service keeps running, says what is wrong, loses no event it kept, and recovers once the fault is
// gone.

#include <sys/mount.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using json = nlohmann::json;

using Fault = std::pair<std::string, BackendMode>;  // a name and the backend's mode

class RestartTest : public ProductTest, public ::testing::WithParamInterface<Fault> {
 protected:
  RigOptions rigOptions() override { return {.backend = GetParam().second}; }

  // How many analytics events of `kind` were accepted, a launch event counted as "launch".
  long accepted(const std::string& kind) {
    return std::ranges::count_if(rig->backend().telemetryEvents(), [&](const std::string& text) {
      const json e = json::parse(text);
      const bool launch = e.value("type", "") == "event" && e.value("phylum", "") == "launch";
      return launch ? kind == "launch" : e.value("type", "") == kind;
    });
  }
};

TEST_P(RestartTest, UnsentEventsTheKeyAndTheVolumesSurviveTheFaultAndARestart) {
  const BackendMode& fault = GetParam().second;
  const std::string copied = rig->outside("copied.txt"), moved = rig->outside("moved.txt");
  run({"cp", makeFile(rig->watched("copied.txt")), copied});
  run({"mv", makeFile(rig->watched("moved.txt")), moved});
  // The rename is found at once and goes out first, alone.
  ASSERT_TRUE(!fault.uploadStatus || rig->backend().waitForAttempt(moved, kDeadline));
  if (fault.uploadStatus != 400) {
    // Not an answer to the records: tried again later. The key stands in the retry line's URL,
    // and must not stand there in clear.
    ASSERT_TRUE(
        rig->waitForLog("DeviceApi: sendRequest: retry: url: /api/1/audit_event", kDeadline));
    EXPECT_THAT(rig->log(), Not(HasSubstr(rig->deviceKey())));
  }
  ASSERT_TRUE(waitFor([&] { return stores(copied) && stores(moved); }, kDeadline))
      << "kept durably despite the fault";
  EXPECT_THAT(rig->backend().delivered(), IsEmpty());
  // Telemetry refused: recorded before the service says it is ready, and kept.
  const bool refused = fault.analyticsStatus != 0;
  ASSERT_TRUE(!refused ||
              waitFor([&] { return !rig->backend().telemetryEvents(false).empty(); }, kDeadline));
  ASSERT_EQ(rig->stop(), 128 + SIGTERM);
  EXPECT_TRUE(!refused || rig->backend().telemetryEvents().empty());

  rig->backend().set({});
  rig->restart();
  EXPECT_TRUE(rig->backend().waitForDelivery(copied, kDeadline));
  EXPECT_TRUE(rig->backend().waitForDelivery(moved, kDeadline));
  ASSERT_TRUE(rig->markerCopy()) << "volume 7 came back from the settings";
  EXPECT_EQ(rig->backend().deliveredTo(copied).size(), 1u);
  EXPECT_EQ(rig->backend().deliveredTo(moved).size(), 1u);
  for (const char* line : {"PathTracker.init: load: 7:", "PathTracker.init: load: 8:",
                           "EventQueue: restored 2 unsent audit events"})
    EXPECT_EQ(rig->logLines(line).size(), 1u) << line;
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

INSTANTIATE_TEST_SUITE_P(
    Backend, RestartTest,
    ::testing::Values(Fault{"Down", {.up = false}}, Fault{"NotTls", {.tls = false}},
                      Fault{"Answering400", {.uploadStatus = 400}},
                      Fault{"Answering503", {.uploadStatus = 503, .analyticsStatus = 500}}),
    [](const auto& info) { return info.param.first; });

// The state folder on a small tmpfs of its own, filled up while the service runs.
class DiskFullTest : public ProductTest {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    if (::mount("tmpfs", _disk.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                "size=1m,mode=0700") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    ProductTest::SetUp();
  }
  void TearDown() override {
    ProductTest::TearDown();                      // the service first: it holds files there
    ::umount2(_disk.path().c_str(), MNT_DETACH);  // fails harmlessly where nothing was mounted
  }
  RigOptions rigOptions() override { return {.stateDir = _disk.path()}; }

  TempFolder _disk{"zorva-e2e-state"};
};

TEST_F(DiskFullTest, TheServiceSaysWhatIsWrongKeepsReportingAndRecoversWhenSpaceReturns) {
  // Full while running: the event cannot be kept on disk, which is said, and it still goes out.
  runCommand({"sh", "-c", "cat /dev/zero > \"$1\"", "sh", _disk / "filler"});  // to the last byte
  const std::string whileFull = rig->outside("while-full.txt");
  run({"cp", makeFile(rig->watched("while-full.txt")), whileFull});
  ASSERT_TRUE(rig->backend().waitForDelivery(whileFull, kDeadline));
  ASSERT_TRUE(rig->waitForLog("ZORVA_LOG: ERROR: EventQueue: ", kDeadline));
  EXPECT_THAT(rig->logLines("ERROR: EventQueue: ")[0], HasSubstr("full"));
  EXPECT_TRUE(rig->running());

  // Restarted while full: it starts, keeps its key and volumes, and says what is wrong.
  rig->stop();
  rig->restart();
  ASSERT_TRUE(rig->markerCopy()) << "volumes and key survived a start on a full disk";
  EXPECT_THAT(rig->log(), Not(HasSubstr("moved it to"))) << "a full disk is not a damaged store";

  // Room again: events are kept on disk once more. Proved by one refused while the service is
  // killed, which a restart then delivers.
  std::filesystem::remove(_disk / "filler");
  rig->backend().set({.uploadStatus = 400});
  const std::string afterwards = rig->outside("afterwards.txt");
  run({"cp", makeFile(rig->watched("afterwards.txt")), afterwards});
  ASSERT_TRUE(rig->backend().waitForAttempt(afterwards, kDeadline));
  EXPECT_TRUE(stores(afterwards));
  rig->kill();
  rig->backend().set({});
  rig->restart();
  ASSERT_TRUE(rig->backend().waitForDelivery(afterwards, kDeadline));
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())->getString("zorva_device_key"),
            rig->deviceKey());
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

}  // namespace
}  // namespace zorva::e2e
