// The real zorvactl drives the real zorvad over a private bus: what it sets up survives restarts,
// changes reach its watch, and the service outlives its bus.

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
  RigOptions rigOptions() override { return {.busAddress = busPath(), .seedState = _seed}; }

  // Without the daemon's guid, which a restarted bus does not share, as installed clients have it.
  std::string busPath() const { return _bus->address().substr(0, _bus->address().find(",guid=")); }
  CommandResult zorvactl(std::vector<std::string> args) {
    args.insert(args.begin(), {ZORVA_E2E_ZORVACTL, "--bus", busPath()});
    return runCommand(args);
  }

  std::unique_ptr<PrivateBus> _bus;
  bool _seed = true;
};

// Nothing saved beforehand: the key and the volume come only through zorvactl, and outlive a
// restart of the bus daemon under the service (as in an upgrade) and a restart of the service.
class RegistrationTest : public BusTest {
 public:
  RegistrationTest() { _seed = false; }
};

TEST_F(RegistrationTest, WhatIsGivenOverTheBusOutlivesARestartOfTheBusAndOfTheService) {
  EXPECT_EQ(zorvactl({"is-running"}).out, "false\n") << "no key yet";
  ASSERT_EQ(zorvactl({"token", rig->deviceKey()}).status, 0);
  ASSERT_EQ(zorvactl({"add-volume", "7", rig->watched()}).status, 0);
  // The key is held once the backend has confirmed it.
  EXPECT_TRUE(waitFor([&] { return zorvactl({"is-running"}).out == "true\n"; }, kDeadline));

  const std::string dest = rig->outside("registered.txt");
  run({"cp", makeFile(rig->watched("registered.txt")), dest});
  ASSERT_TRUE(rig->backend().waitForDelivery(dest, kDeadline));
  EXPECT_THAT(rig->backend().deliveredTo(dest),
              ElementsAre(AllOf(Field(&AuditEvent::volumeId, ProductRig::kVolume),
                                Field(&AuditEvent::source, "/registered.txt"))));
  // The status tells the same: one copy, found by content, nothing left waiting once it was taken.
  json status;
  ASSERT_TRUE(waitFor(
      [&] {
        status = json::parse(zorvactl({"status", "--json"}).out, nullptr, false);
        return status.is_object() && status.value("/audit/waiting"_json_pointer, -1) == 0;
      },
      kDeadline))
      << status.dump();
  // Only what the copy must have left is patched in: anything else may be there too.
  json patched = status;
  patched.merge_patch(R"({"transfers": {"byContent": 1, "byRename": 0}, "deviceKeyHeld": true,
                          "audit": {"lastUpload": {"result": "accepted"}}, "late": []})"_json);
  EXPECT_EQ(patched, status);
  EXPECT_EQ(status.value("/volumes/0/id"_json_pointer, 0), ProductRig::kVolume);

  // A client registered for notifications is told of a change, then sees its connection go.
  auto watcher =
      ChildProcess::spawn({ZORVA_E2E_ZORVACTL, "--bus", busPath(), "watch", "7", rig->watched()});
  ASSERT_THAT(watcher->readLine(Stream::Err, kDeadline),
              Optional(HasSubstr("zorvactl: watching volume")));
  writeFile(rig->watched("changed.txt"), "written under volume 7\n");
  EXPECT_EQ(watcher->readLine(Stream::Out, kDeadline), rig->watched("changed.txt"));
  std::string whyNot;
  ASSERT_TRUE(_bus->restart(whyNot)) << whyNot;
  ASSERT_TRUE(rig->waitForLog("ZORVA_LOG: ERROR: XPC: bus connection lost", kDeadline));
  ASSERT_TRUE(rig->waitForLog("ZORVA_LOG: interruptionHandler", kDeadline));
  EXPECT_EQ(watcher->wait(), 1) << "the client sees its bus go";
  ASSERT_TRUE(rig->markerCopy()) << "transfers are still detected and uploaded";
  // The service does not come back on the new bus: clients cannot reach it until it is
  // restarted, which the unit's restart policy does not do for a service still running.
  EXPECT_EQ(zorvactl({"ping", "hello"}).status, 1);

  rig->stop();
  rig->restart();
  EXPECT_EQ(zorvactl({"ping", "hello"}).out, "pong\n") << "a restarted service serves again";
  const std::string again = rig->outside("after-restart.txt");
  run({"cp", makeFile(rig->watched("after-restart.txt")), again});
  ASSERT_TRUE(rig->backend().waitForDelivery(again, kDeadline));
  EXPECT_EQ(rig->backend().deliveredTo(again)[0].volumeId, ProductRig::kVolume);
  EXPECT_EQ(rig->backend().deliveredTo(dest).size(), 1u) << "the first event is not sent again";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

// Another process (a backup, an administrator's sqlite3) holds both stores while the service
// starts, longer than their busy time-outs. Nothing is taken for damaged or absent: unsent events,
// roots and key are in force once let go, and a volume registered meanwhile is watched at once and
// saved.
TEST_F(BusTest, StoresHeldAtStartUpLoseNothingAndKeepWhatIsRegisteredMeanwhile) {
  rig->backend().set({.up = false});
  std::vector<std::string> unsent;
  for (const char* name : {"unsent-0.txt", "unsent-1.txt", "unsent-2.txt"}) {
    unsent.push_back(rig->outside(name));
    run({"cp", makeFile(rig->watched(name)), unsent.back()});
  }
  ASSERT_TRUE(waitFor([&] { return storedAuditEvents(rig->stateDir()).size() == 3; }, kDeadline));
  rig->stop();
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
  ASSERT_TRUE(rig->waitForLog("PathTracker: addPath: 9,", kDeadline));
  const std::string fromAdded = rig->outside("from-added.txt");
  run({"cp", makeFile(added + "/from-added.txt"), fromAdded});
  ASSERT_TRUE(rig->waitForLog(" => " + fromAdded + "\n", kDeadline))
      << "a volume registered meanwhile is watched at once";
  EXPECT_FALSE(rig->backend().waitForDelivery(unsent[0], 1s)) << "no key can be read yet";
  for (auto& [input, holder] : holders) {
    close(input);
    EXPECT_EQ(holder->wait(), 0);
  }

  for (const std::string& dest : unsent)
    EXPECT_TRUE(rig->backend().waitForDelivery(dest, kDeadline));
  EXPECT_TRUE(rig->backend().waitForDelivery(fromAdded, kDeadline));
  // The saved roots are read again on a timer once the settings can be read.
  ASSERT_TRUE(rig->waitForLog("PathTracker.init: load: 7:", kDeadline));
  ASSERT_TRUE(rig->markerCopy()) << "the saved volume 7 is in force";
  EXPECT_EQ(
      SqliteSettingsStore::open(rig->stateDir())->getDictionary("ZORVA_WATCH_PATHS").value().size(),
      3u)
      << "the saved roots and the new one, saved together";
  EXPECT_TRUE(rig->running());
  for (const auto& entry : std::filesystem::directory_iterator(rig->stateDir())) {
    EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".corrupt-")))
        << "a held store is not a damaged one";
  }
}

}  // namespace
}  // namespace zorva::e2e
