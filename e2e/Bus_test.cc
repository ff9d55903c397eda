// The control interface end to end: the real zorvactl drives the real zorvad over a private bus,
// what it sets up survives restarts of the service, changes reach its watch, and the service
// outlives its bus.

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <utility>

#include "e2e/ProductTest.h"
#include "platform/dbus/testing/ChildProcess.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;
using zorva::testing::ChildProcess;
using zorva::testing::PrivateBus;
using Stream = ChildProcess::Stream;
using json = nlohmann::json;

class BusTest : public ProductTest {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    std::string whyNot;
    _bus = PrivateBus::start(whyNot);
    if (!_bus) GTEST_SKIP() << whyNot;
    ProductTest::SetUp();
  }
  void TearDown() override {
    ProductTest::TearDown();
    _bus.reset();
  }
  RigOptions rigOptions() override {
    RigOptions options = busRigOptions();
    options.busAddress = busPath();
    return options;
  }
  virtual RigOptions busRigOptions() { return {}; }

  // The bus's socket without the daemon's guid, which a restarted bus does not share: what an
  // installed service and its clients are configured with.
  std::string busPath() const { return _bus->address().substr(0, _bus->address().find(",guid=")); }

  CommandResult zorvactl(std::vector<std::string> args) {
    args.insert(args.begin(), {ZORVA_E2E_ZORVACTL, "--bus", busPath()});
    return runCommand(args);
  }

  std::unique_ptr<PrivateBus> _bus;
};

// Nothing saved beforehand: the key and the volume come only through zorvactl, and they are
// still in force after a restart with no client around.
class RegistrationTest : public BusTest {
  RigOptions busRigOptions() override { return {.seedState = false}; }
};

TEST_F(RegistrationTest, KeyAndVolumeGivenOverTheBusReportTransfersBeforeAndAfterARestart) {
  EXPECT_EQ(zorvactl({"is-running"}).out, "false\n") << "no key yet";
  ASSERT_EQ(zorvactl({"token", rig->deviceKey()}).status, 0);
  ASSERT_EQ(zorvactl({"add-volume", std::to_string(ProductRig::kVolume), rig->watched()}).status,
            0);
  // The key is held once the backend has confirmed it.
  EXPECT_TRUE(waitFor([&] { return zorvactl({"is-running"}).out == "true\n"; }, kDeadline, 50ms));

  const std::string dest = rig->outside("registered.txt");
  run({"cp", makeFile(rig->watched("registered.txt")), dest});
  ASSERT_TRUE(rig->backend().waitForDelivery(dest, kDeadline));
  ASSERT_EQ(eventsTo(dest).size(), 1u);
  EXPECT_EQ(eventsTo(dest)[0].volumeId, ProductRig::kVolume);
  EXPECT_EQ(eventsTo(dest)[0].source, "/registered.txt");
  // The status tells the same story: one copy, found by its content, and nothing left waiting
  // once the backend has taken it.
  json status;
  EXPECT_TRUE(waitFor(
      [&] {
        status = json::parse(zorvactl({"status", "--json"}).out, nullptr, false);
        return status.is_object() && status.value("/audit/waiting"_json_pointer, -1) == 0;
      },
      kDeadline, 50ms))
      << status.dump();
  const std::pair<const char*, json> expected[] = {
      {"/transfers/byContent", 1},
      {"/transfers/byRename", 0},
      {"/audit/lastUpload/result", "accepted"},
      {"/deviceKeyHeld", true},
      {"/volumes/0/id", ProductRig::kVolume},
      {"/late", json::array()},
  };
  for (const auto& [pointer, value] : expected) {
    EXPECT_EQ(status.is_object() ? status.value(json::json_pointer(pointer), json()) : json(),
              value)
        << pointer << " in " << status.dump();
  }

  rig->service().stop();
  rig->restart();
  const std::string again = rig->outside("after-restart.txt");
  run({"cp", makeFile(rig->watched("after-restart.txt")), again});
  ASSERT_TRUE(rig->backend().waitForDelivery(again, kDeadline));
  EXPECT_EQ(eventsTo(again)[0].volumeId, ProductRig::kVolume);
  EXPECT_EQ(eventsTo(dest).size(), 1u) << "the first event is not sent again";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

// Another process (a backup, an administrator's sqlite3) holds both stores while the service
// starts, for longer than their busy time-outs. Nothing is taken for damaged or for absent: the
// unsent audit events reach the backend, the saved roots and the key are in force once the stores
// are let go, and a volume registered meanwhile is watched at once and saved with the others.
TEST_F(BusTest, StoresHeldAtStartUpLoseNothingAndKeepWhatIsRegisteredMeanwhile) {
  rig->backend().set({.up = false});
  std::vector<std::string> unsent;
  for (int i = 0; i < 3; ++i) {
    unsent.push_back(rig->outside("unsent-" + std::to_string(i) + ".txt"));
    run({"cp", makeFile(rig->watched("unsent-" + std::to_string(i) + ".txt")), unsent.back()});
  }
  ASSERT_TRUE(waitFor([&] { return storedAuditEvents(rig->stateDir()).size() == 3; }, kDeadline));
  rig->service().stop();
  rig->backend().set({});

  // The holder takes both stores as an administrator's sqlite3 would for a long transaction,
  // and lets them go when its pipe closes. Close-on-exec: the service and zorvactl must not hold
  // the pipes.
  int held[2], release[2];
  ASSERT_EQ(pipe2(held, O_CLOEXEC) | pipe2(release, O_CLOEXEC), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    for (const char* name : {"defaults.sqlite3", "audit-events.sqlite3"}) {
      sqlite3* db = nullptr;
      sqlite3_open((rig->stateDir() + "/" + name).c_str(), &db);
      sqlite3_exec(db,
                   "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT 1 FROM sqlite_master;",
                   nullptr, nullptr, nullptr);
    }
    char byte = 'h';
    (void)!write(held[1], &byte, 1);
    close(release[1]);
    (void)!read(release[0], &byte, 1);
    _exit(0);
  }
  close(held[1]);
  close(release[0]);
  struct Holder {
    int release;
    pid_t pid;
    ~Holder() { letGo(); }
    void letGo() {
      if (release < 0) return;
      close(std::exchange(release, -1));  // the holder reads end of file and leaves
      waitpid(pid, nullptr, 0);
    }
  } stores{release[1], holder};
  char byte;
  ASSERT_EQ(read(held[0], &byte, 1), 1) << "the holder did not take the stores";
  close(held[0]);

  rig->restart();
  const std::string added = rig->root() + "/added";
  std::filesystem::create_directories(added);
  ASSERT_EQ(zorvactl({"add-volume", "9", added}).status, 0);
  ASSERT_TRUE(rig->service().waitForLog("PathTracker: addPath: 9,", kDeadline));
  const std::string fromAdded = rig->outside("from-added.txt");
  run({"cp", makeFile(added + "/from-added.txt"), fromAdded});
  ASSERT_TRUE(rig->service().waitForLog(" => " + fromAdded + "\n", kDeadline))
      << "a volume registered meanwhile is watched at once";
  EXPECT_FALSE(rig->backend().waitForDelivery(unsent[0], 1s)) << "no key can be read yet";
  stores.letGo();

  for (const std::string& dest : unsent) {
    EXPECT_TRUE(rig->backend().waitForDelivery(dest, kDeadline)) << dest;
  }
  EXPECT_TRUE(rig->backend().waitForDelivery(fromAdded, kDeadline));
  // The saved roots are read again on a timer once the settings can be read.
  ASSERT_TRUE(rig->service().waitForLog("PathTracker.init: load: 7:", kDeadline));
  ASSERT_TRUE(rig->markerCopy()) << "the saved volume 7 is in force";
  const auto roots = SqliteSettingsStore::open(rig->stateDir())
                         ->getDictionary("ZORVA_WATCH_PATHS")
                         .value_or(SettingValue::Dictionary{});
  EXPECT_EQ(roots.size(), 3u) << "the saved roots and the new one, saved together";
  EXPECT_TRUE(rig->service().running());
  for (const auto& entry : std::filesystem::directory_iterator(rig->stateDir())) {
    EXPECT_EQ(entry.path().filename().string().find(".corrupt-"), std::string::npos)
        << "a held store is not a damaged one";
  }
}

class TelemetryRestartTest : public BusTest {
  RigOptions busRigOptions() override { return {.backend = {.analyticsStatus = 500}}; }

 protected:
  // The kind of a telemetry event, a launch event shown as "launch".
  static std::string kindOf(const json& event) {
    const std::string type = event.value("type", "");
    return type == "event" && event.value("phylum", "") == "launch" ? "launch" : type;
  }
  long accepted(const std::string& kind) {
    const auto events = rig->backend().acceptedTelemetryEvents();
    return std::count_if(events.begin(), events.end(), [&](const std::string& text) {
      return kindOf(json::parse(text)) == kind;
    });
  }
};

TEST_F(TelemetryRestartTest, EventsTheAnalyticsServiceRefusedArriveAfterARestartAndInstallOnce) {
  // Recorded before the service says it is ready; the refusal proves an upload was tried.
  ASSERT_TRUE(waitFor([&] { return rig->backend().telemetryUploads() > 0; }, kDeadline));
  rig->service().stop();
  std::vector<std::string> stored;
  for (const SettingValue& item : SqliteSettingsStore::open(rig->stateDir())
                                      ->getArray("pravix_eventList")
                                      .value_or(SettingValue::Array{})) {
    json event = json::object();
    ASSERT_NE(item.asDictionary(), nullptr) << "a stored telemetry event is a dictionary";
    for (const auto& [key, value] : *item.asDictionary()) {
      if (const std::string* text = value.asString()) event[key] = *text;
    }
    stored.push_back(kindOf(event));
  }
  EXPECT_THAT(stored, ElementsAre("install", "dau", "launch"));
  EXPECT_THAT(rig->backend().acceptedTelemetryEvents(), IsEmpty());

  rig->backend().set({});
  rig->restart();
  // This run's own launch may go with them or after them, or (recorded in the same second as the
  // kept one, and so equal to it) leave the list with it.
  ASSERT_TRUE(waitFor([&] { return accepted("install") && accepted("dau") && accepted("launch"); },
                      kDeadline))
      << ::testing::PrintToString(rig->backend().acceptedTelemetryEvents());
  EXPECT_EQ(accepted("install"), 1) << "the install event once, and no second install";
  EXPECT_TRUE(rig->service().running());
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

// The bus daemon restarted under a running service, as an upgrade of the bus package does.
using BusRestartTest = BusTest;

TEST_F(BusRestartTest, TheServiceSaysItLostTheBusAndGoesOnReportingTransfers) {
  // A client registered with notifications is told of a change under its volume; its connection
  // is then interrupted.
  auto watcher = ChildProcess::spawn({ZORVA_E2E_ZORVACTL, "--bus", busPath(), "watch",
                                      std::to_string(ProductRig::kVolume), rig->watched()});
  ASSERT_THAT(watcher->readLine(Stream::Err, kDeadline),
              Optional(HasSubstr("zorvactl: watching volume")));
  const std::string changed = rig->watched("changed.txt");
  writeFile(changed, "written under volume 7\n");
  EXPECT_EQ(watcher->readLine(Stream::Out, kDeadline), changed);
  std::string whyNot;
  ASSERT_TRUE(_bus->restart(whyNot)) << whyNot;

  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: ERROR: XPC: bus connection lost", kDeadline));
  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: interruptionHandler", kDeadline));
  EXPECT_EQ(watcher->wait(), 1) << "the client sees its bus go";

  ASSERT_TRUE(rig->markerCopy()) << "transfers are still detected and uploaded";
  EXPECT_TRUE(rig->service().running());

  // The service does not come back on the new bus: clients cannot reach it until it is
  // restarted, which the unit's restart policy does not do for a service still running.
  const CommandResult ping = zorvactl({"ping", "hello"});
  EXPECT_EQ(ping.status, 1) << ping.err;
  rig->service().stop();
  rig->restart();
  EXPECT_EQ(zorvactl({"ping", "hello"}).out, "pong\n") << "a restarted service serves again";
}

}  // namespace
}  // namespace zorva::e2e
