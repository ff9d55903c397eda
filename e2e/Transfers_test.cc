// The product as its users meet it: the real zorvad on the kernel's file events, real tools moving
// data, and audit events arriving at the backend over HTTPS. "Exactly one" is asserted after a
// marker copy made last has arrived: everything detected before it has been handled by then.

#include <gmock/gmock.h>

#include <ctime>
#include <filesystem>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::IsEmpty;

std::set<std::string> deliveredDests(RigBackend& backend) {
  std::set<std::string> dests;
  for (const AuditEvent& event : backend.delivered()) dests.insert(event.dest);
  return dests;
}

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

using TransferTest = ProductTest;

TEST_F(TransferTest, EachWayOfTakingAFileOutIsReportedOnceWithItsFields) {
  struct Case {
    std::string how;
    std::string file;  // below the watched folder
    std::string dest;  // below the outside folder
    std::vector<std::string> command;
  };
  std::vector<Case> cases = {
      {"cp", "Report Q3.PDF", "Report Q3.PDF", {}},
      {"cp from a subfolder", "Sub Dir/b.txt", "b-copy.txt", {}},
      {"mv", "c.txt", "c.txt", {}},
      {"cp -p", "e.bin", "e.bin", {}},
  };
  std::filesystem::create_directories(rig->watched("Sub Dir"));
  for (Case& c : cases) {
    const std::string source = makeFile(rig->watched(c.file));
    const std::string dest = rig->outside(c.dest);
    if (c.how == "mv") {
      c.command = {"mv", source, dest};
    } else if (c.how == "cp -p") {
      c.command = {"cp", "-p", source, dest};
    } else {
      c.command = {"cp", source, dest};
    }
  }
  const std::string before = utcNow();
  for (const Case& c : cases) run(c.command);
  const auto marker = rig->markerCopy();
  ASSERT_TRUE(marker) << "the marker copy was not reported";
  const std::string after = utcNow();

  std::set<std::string> expected = {*marker};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string dest = rig->outside(c.dest);
    expected.insert(dest);
    const auto events = eventsTo(dest);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "/" + c.file) << "below the root, letter case kept";
    EXPECT_EQ(events[0].dest, dest);
    EXPECT_EQ(events[0].volumeId, ProductRig::kVolume);
    EXPECT_GE(events[0].createTime, before);
    EXPECT_LE(events[0].createTime, after);
    EXPECT_EQ(rig->backend().deliveredTo(dest).size(), 1u) << "sent once";
  }
  EXPECT_EQ(deliveredDests(rig->backend()), expected) << "nothing else was reported";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

TEST_F(TransferTest, ChangesThatLeaveTheDataOnWatchedFoldersAreNotReported) {
  const std::string removed = makeFile(rig->watched("removed.txt"));
  const std::string linked = makeFile(rig->watched("linked.txt"));
  const std::string copied = makeFile(rig->watched("copied.txt"));
  const std::string moved = makeFile(rig->watched("moved.txt"));
  const std::string incoming = makeFile(rig->outside("incoming.txt"));
  const std::string movedIn = makeFile(rig->outside("moved-in.txt"));
  // A hard link is a second name for the same data on the same filesystem: the kernel reports it
  // as a new name, which the service treats as a change, never as a transfer. (A real removable
  // or network drive cannot be hard-linked from another filesystem at all.)
  run({"ln", linked, rig->outside("linked-out.txt")});
  run({"rm", removed});
  run({"cp", copied, rig->watched2("copied.txt")});   // to another watched volume
  run({"cp", copied, rig->watched("copied-2.txt")});  // within the same volume
  run({"mv", moved, rig->watched2("moved.txt")});
  run({"cp", incoming, rig->watched("incoming.txt")});  // into a watched folder
  run({"mv", movedIn, rig->watched("moved-in.txt")});
  const auto marker = rig->markerCopy();
  ASSERT_TRUE(marker);
  EXPECT_EQ(deliveredDests(rig->backend()), std::set<std::string>{*marker});
  for (const std::string& line : rig->service().logLines("ERROR")) {
    // The rig gives the service no bus on purpose, which costs it its listener; anything else is
    // a fault.
    EXPECT_TRUE(line.find("XPC: threw:") != std::string::npos || line.ends_with("XPC: no listener"))
        << line;
  }
}

// --- What survives a restart ---

class RestartTest : public ProductTest, public ::testing::WithParamInterface<BackendBehaviour> {
 protected:
  RigOptions rigOptions() override {
    RigOptions options;
    options.backend = GetParam();
    return options;
  }
};

TEST_P(RestartTest, UnsentEventsTheKeyAndTheVolumesSurviveARestart) {
  const std::string copied = rig->outside("copied.txt");
  const std::string moved = rig->outside("moved.txt");
  run({"cp", makeFile(rig->watched("copied.txt")), copied});
  run({"mv", makeFile(rig->watched("moved.txt")), moved});
  ASSERT_TRUE(waitDetected(copied));
  ASSERT_TRUE(waitDetected(moved));
  // Detected, and durably kept: both are in the service's store before it stops.
  ASSERT_TRUE(waitFor(
      [&] {
        const auto stored = storedAuditEvents(rig->stateDir());
        auto has = [&](const std::string& dest) {
          return std::any_of(stored.begin(), stored.end(), [&](const std::string& record) {
            return record.find("\"dest\":\"" + dest + "\"") != std::string::npos;
          });
        };
        return has(copied) && has(moved);
      },
      kDeadline));
  EXPECT_THAT(rig->backend().delivered(), IsEmpty());
  const int status = rig->service().stop();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

  rig->backend().set(BackendBehaviour::healthy());
  rig->restart();
  EXPECT_TRUE(rig->backend().waitForDelivery(copied, kDeadline));
  EXPECT_TRUE(rig->backend().waitForDelivery(moved, kDeadline));
  // The volumes came back from the settings: a new copy out of volume 7 is seen.
  ASSERT_TRUE(rig->markerCopy());
  EXPECT_EQ(eventsTo(copied).size(), 1u);
  EXPECT_EQ(eventsTo(moved).size(), 1u);
  EXPECT_EQ(rig->service().logLines("PathTracker.init: load: 7:").size(), 1u);
  EXPECT_EQ(rig->service().logLines("PathTracker.init: load: 8:").size(), 1u);
  EXPECT_EQ(rig->service().logLines("EventQueue: restored 2 unsent audit events").size(), 1u);
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())->getString("zorva_device_key"),
            rig->deviceKey())
      << "the key was kept through the outage and the restart";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backend, RestartTest,
                         ::testing::Values(BackendBehaviour::down(),
                                           BackendBehaviour::answering(400),
                                           BackendBehaviour::answering(503)),
                         [](const auto& info) {
                           switch (info.param.kind) {
                             case BackendBehaviour::Kind::Down:
                               return std::string("Down");
                             default:
                               return "Answering" + std::to_string(info.param.status);
                           }
                         });

}  // namespace
}  // namespace zorva::e2e
