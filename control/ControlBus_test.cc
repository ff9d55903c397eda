// The control interface over a real, private bus: the service's side as it runs in zorvad, and
// zorvactl, with busctl for what the bus shows other clients.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <thread>

#include "control/XPCServer.h"
#include "control/ZorvaProtocol.h"
#include "platform/dbus/SdBusTransport.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/ChildProcess.h"

namespace zorva {
namespace {

using testing::ChildProcess;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::runCommand;

// What the requests hand on, in order, and the service's status, given from a thread of its own
// once the call has returned, as the service's subsystems give theirs.
struct Service final : DeviceTokenHolder, VolumeRegistrar, StatusSource {
  static constexpr const char* kStatus = R"({"version": "9.8.7", "uptimeSeconds": 3725,
    "deviceKeyHeld": true, "late": ["telemetry"], "transfers": {"byRename": 2, "byContent": 5,
    "comparisons": 9}, "volumes": [{"id": 7, "path": "/media/usb/", "notify": true, "listener":
    ":1.42"}, {"id": -3, "path": "/home/a/share/", "notify": false, "listener": null}],
    "events": {"read": 1200, "dispatched": 1100, "droppedByFilter": 100, "droppedByTracker": 990},
    "audit": {"waiting": 3, "oldestWaitingSince": "2026-12-07T10:41:01Z", "oldestWaitingSeconds":
    95, "droppedByCap": 0, "droppedRefused": 1, "lastUpload": {"at": "2026-12-07T10:42:00Z",
    "result": "failed", "status": 503, "records": 3}}, "kernel": {"queueOverflows": 0,
    "processTableLosses": 1, "staleHandles": 4}, "mounts": [{"mountPoint": "/", "fsType": "ext4",
    "coverage": "full", "detail": ""}, {"mountPoint": "/mnt/share", "fsType": "nfs4", "coverage":
    "partial", "detail": "no renames"}, {"mountPoint": "/proc", "fsType": "proc", "coverage":
    "none", "detail": "holds no user files"}]})";
  // ...and as zorvactl shows it.
  static constexpr const char* kStatusText = R"(version       9.8.7
uptime        1h 2m 5s
device key    held
events        1200 read, 1090 dropped early (100 by the process filter, 990 by the tracker)
transfers     7 (2 by rename, 5 by content), 9 comparisons
audit events  3 waiting, the oldest since 2026-12-07T10:41:01Z (1m 35s)
              last upload 2026-12-07T10:42:00Z: failed (status 503)
              0 dropped at the cap, 1 refused by the backend
kernel        0 queue overflows, 1 process-table losses, 4 stale handles
volumes
  7   /media/usb/     notifications on, told to :1.42
  -3  /home/a/share/  notifications off
mounts
  /           ext4  fully watched
  /mnt/share  nfs4  partly watched: no renames
  /proc       proc  not watched: holds no user files
no answer     telemetry (busy past the deadline; figures left out)
)";

  void setDeviceToken(std::string) override {}
  bool isReady() const override { return false; }
  void addVolume(int64_t id, std::string_view path, bool notify) override {
    std::lock_guard lock(mutex);
    taken.push_back(std::to_string(id) + " " + std::string(path) + (notify ? " notify" : ""));
  }
  void gather(std::function<void(std::string)> done) override {
    answering.emplace_back([done = std::move(done)] { done(kStatus); });
  }

  std::mutex mutex;
  std::vector<std::string> taken;  // under the mutex
  std::vector<std::jthread> answering;
};

struct ControlBusTest : ::testing::Test {
  void SetUp() override {
    std::string whyNot;
    _bus = testing::PrivateBus::start(whyNot);
    if (!_bus) GTEST_SKIP() << whyNot;
    _transport = std::make_unique<SdBusTransport>(_bus->busAddress());
    _server = std::make_unique<XPCServer>(
        XPCServer::Dependencies{*_transport, _service, _service, _clock, "9.8.7", &_service});
    _server->start();
  }
  // sdbus-c++ 1.2 does not free the half-made bus of a failed connection: a sanitizer build of
  // zorvactl would report that as a leak at exit, so leaks are not looked for on other buses.
  auto zorvactl(std::vector<std::string> args, const std::string& bus = "") {
    args.insert(args.begin(), {ZORVACTL_PATH, "--bus=" + (bus.empty() ? _bus->address() : bus)});
    if (!bus.empty()) args.insert(args.begin(), {"env", "LSAN_OPTIONS=detect_leaks=0"});
    return runCommand(args);
  }

  MemoryLogWriter _log;
  std::unique_ptr<testing::PrivateBus> _bus;
  ManualClock _clock;
  Service _service;
  std::unique_ptr<SdBusTransport> _transport;
  std::unique_ptr<XPCServer> _server;
};

// Every ping is answered whatever its length; other strings stay bounded. Paths are made absolute:
// the service compares them as given. The status is there beside the methods, for scripts and
// for people.
TEST_F(ControlBusTest, EachCommandCallsItsMethodAndPrintsTheAnswer) {
  const std::string pastTheLimit(kMaxBusStringBytes + 1, 'p');
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"ping", pastTheLimit}, 0, "pong\n"},
      {{"version"}, 0, "9.8.7\n"},
      {{"add-volume", "7", "/media/b/../usb", "--notify"}, 0, ""},
      {{"add-volume", "-3", "rel"}, 0, ""},
      {{"add-volume", "8", "/" + pastTheLimit}, 2, ""},
      {{"status"}, 0, Service::kStatusText},
  };
  for (const auto& [args, status, out] : cases) {
    const auto result = zorvactl(args);
    EXPECT_EQ(std::tuple(result.status, result.out), std::tuple(status, out)) << args[0];
  }
  std::lock_guard lock(_service.mutex);
  EXPECT_THAT(_service.taken,
              ElementsAre("7 /media/usb notify",
                          "-3 " + std::filesystem::current_path().string() + "/rel"));
  const auto introspected = runCommand({"busctl", "--address=" + _bus->address(), "introspect",
                                        kServiceBusName, kServiceObjectPath});
  if (introspected.status < 0) GTEST_SKIP() << "busctl is missing (Debian package systemd)";
  for (const char* member : {"com.zorva.ZorvaServerXPCProtocol", ".SaveDeviceToken", ".AddVolume",
                             ".IsRunning", ".Ping", ".GetVersion", "com.zorva.Status1"}) {
    EXPECT_THAT(introspected.out, HasSubstr(member));
  }
}

// Once the service has gone, zorvactl says so in one line.
TEST_F(ControlBusTest, AWatchEndsWhenInterruptedOrWhenTheServiceLeavesWhichZorvactlSays) {
  for (bool serviceLeaves : {false, true}) {
    auto watch = ChildProcess::spawn(
        {ZORVACTL_PATH, "--bus=" + _bus->address(), "watch", "7", "/media/usb"});
    ASSERT_TRUE(watch);
    EXPECT_THAT(watch->readLine(ChildProcess::Stream::Err).value_or("(nothing)"),
                HasSubstr("watching volume 7 at /media/usb"));
    if (serviceLeaves) {
      _server.reset();
      EXPECT_THAT(watch->readLine(ChildProcess::Stream::Err).value_or("(nothing)"),
                  HasSubstr("the service went away"));
    } else {
      watch->signal(SIGINT);
    }
    EXPECT_EQ(watch->wait(), serviceLeaves ? 1 : 0);
  }
  const std::string unreachable = "zorvactl: the service cannot be reached on the bus at ";
  const std::string nowhere = "unix:path=/nonexistent/bus";
  for (const auto& [command, bus, message] : std::vector<std::array<std::string, 3>>{
           {"ping", "", unreachable},
           {"status", "", unreachable},
           {"version", nowhere, "zorvactl: cannot connect to the bus at " + nowhere}}) {
    const auto result = zorvactl({command}, bus);
    EXPECT_THAT(result.err, ::testing::StartsWith(message));
    EXPECT_EQ(std::tuple(result.status, std::ranges::count(result.err, '\n')), std::tuple(1, 1))
        << result.err;
  }
  EXPECT_EQ(zorvactl({"version"}, "nowhere").status, 2);
}

}  // namespace
}  // namespace zorva
