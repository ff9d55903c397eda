// The control interface over a real, private bus: the service's side as it runs in zorvad, and
// clients that nobody here wrote (busctl) besides our own (zorvactl, sdbus-c++).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "control/XPCServer.h"
#include "control/ZorvaProtocol.h"
#include "platform/dbus/SdBusConnect.h"
#include "platform/dbus/SdBusTransport.h"
#include "platform/dbus/testing/ChildProcess.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/dbus/testing/WaitingLogWriter.h"
#include "platform/dispatch/testing/ManualClock.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::CommandResult;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::runCommand;

class FakeDeviceApi final : public DeviceTokenHolder {
 public:
  void setDeviceToken(std::string token) override {
    std::lock_guard lock(mutex_);
    tokens_.push_back(std::move(token));
  }
  bool isReady() const override { return ready; }
  std::vector<std::string> tokens() const {
    std::lock_guard lock(mutex_);
    return tokens_;
  }
  std::atomic<bool> ready{false};

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> tokens_;
};

class FakeTracker final : public VolumeRegistrar {
 public:
  void addVolume(int64_t volumeId, std::string_view path, bool notify) override {
    std::lock_guard lock(mutex_);
    added_.push_back(std::to_string(volumeId) + " " + std::string(path) +
                     (notify ? " notify" : ""));
  }
  std::vector<std::string> added() const {
    std::lock_guard lock(mutex_);
    return added_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> added_;
};

// The service's status, given from a thread of its own once the call has returned, as the
// service's subsystems give theirs.
class ThreadedStatus final : public StatusSource {
 public:
  static constexpr const char* kStatus = R"({
    "version": "9.8.7", "uptimeSeconds": 3725, "deviceKeyHeld": true,
    "volumes": [{"id": 7, "path": "/media/usb/", "notify": true, "listener": ":1.42"},
                {"id": -3, "path": "/home/a/share/", "notify": false, "listener": null}],
    "events": {"read": 1200, "dispatched": 1100, "droppedByFilter": 100, "droppedByTracker": 990},
    "transfers": {"byRename": 2, "byContent": 5, "comparisons": 9},
    "audit": {"waiting": 3, "oldestWaitingSince": "2026-12-07T10:41:01Z",
              "oldestWaitingSeconds": 95, "droppedByCap": 0, "droppedRefused": 1,
              "lastUpload": {"at": "2026-12-07T10:42:00Z", "result": "failed", "status": 503,
                             "records": 3}},
    "kernel": {"queueOverflows": 0, "processTableLosses": 1, "staleHandles": 4},
    "mounts": [{"mountPoint": "/", "fsType": "ext4", "coverage": "full", "detail": ""},
               {"mountPoint": "/mnt/share", "fsType": "nfs4", "coverage": "partial",
                "detail": "no renames"},
               {"mountPoint": "/proc", "fsType": "proc", "coverage": "none",
                "detail": "holds no user files"}],
    "late": ["telemetry"]})";

  ~ThreadedStatus() override {
    for (std::thread& answering : threads_) answering.join();
  }
  void gather(std::function<void(std::string)> done) override {
    std::lock_guard lock(mutex_);
    threads_.emplace_back([done = std::move(done)] { done(kStatus); });
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

// A client application: exports ZorvaClientXPCProtocol and registers volumes.
class TestClient {
 public:
  explicit TestClient(const BusAddress& bus) : connection_(connectToBus(bus)) {
    object_ = sdbus::createObject(*connection_, kClientObjectPath);
    object_->registerMethod(kClientInterface, "Change", "s", "", [this](sdbus::MethodCall call) {
      std::string path;
      call >> path;
      std::lock_guard lock(mutex_);
      changes_.push_back(path);
      changed_.notify_all();
    });
    object_->finishRegistration();
    service_ = sdbus::createProxy(*connection_, kServiceBusName, kServiceObjectPath);
    name = connection_->getUniqueName();
    connection_->enterEventLoopAsync();
  }
  ~TestClient() { leave(); }

  void addVolume(int64_t volumeId, const std::string& path, bool notify) {
    service_->callMethod("AddVolume")
        .onInterface(kServerInterface)
        .withArguments(volumeId, path, notify);
  }
  std::vector<std::string> waitForChanges(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return changes_.size() >= count; });
    return changes_;
  }
  void leave() {
    if (!connection_) return;
    connection_->leaveEventLoop();
    service_.reset();
    object_.reset();
    connection_.reset();
  }

  std::string name;

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> object_;
  std::unique_ptr<sdbus::IProxy> service_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> changes_;
};

class ControlBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    bus_ = testing::PrivateBus::start(whyNot);
    if (!bus_) GTEST_SKIP() << whyNot;
    transport_ = std::make_unique<SdBusTransport>(bus_->busAddress());
    server_ = std::make_unique<XPCServer>(
        XPCServer::Dependencies{*transport_, deviceApi_, tracker_, clock_, "9.8.7", &status_});
    server_->start();
    ASSERT_TRUE(log_.waitFor("XPC: listening"));
  }
  void TearDown() override {
    server_.reset();
    transport_.reset();
  }

  std::string busctl() {
    std::string path = testing::findProgram("busctl");
    if (path.empty()) ADD_FAILURE() << "busctl is not installed (Debian package systemd)";
    return path;
  }
  // busctl call on the service: its output, or its error when it fails.
  std::string busctlCall(std::vector<std::string> args, bool oneWay = false) {
    std::vector<std::string> argv = {busctl(), "--address=" + bus_->address()};
    if (oneWay) argv.push_back("--expect-reply=no");
    argv.push_back("--");  // the arguments may begin with "-"
    for (const char* part : {"call", kServiceBusName, kServiceObjectPath, kServerInterface}) {
      argv.push_back(part);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult result = runCommand(argv);
    return result.status == 0 ? result.out : "failed: " + result.err;
  }
  CommandResult zorvactl(std::vector<std::string> args) {
    args.insert(args.begin(), {ZORVACTL_PATH, "--bus=" + bus_->address()});
    return runCommand(args);
  }
  void modified(const std::string& path, int64_t volumeId) {
    server_->pathModified(path, volumeId);
    clock_.settle();
  }
  std::map<int64_t, std::string> dictionary() {
    clock_.settle();
    return server_->volumeConnections();
  }
  // The dictionary once a departure the log has announced is applied: the removal is queued
  // just after the line is written.
  std::map<int64_t, std::string> dictionaryBecomes(const std::map<int64_t, std::string>& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::map<int64_t, std::string> now = dictionary();
    while (now != wanted && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
      now = dictionary();
    }
    return now;
  }

  testing::WaitingLogWriter log_;
  std::unique_ptr<testing::PrivateBus> bus_;
  ManualClock clock_;
  FakeDeviceApi deviceApi_;
  FakeTracker tracker_;
  ThreadedStatus status_;
  std::unique_ptr<SdBusTransport> transport_;
  std::unique_ptr<XPCServer> server_;
};

TEST_F(ControlBusTest, BusctlAndZorvactlGetTheSameAnswers) {
  EXPECT_EQ(busctlCall({"Ping", "s", ""}), "s \"pong\"\n");
  EXPECT_EQ(busctlCall({"Ping", "s", "anything at all"}), "s \"pong\"\n");
  EXPECT_EQ(busctlCall({"GetVersion"}), "s \"9.8.7\"\n");
  EXPECT_EQ(busctlCall({"IsRunning"}), "b false\n");
  // A caller that waits on a one-way method is answered, empty, once the request is taken.
  EXPECT_EQ(busctlCall({"SaveDeviceToken", "s", "tok"}), "");
  EXPECT_EQ(busctlCall({"AddVolume", "xsb", "-3", "/media/a", "true"}), "");
  EXPECT_THAT(busctlCall({"Ping", "x", "1"}), HasSubstr("failed: "));

  EXPECT_EQ(zorvactl({"ping"}).out, "pong\n");
  EXPECT_EQ(zorvactl({"ping", "hello there"}).out, "pong\n");
  EXPECT_EQ(zorvactl({"version"}).out, "9.8.7\n");
  EXPECT_EQ(zorvactl({"is-running"}).out, "false\n");
  deviceApi_.ready = true;  // the token was taken
  EXPECT_EQ(zorvactl({"is-running"}).out, "true\n");
  EXPECT_EQ(busctlCall({"IsRunning"}), "b true\n");
  EXPECT_EQ(zorvactl({"token", "tok2"}).status, 0);
  EXPECT_EQ(zorvactl({"add-volume", "7", "/media/b/../usb", "--notify"}).status, 0);

  EXPECT_THAT(deviceApi_.tokens(), ElementsAre("tok", "tok2"));
  EXPECT_THAT(tracker_.added(), ElementsAre("-3 /media/a notify", "7 /media/usb notify"));
  EXPECT_EQ(log_.count("XPC: new connection "), log_.count("XPC: accepting connection "));
  EXPECT_GE(log_.count("XPC: new connection "), 10u);
}

TEST_F(ControlBusTest, StatusStandsBesideTheServerProtocolForScriptsAndForPeople) {
  CommandResult introspected = runCommand({busctl(), "--address=" + bus_->address(), "introspect",
                                           kServiceBusName, kServiceObjectPath});
  EXPECT_THAT(introspected.out, HasSubstr("com.zorva.Status1"));
  EXPECT_THAT(introspected.out, HasSubstr(".GetStatus"));
  EXPECT_THAT(introspected.out, HasSubstr(".SaveDeviceToken"));
  EXPECT_THAT(runCommand({busctl(), "--address=" + bus_->address(), "call", kServiceBusName,
                          kServiceObjectPath, kStatusInterface, "GetStatus"})
                  .out,
              ::testing::StartsWith("s \"{"));

  CommandResult asJson = zorvactl({"status", "--json"});
  ASSERT_EQ(asJson.status, 0) << asJson.err;
  EXPECT_EQ(nlohmann::json::parse(asJson.out), nlohmann::json::parse(ThreadedStatus::kStatus));
  CommandResult forPeople = zorvactl({"status"});
  EXPECT_EQ(forPeople.status, 0) << forPeople.err;
  EXPECT_EQ(forPeople.out,
            "version       9.8.7\n"
            "uptime        1h 2m 5s\n"
            "device key    held\n"
            "events        1200 read, 1090 dropped early (100 by the process filter, 990 by the "
            "tracker)\n"
            "transfers     7 (2 by rename, 5 by content), 9 comparisons\n"
            "audit events  3 waiting, the oldest since 2026-12-07T10:41:01Z (1m 35s)\n"
            "              last upload 2026-12-07T10:42:00Z: failed (status 503)\n"
            "              0 dropped at the cap, 1 refused by the backend\n"
            "kernel        0 queue overflows, 1 process-table losses, 4 stale handles\n"
            "volumes\n"
            "  7   /media/usb/     notifications on, told to :1.42\n"
            "  -3  /home/a/share/  notifications off\n"
            "mounts\n"
            "  /           ext4  fully watched\n"
            "  /mnt/share  nfs4  partly watched: no renames\n"
            "  /proc       proc  not watched: holds no user files\n"
            "no answer     telemetry (busy past the deadline; figures left out)\n");
}

TEST_F(ControlBusTest, EveryPingIsAnsweredWhateverItsLengthWhileOtherStringsStayBounded) {
  auto connection = connectToBus(bus_->busAddress());
  auto service = sdbus::createProxy(*connection, kServiceBusName, kServiceObjectPath);
  // Far past what a command line takes, and past the limit on paths and tokens.
  const std::string message(size_t{256} * 1024, 'p');
  std::string answer;
  service->callMethod("Ping")
      .onInterface(kServerInterface)
      .withArguments(message)
      .storeResultsTo(answer);
  EXPECT_EQ(answer, "pong");
  EXPECT_EQ(log_.count("XPC: ping: " + std::string(1024, 'p') + "... (262144 bytes)"), 1u);

  const std::string path = "/media/" + std::string(kMaxBusStringBytes, 'v');
  try {
    service->callMethod("AddVolume")
        .onInterface(kServerInterface)
        .withArguments(int64_t{7}, path, false);
    ADD_FAILURE() << "an oversized path was taken";
  } catch (const sdbus::Error& error) {
    EXPECT_EQ(error.getName(), "org.freedesktop.DBus.Error.InvalidArgs");
  }
  EXPECT_THAT(tracker_.added(), IsEmpty());
}

TEST_F(ControlBusTest, OneWayCallsTakeTheErrorBranchesAndGetNothingBack) {
  const std::string service = transport_->uniqueName();
  auto monitor = ChildProcess::spawn({busctl(), "--address=" + bus_->address(), "monitor"});
  ASSERT_TRUE(monitor);
  // busctl says so once it watches.
  auto started = monitor->readLine(ChildProcess::Stream::Err);
  ASSERT_THAT(started.value_or(""), HasSubstr("Monitoring"));

  for (const auto& call : std::vector<std::vector<std::string>>{
           {"IsRunning"}, {"Ping", "s", "quiet"}, {"GetVersion"}}) {
    EXPECT_EQ(busctlCall(call, /*oneWay=*/true), "");
  }
  EXPECT_EQ(busctlCall({"Ping", "s", "last"}), "s \"pong\"\n");
  // Every method return the service sent, up to the one answering the last ping.
  int returns = 0;
  bool inReturn = false;
  while (auto line = monitor->readLine(ChildProcess::Stream::Out)) {
    if (line->starts_with("‣")) inReturn = line->find("Type=method_return") != std::string::npos;
    if (inReturn && line->find("Sender=" + service + " ") != std::string::npos) ++returns;
    if (line->find("STRING \"pong\"") != std::string::npos) break;
  }
  monitor->signal(SIGINT);
  EXPECT_EQ(returns, 1);
  EXPECT_EQ(log_.count("ERROR: XPC: isRunning bad reply function"), 1u);
  EXPECT_EQ(log_.count("ERROR: XPC: NOT ponging"), 1u);
  EXPECT_EQ(log_.count("ERROR: XPC: getVersion: NO callback"), 1u);
}

TEST_F(ControlBusTest, OnlyTheLaterClientIsToldAndEachDepartureTakesOnlyItsOwnEntries) {
  TestClient a(bus_->busAddress()), b(bus_->busAddress());
  a.addVolume(7, "/media/seven", true);
  a.addVolume(8, "/media/eight", true);
  b.addVolume(7, "/media/seven", true);
  modified("/media/seven/x", 7);
  modified("/media/eight/y", 8);
  // a's change for 8 was sent after the one for 7: had a been sent that one, it came first.
  EXPECT_THAT(a.waitForChanges(1), ElementsAre("/media/eight/y"));
  EXPECT_THAT(b.waitForChanges(1), ElementsAre("/media/seven/x"));

  a.leave();
  ASSERT_TRUE(log_.waitFor("invalidationHandler"));
  EXPECT_EQ(dictionaryBecomes({{7, b.name}}), (std::map<int64_t, std::string>{{7, b.name}}));
  b.leave();
  ASSERT_TRUE(log_.waitFor("invalidationHandler", 2));
  EXPECT_THAT(dictionaryBecomes({}), IsEmpty());
}

TEST_F(ControlBusTest, OneConnectionLosesAllItsVolumesAtOnceAndUnknownVolumesSendNothing) {
  TestClient c(bus_->busAddress()), d(bus_->busAddress());
  c.addVolume(3, "/media/three", true);
  c.addVolume(5, "/media/five", true);
  d.addVolume(9, "/media/nine", true);
  c.leave();
  ASSERT_TRUE(log_.waitFor("invalidationHandler"));
  EXPECT_EQ(dictionaryBecomes({{9, d.name}}), (std::map<int64_t, std::string>{{9, d.name}}));

  modified("/media/unknown/z", 42);
  modified("/media/nine/last", 9);
  EXPECT_THAT(d.waitForChanges(1), ElementsAre("/media/nine/last"));
}

TEST_F(ControlBusTest, ZorvactlWatchPrintsChangesUntilInterruptedOrTheServiceLeaves) {
  for (bool serviceLeaves : {false, true}) {
    auto watch = ChildProcess::spawn(
        {ZORVACTL_PATH, "--bus=" + bus_->address(), "watch", "7", "/media/usb"});
    ASSERT_TRUE(watch);
    EXPECT_THAT(watch->readLine(ChildProcess::Stream::Err).value_or("(nothing)"),
                HasSubstr("watching volume 7 at /media/usb"));
    modified("/media/usb/a b.txt", 7);
    modified("/media/usb/c", 7);
    EXPECT_EQ(watch->readLine(ChildProcess::Stream::Out), "/media/usb/a b.txt");
    EXPECT_EQ(watch->readLine(ChildProcess::Stream::Out), "/media/usb/c");
    if (serviceLeaves) {
      server_.reset();
      EXPECT_THAT(watch->readLine(ChildProcess::Stream::Err).value_or("(nothing)"),
                  HasSubstr("the service went away"));
      EXPECT_EQ(watch->wait(), 1);
    } else {
      watch->signal(SIGINT);
      EXPECT_EQ(watch->wait(), 0);
    }
  }
}

TEST_F(ControlBusTest, ZorvactlSaysInOneLineWhenTheServiceCannotBeReached) {
  server_.reset();
  for (const char* command : {"ping", "status"}) {
    CommandResult noService = zorvactl({command});
    EXPECT_EQ(noService.status, 1) << command;
    EXPECT_THAT(noService.err, HasSubstr("zorvactl: the service cannot be reached on the bus at "));
    EXPECT_EQ(std::count(noService.err.begin(), noService.err.end(), '\n'), 1);
  }

  // sdbus-c++ 1.2 does not free the half-made bus of a failed connection: a sanitizer build of
  // zorvactl would report that as a leak at exit.
  CommandResult noBus = runCommand({"env", "LSAN_OPTIONS=detect_leaks=0", ZORVACTL_PATH,
                                    "--bus=unix:path=/nonexistent/bus", "version"});
  EXPECT_EQ(noBus.status, 1);
  EXPECT_THAT(noBus.err,
              HasSubstr("zorvactl: cannot connect to the bus at unix:path=/nonexistent"));

  CommandResult badWord = runCommand({ZORVACTL_PATH, "--bus=nowhere", "version"});
  EXPECT_EQ(badWord.status, 2);
}

}  // namespace
}  // namespace zorva
