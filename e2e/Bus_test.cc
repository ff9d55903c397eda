// The control interface end to end: the real zorvactl drives the real zorvad over a private bus,
// what it sets up survives restarts of the service, changes reach its watch, and the service
// outlives its bus.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <utility>

#include "e2e/ProductTest.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/settings/SqliteSettingsStore.h"

namespace zorva::e2e {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Optional;
using zorva::testing::PrivateBus;
using Stream = ChildProcess::Stream;
using json = nlohmann::json;

class BusTest : public ProductTest {
 protected:
  void SetUp() override {
    std::string whyNot;
    if (!(_bus = PrivateBus::start(whyNot))) GTEST_SKIP() << whyNot;
    ProductTest::SetUp();
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

// Nothing saved beforehand: the key and the volume come only through zorvactl. They outlive a
// restart of the bus daemon under the service (as an upgrade of the bus package does), which the
// service says and its clients see, and a restart of the service with no client around.
class RegistrationTest : public BusTest {
  RigOptions busRigOptions() override { return {.seedState = false}; }
};

TEST_F(RegistrationTest, WhatIsGivenOverTheBusOutlivesARestartOfTheBusAndOfTheService) {
  EXPECT_EQ(zorvactl({"is-running"}).out, "false\n") << "no key yet";
  ASSERT_EQ(zorvactl({"token", rig->deviceKey()}).status, 0);
  ASSERT_EQ(zorvactl({"add-volume", std::to_string(ProductRig::kVolume), rig->watched()}).status,
            0);
  // The key is held once the backend has confirmed it.
  EXPECT_TRUE(waitFor([&] { return zorvactl({"is-running"}).out == "true\n"; }, kDeadline));

  const std::string dest = rig->outside("registered.txt");
  run({"cp", makeFile(rig->watched("registered.txt")), dest});
  ASSERT_TRUE(rig->backend().waitForDelivery(dest, kDeadline));
  EXPECT_THAT(eventsTo(dest), ElementsAre(AllOf(Field(&AuditEvent::volumeId, ProductRig::kVolume),
                                                Field(&AuditEvent::source, "/registered.txt"))));
  // The status tells the same story: one copy, found by its content, and nothing left waiting
  // once the backend has taken it.
  json status;
  ASSERT_TRUE(waitFor(
      [&] {
        status = json::parse(zorvactl({"status", "--json"}).out, nullptr, false);
        return status.is_object() && status.value("/audit/waiting"_json_pointer, -1) == 0;
      },
      kDeadline))
      << status.dump();
  for (const auto& [pointer, value] :
       std::initializer_list<std::pair<const char*, json>>{{"/transfers/byContent", 1},
                                                           {"/transfers/byRename", 0},
                                                           {"/audit/lastUpload/result", "accepted"},
                                                           {"/deviceKeyHeld", true},
                                                           {"/volumes/0/id", ProductRig::kVolume},
                                                           {"/late", json::array()}}) {
    EXPECT_EQ(status.value(json::json_pointer(pointer), json()), value) << pointer << status.dump();
  }

  // A client registered with notifications is told of a change under its volume; its connection
  // is then interrupted.
  auto watcher = ChildProcess::spawn({ZORVA_E2E_ZORVACTL, "--bus", busPath(), "watch",
                                      std::to_string(ProductRig::kVolume), rig->watched()});
  ASSERT_THAT(watcher->readLine(Stream::Err, kDeadline),
              Optional(HasSubstr("zorvactl: watching volume")));
  writeFile(rig->watched("changed.txt"), "written under volume 7\n");
  EXPECT_EQ(watcher->readLine(Stream::Out, kDeadline), rig->watched("changed.txt"));
  std::string whyNot;
  ASSERT_TRUE(_bus->restart(whyNot)) << whyNot;
  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: ERROR: XPC: bus connection lost", kDeadline));
  ASSERT_TRUE(rig->service().waitForLog("ZORVA_LOG: interruptionHandler", kDeadline));
  EXPECT_EQ(watcher->wait(), 1) << "the client sees its bus go";
  ASSERT_TRUE(rig->markerCopy()) << "transfers are still detected and uploaded";
  // The service does not come back on the new bus: clients cannot reach it until it is
  // restarted, which the unit's restart policy does not do for a service still running.
  EXPECT_EQ(zorvactl({"ping", "hello"}).status, 1);

  rig->service().stop();
  rig->restart();
  EXPECT_EQ(zorvactl({"ping", "hello"}).out, "pong\n") << "a restarted service serves again";
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
  for (const char* name : {"unsent-0.txt", "unsent-1.txt", "unsent-2.txt"}) {
    unsent.push_back(rig->outside(name));
    run({"cp", makeFile(rig->watched(name)), unsent.back()});
  }
  ASSERT_TRUE(waitFor([&] { return storedAuditEvents(rig->stateDir()).size() == 3; }, kDeadline));
  rig->service().stop();
  rig->backend().set({});
  // Each holder lets go when its input closes; close-on-exec, so that only it holds the pipe.
  std::vector<std::pair<int, std::unique_ptr<ChildProcess>>> holders;
  for (const char* name : {"defaults.sqlite3", "audit-events.sqlite3"}) {
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    holders.emplace_back(input[1], ChildProcess::spawn({"sqlite3", rig->stateDir() + "/" + name},
                                                       {.input = input[0]}));
    close(input[0]);
    const std::string take =
        "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT count(*) FROM sqlite_master;\n";
    ASSERT_EQ(write(input[1], take.data(), take.size()), static_cast<ssize_t>(take.size()));
    holders.back().second->readLine(Stream::Out);  // the locking mode
    ASSERT_TRUE(holders.back().second->readLine(Stream::Out)) << "not held: " << name;
  }

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
  for (auto& [input, holder] : holders) {
    close(input);
    EXPECT_EQ(holder->wait(), 0);
  }

  for (const std::string& dest : unsent) {
    EXPECT_TRUE(rig->backend().waitForDelivery(dest, kDeadline)) << dest;
  }
  EXPECT_TRUE(rig->backend().waitForDelivery(fromAdded, kDeadline));
  // The saved roots are read again on a timer once the settings can be read.
  ASSERT_TRUE(rig->service().waitForLog("PathTracker.init: load: 7:", kDeadline));
  ASSERT_TRUE(rig->markerCopy()) << "the saved volume 7 is in force";
  EXPECT_EQ(SqliteSettingsStore::open(rig->stateDir())
                ->getDictionary("ZORVA_WATCH_PATHS")
                .value_or(SettingValue::Dictionary{})
                .size(),
            3u)
      << "the saved roots and the new one, saved together";
  EXPECT_TRUE(rig->service().running());
  for (const auto& entry : std::filesystem::directory_iterator(rig->stateDir())) {
    EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".corrupt-")))
        << "a held store is not a damaged one";
  }
}

}  // namespace
}  // namespace zorva::e2e
