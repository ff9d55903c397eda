// The control interface end to end: the real zorvactl drives the real zorvad over a private bus,
// and what it sets up survives restarts of the service; the service outlives its bus.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "e2e/ProductTest.h"
#include "platform/dbus/SdBusConnect.h"
#include "platform/dbus/testing/ChildProcess.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using zorva::testing::ChildProcess;
using zorva::testing::PrivateBus;
using Stream = ChildProcess::Stream;
using json = nlohmann::json;

// A `zorvactl watch` client: registered for one volume with notifications, printing each changed
// path on a line of its own.
struct Watcher {
  std::unique_ptr<ChildProcess> process;
  std::string uniqueName;  // its connection on the bus
  std::vector<std::string> printed;
};

class BusTest : public ProductTest {
 protected:
  void SetUp() override {
    if (auto why = whyProductCannotRun()) GTEST_SKIP() << *why;
    std::string whyNot;
    bus_ = PrivateBus::start(whyNot);
    if (!bus_) GTEST_SKIP() << whyNot;
    ProductTest::SetUp();
  }

  void TearDown() override {
    watchers_.clear();
    probe_.reset();
    ProductTest::TearDown();
    bus_.reset();
  }

  RigOptions rigOptions() override {
    RigOptions options = busRigOptions();
    options.busAddress = busPath();
    return options;
  }

  // The bus's socket without the daemon's guid, which a restarted bus does not share: what an
  // installed service and its clients are configured with.
  std::string busPath() const {
    const std::string& address = bus_->address();
    return address.substr(0, address.find(",guid="));
  }
  virtual RigOptions busRigOptions() { return {}; }

  CommandResult zorvactl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ZORVA_E2E_ZORVACTL, "--bus", busPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
  }

  // Starts a watcher and waits until the service has taken its registration.
  Watcher& watch(int64_t volumeId, const std::string& folder) {
    auto process = ChildProcess::spawn(
        {ZORVA_E2E_ZORVACTL, "--bus", busPath(), "watch", std::to_string(volumeId), folder});
    if (!process) throw std::runtime_error("cannot start zorvactl");
    auto line = process->readLine(Stream::Err, kDeadline);
    if (!line || line->find("zorvactl: watching volume") == std::string::npos) {
      throw std::runtime_error("zorvactl watch did not register: " + line.value_or("(nothing)"));
    }
    auto watcher = std::make_unique<Watcher>();
    watcher->uniqueName = uniqueNameOf(process->pid());
    watcher->process = std::move(process);
    watchers_.push_back(std::move(watcher));
    return *watchers_.back();
  }

  // Waits until the watcher has printed `path`.
  bool waitPrinted(Watcher& watcher, const std::string& path) {
    const auto deadline = Steady::now() + kDeadline;
    while (std::find(watcher.printed.begin(), watcher.printed.end(), path) ==
           watcher.printed.end()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
      if (left.count() <= 0) return false;
      auto line = watcher.process->readLine(Stream::Out, left);
      if (!line) return false;
      watcher.printed.push_back(*line);
    }
    return true;
  }

  // Everything the watcher has printed so far. A ping answered by its connection first: the
  // watcher handles its messages in order, so any change sent to it before has been printed by
  // then.
  const std::vector<std::string>& printedSoFar(Watcher& watcher) {
    auto peer = sdbus::createProxy(*probe(), watcher.uniqueName, "/");
    peer->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
    // Already in the pipe: the read does not wait for anything to happen.
    while (auto line = watcher.process->readLine(Stream::Out, 1ms)) {
      watcher.printed.push_back(*line);
    }
    return watcher.printed;
  }

  sdbus::IConnection* probe() {
    if (!probe_) probe_ = connectToBus(bus_->busAddress());
    return probe_.get();
  }

  std::string uniqueNameOf(pid_t pid) {
    auto daemon = sdbus::createProxy(*probe(), "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::vector<std::string> names;
    daemon->callMethod("ListNames").onInterface("org.freedesktop.DBus").storeResultsTo(names);
    for (const std::string& name : names) {
      if (!name.starts_with(":")) continue;
      uint32_t owner = 0;
      try {
        daemon->callMethod("GetConnectionUnixProcessID")
            .onInterface("org.freedesktop.DBus")
            .withArguments(name)
            .storeResultsTo(owner);
      } catch (const sdbus::Error&) {
        continue;  // gone meanwhile
      }
      if (static_cast<pid_t>(owner) == pid) return name;
    }
    throw std::runtime_error("no bus connection of process " + std::to_string(pid));
  }

  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<sdbus::IConnection> probe_;
  std::vector<std::unique_ptr<Watcher>> watchers_;
};

// Nothing saved beforehand: the key and the volume come only through zorvactl, and they are
// still in force after a restart with no client around.
class RegistrationTest : public BusTest {
  RigOptions busRigOptions() override {
    RigOptions options;
    options.seedState = false;
    return options;
  }
};

TEST_F(RegistrationTest, KeyAndVolumeGivenOverTheBusReportTransfersBeforeAndAfterARestart) {
  EXPECT_EQ(zorvactl({"is-running"}).output, "false\n") << "no key yet";
  ASSERT_EQ(zorvactl({"token", rig->deviceKey()}).status, 0);
  ASSERT_EQ(zorvactl({"add-volume", std::to_string(ProductRig::kVolume), rig->watched()}).status,
            0);
  // The key is held once the backend has confirmed it.
  EXPECT_TRUE(
      waitFor([&] { return zorvactl({"is-running"}).output == "true\n"; }, kDeadline, 50ms));

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
        const CommandResult result = zorvactl({"status", "--json"});
        status = json::parse(result.output, nullptr, /*allow_exceptions=*/false);
        return result.status == 0 && status.is_object() &&
               status.value("/audit/waiting"_json_pointer, -1) == 0;
      },
      kDeadline, 50ms))
      << status.dump();
  if (status.is_object()) {
    EXPECT_EQ(status.value("/transfers/byContent"_json_pointer, -1), 1) << status.dump();
    EXPECT_EQ(status.value("/transfers/byRename"_json_pointer, -1), 0);
    EXPECT_EQ(status.value("/audit/lastUpload/result"_json_pointer, ""), "accepted");
    EXPECT_EQ(status.value("/deviceKeyHeld"_json_pointer, false), true);
    EXPECT_EQ(status.value("/volumes/0/id"_json_pointer, -1), ProductRig::kVolume);
    EXPECT_EQ(status.value("/late"_json_pointer, json()), json::array());
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

using NotificationTest = BusTest;

TEST_F(NotificationTest, AChangeReachesOnlyTheClientLastRegisteredForItsVolume) {
  Watcher& first = watch(ProductRig::kVolume, rig->watched());
  Watcher& other = watch(ProductRig::kOtherVolume, rig->watched2());

  const std::string changedA = rig->watched("changed-a.txt");
  writeFile(changedA, "written under volume 7\n");
  ASSERT_TRUE(waitPrinted(first, changedA));
  const std::string changedB = rig->watched2("changed-b.txt");
  writeFile(changedB, "written under volume 8\n");
  ASSERT_TRUE(waitPrinted(other, changedB));
  EXPECT_THAT(printedSoFar(first), ElementsAre(changedA));
  EXPECT_THAT(printedSoFar(other), ElementsAre(changedB));

  // A later client takes volume 7 over; the first one is told nothing more, though still there.
  Watcher& later = watch(ProductRig::kVolume, rig->watched());
  const std::string changedAgain = rig->watched("changed-again.txt");
  writeFile(changedAgain, "written under volume 7 again\n");
  ASSERT_TRUE(waitPrinted(later, changedAgain));
  EXPECT_THAT(printedSoFar(later), ElementsAre(changedAgain));
  EXPECT_THAT(printedSoFar(first), ElementsAre(changedA));
  EXPECT_THAT(printedSoFar(other), ElementsAre(changedB));
  EXPECT_TRUE(rig->service().running());
}

// The telemetry client's events while the analytics service refuses them.
// Another process (a backup, an administrator's sqlite3) holds both stores while the service
// starts, for longer than their busy time-outs. Nothing is taken for damaged or for absent: the
// unsent audit events reach the backend, the saved roots and the key are in force once the stores
// are let go, and a volume registered meanwhile is watched at once and saved with the others.
TEST_F(BusTest, StoresHeldAtStartUpLoseNothingAndKeepWhatIsRegisteredMeanwhile) {
  rig->backend().set(BackendBehaviour::down());
  std::vector<std::string> unsent;
  for (int i = 0; i < 3; ++i) {
    unsent.push_back(rig->outside("unsent-" + std::to_string(i) + ".txt"));
    run({"cp", makeFile(rig->watched("unsent-" + std::to_string(i) + ".txt")), unsent.back()});
  }
  ASSERT_TRUE(waitFor([&] { return storedAuditEvents(rig->stateDir()).size() == 3; }, kDeadline));
  rig->service().stop();
  rig->backend().set(BackendBehaviour::healthy());

  // The holder takes each store the way sqlite3 would for a long transaction.
  // Close-on-exec: the service and zorvactl, started later, must not keep the holder waiting.
  int held[2];
  int release[2];
  ASSERT_EQ(pipe2(held, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    close(held[0]);
    close(release[1]);
    std::vector<sqlite3*> dbs;
    for (const char* name : {"defaults.sqlite3", "audit-events.sqlite3"}) {
      sqlite3* db = nullptr;
      sqlite3_open((rig->stateDir() + "/" + name).c_str(), &db);
      sqlite3_exec(db,
                   "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT 1 FROM sqlite_master;",
                   nullptr, nullptr, nullptr);
      dbs.push_back(db);
    }
    (void)!write(held[1], "h", 1);
    char byte;
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
      close(release);  // the holder reads end of file and leaves, letting the stores go
      waitpid(pid, nullptr, 0);
      release = -1;
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
  ASSERT_TRUE(waitDetected(fromAdded)) << "a volume registered meanwhile is watched at once";
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
  RigOptions busRigOptions() override {
    RigOptions options;
    options.analyticsStatus = 500;
    return options;
  }

 protected:
  // The types of the stored events, with a launch event shown as "launch".
  static std::vector<std::string> kinds(const std::vector<json>& events) {
    std::vector<std::string> out;
    for (const json& event : events) {
      const std::string type = event.value("type", "");
      out.push_back(type == "event" && event.value("phylum", "") == "launch" ? "launch" : type);
    }
    return out;
  }

  std::vector<json> storedEvents() {
    std::vector<json> events;
    auto list = SqliteSettingsStore::open(rig->stateDir())->getArray("pravix_eventList");
    if (!list) return events;
    for (const SettingValue& item : *list) {
      json event = json::object();
      const SettingValue::Dictionary* fields = item.asDictionary();
      if (!fields) throw std::runtime_error("a stored telemetry event is not a dictionary");
      for (const auto& [key, value] : *fields) {
        if (const std::string* text = value.asString()) event[key] = *text;
      }
      events.push_back(std::move(event));
    }
    return events;
  }

  std::vector<std::string> acceptedKinds() {
    std::vector<json> events;
    for (const std::string& text : rig->backend().acceptedTelemetryEvents()) {
      events.push_back(json::parse(text));
    }
    return kinds(events);
  }
};

TEST_F(TelemetryRestartTest, EventsTheAnalyticsServiceRefusedArriveAfterARestartAndInstallOnce) {
  // Recorded before the service says it is ready; the refusal proves an upload was tried.
  ASSERT_TRUE(waitFor([&] { return rig->backend().telemetryUploads() > 0; }, kDeadline));
  rig->service().stop();
  EXPECT_THAT(kinds(storedEvents()), ElementsAre("install", "dau", "launch"));
  EXPECT_THAT(rig->backend().acceptedTelemetryEvents(), IsEmpty());

  rig->backend().setAnalyticsStatus(0);
  rig->restart();
  auto count = [](const std::vector<std::string>& kinds, const std::string& kind) {
    return std::count(kinds.begin(), kinds.end(), kind);
  };
  // This run's own launch may go with them or after them, or (recorded in the same second as the
  // kept one, and so equal to it) leave the list with it.
  ASSERT_TRUE(waitFor(
      [&] {
        const auto kinds = acceptedKinds();
        return count(kinds, "install") > 0 && count(kinds, "dau") > 0 && count(kinds, "launch") > 0;
      },
      kDeadline))
      << ::testing::PrintToString(rig->backend().acceptedTelemetryEvents());
  EXPECT_EQ(count(acceptedKinds(), "install"), 1)
      << "the install event once, and no second install";
  EXPECT_TRUE(rig->service().running());
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

// The bus daemon restarted under a running service, as an upgrade of the bus package does.
using BusRestartTest = BusTest;

TEST_F(BusRestartTest, TheServiceSaysItLostTheBusAndGoesOnReportingTransfers) {
  // A client with a registration, so there is a connection to interrupt.
  Watcher& watcher = watch(ProductRig::kVolume, rig->watched());
  std::string whyNot;
  probe_.reset();
  ASSERT_TRUE(bus_->restart(whyNot)) << whyNot;

  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: ERROR: XPC: bus connection lost", kDeadline));
  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: interruptionHandler", kDeadline));
  EXPECT_EQ(watcher.process->wait(), 1) << "the client sees its bus go";

  ASSERT_TRUE(rig->markerCopy()) << "transfers are still detected and uploaded";
  EXPECT_TRUE(rig->service().running());

  // The service does not come back on the new bus: clients cannot reach it until it is
  // restarted, which the unit's restart policy does not do for a service still running.
  const CommandResult ping = zorvactl({"ping", "hello"});
  EXPECT_EQ(ping.status, 1) << ping.output;
  rig->service().stop();
  rig->restart();
  EXPECT_EQ(zorvactl({"ping", "hello"}).output, "pong\n") << "a restarted service serves again";
}

}  // namespace
}  // namespace zorva::e2e
