#include "control/XPCServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "platform/dbus/testing/FakeBusTransport.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Peer = FakeBusTransport::Peer;
using Sent = FakeBusTransport::Sent;

class FakeDeviceApi final : public DeviceTokenHolder {
 public:
  void setDeviceToken(std::string token) override { tokens.push_back(std::move(token)); }
  bool isReady() const override {
    ++asked;
    return ready;
  }
  std::vector<std::string> tokens;
  bool ready = false;
  mutable std::atomic<int> asked{0};
};

class FakeTracker final : public VolumeRegistrar {
 public:
  struct Added {
    int64_t volumeId;
    std::string path;
    bool notify;
    bool operator==(const Added&) const = default;
  };
  void addVolume(int64_t volumeId, std::string_view path, bool notify) override {
    added.push_back({volumeId, std::string(path), notify});
  }
  std::vector<Added> added;
};

// Log lines as written: progress lines and error lines.
std::string L(const std::string& text) { return "ZORVA_LOG: " + text; }
std::string E(const std::string& text) { return "ZORVA_LOG: ERROR: " + text; }

std::vector<std::string> changesTo(const Peer& peer) {
  std::vector<std::string> paths;
  for (const Sent& sent : peer.sent()) {
    EXPECT_EQ(sent.method, "Change");
    paths.push_back(std::get<std::string>(sent.args.at(0)));
  }
  return paths;
}

class XPCServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.start();
    log_.clear();
  }

  // A connected client; the connection's own log lines are checked elsewhere.
  std::shared_ptr<Peer> connect(int32_t pid) {
    auto peer = bus_.connect(pid);
    log_.clear();
    return peer;
  }
  void addVolume(const std::shared_ptr<Peer>& peer, int64_t id, bool notify) {
    bus_.call(peer, "AddVolume", {id, std::string("/media/v") + std::to_string(id), notify}, false);
  }
  void modified(const std::string& path, int64_t id) {
    server_.pathModified(path, id);
    clock_.settle();
  }
  std::map<int64_t, std::string> dictionary() {
    clock_.settle();
    return server_.volumeConnections();
  }

  ManualClock clock_;
  MemoryLogWriter log_;
  FakeBusTransport bus_;
  FakeDeviceApi deviceApi_;
  FakeTracker tracker_;
  XPCServer server_{{bus_, deviceApi_, tracker_, clock_, "1.2.3"}};
};

TEST_F(XPCServerTest, AcceptsEveryConnectionWithTwoLinesNamingItsProcess) {
  bus_.connect(4242);
  bus_.connect(0);
  EXPECT_THAT(log_.texts(),
              ElementsAre(L("XPC: new connection 4242"), L("XPC: accepting connection 4242"),
                          L("XPC: new connection 0"), L("XPC: accepting connection 0")));
}

TEST(XPCServerStartTest, ListensOrLogsWhyNot) {
  struct Case {
    FakeBusTransport::Outcome outcome;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {FakeBusTransport::Outcome::Listen, {L("XPCServer: init done"), L("XPC: listening")}},
      {FakeBusTransport::Outcome::NameTaken,
       {L("XPCServer: init done"),
        E("XPC: cannot own com.zorva.client.extension.xpc: com.zorva.client.extension.xpc has "
          "another owner"),
        E("XPC: no listener")}},
      // An unreachable bus: why, then the same line as any other failure to listen.
      {FakeBusTransport::Outcome::Throw,
       {L("XPCServer: init done"), E("XPC: threw: no bus here, std::runtime_error: no bus here"),
        E("XPC: no listener")}},
  };
  for (const Case& c : cases) {
    ManualClock clock;
    MemoryLogWriter log;
    FakeBusTransport bus;
    FakeDeviceApi deviceApi;
    FakeTracker tracker;
    bus.willListen(c.outcome);
    XPCServer server({bus, deviceApi, tracker, clock, "1.2.3"});
    server.start();
    EXPECT_EQ(log.texts(), c.lines);
    EXPECT_EQ(bus.listening(), c.outcome == FakeBusTransport::Outcome::Listen);
  }
}

// A call without a reply callback takes each method's error branch and is never answered.
TEST_F(XPCServerTest, RepliesOnlyToCallersWithAReplyCallback) {
  struct Case {
    std::string method;
    std::vector<BusValue> args;
    bool wantsReply;
    std::optional<BusValue> answer;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"Ping",
       {std::string("hello")},
       true,
       BusValue("pong"),
       {L("XPC: ping: hello"), L("XPC: ponging")}},
      {"Ping", {std::string()}, true, BusValue("pong"), {L("XPC: ping: "), L("XPC: ponging")}},
      {"Ping",
       {std::string(1024, 'a')},
       true,
       BusValue("pong"),
       {L("XPC: ping: " + std::string(1024, 'a')), L("XPC: ponging")}},
      // A long message is shown by its beginning, cut before the character that straddles the
      // limit, and its length.
      {"Ping",
       {std::string(1023, 'a') + "\u00e9" + std::string(5000, 'b')},
       true,
       BusValue("pong"),
       {L("XPC: ping: " + std::string(1023, 'a') + "... (6025 bytes)"), L("XPC: ponging")}},
      {"Ping", {std::string("x")}, false, std::nullopt, {L("XPC: ping: x"), E("XPC: NOT ponging")}},
      {"GetVersion", {}, true, BusValue("1.2.3"), {L("XPC: getVersion: 1.2.3")}},
      {"GetVersion", {}, false, std::nullopt, {E("XPC: getVersion: NO callback")}},
      {"IsRunning", {}, true, BusValue(false), {L("XPC: isRunning"), L("XPC: isRunning reply: 0")}},
      {"IsRunning",
       {},
       false,
       std::nullopt,
       {L("XPC: isRunning"), E("XPC: isRunning bad reply function")}},
  };
  auto peer = connect(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + (c.wantsReply ? " with reply" : " one-way"));
    log_.clear();
    const int asked = deviceApi_.asked;
    EXPECT_EQ(bus_.call(peer, c.method, c.args, c.wantsReply), c.answer);
    EXPECT_EQ(log_.texts(), c.lines);
    if (c.method == "IsRunning") {
      EXPECT_EQ(deviceApi_.asked - asked, c.wantsReply ? 1 : 0);
    }
  }
}

TEST_F(XPCServerTest, IsRunningAnswersWhetherATokenIsHeldNow) {
  auto peer = connect(7);
  EXPECT_EQ(bus_.call(peer, "IsRunning", {}), BusValue(false));
  deviceApi_.ready = true;
  EXPECT_EQ(bus_.call(peer, "IsRunning", {}), BusValue(true));
  deviceApi_.ready = false;  // a stored token that failed its check
  EXPECT_EQ(bus_.call(peer, "IsRunning", {}), BusValue(false));
}

TEST_F(XPCServerTest, TokenAndVolumesGoOnUnchangedWithoutLogLines) {
  auto peer = connect(7);
  bus_.call(peer, "SaveDeviceToken", {std::string(" Tok%en ")}, false);
  bus_.call(peer, "AddVolume", {int64_t{-9}, std::string("/Media/USB Stick"), false}, false);
  EXPECT_THAT(deviceApi_.tokens, ElementsAre(" Tok%en "));
  EXPECT_THAT(tracker_.added, ElementsAre(FakeTracker::Added{-9, "/Media/USB Stick", false}));
  EXPECT_THAT(dictionary(), IsEmpty());
  EXPECT_THAT(log_.texts(), IsEmpty());
}

TEST_F(XPCServerTest, LaterRegistrationTakesTheVolumeAndOnlyItsOwnerLosesIt) {
  auto a = connect(1);
  auto b = connect(2);
  addVolume(a, 7, true);
  addVolume(b, 7, true);
  addVolume(a, 7, false);  // without notifications: the entry stays with b
  modified("/media/v7/f", 7);
  EXPECT_THAT(changesTo(*a), IsEmpty());
  EXPECT_THAT(changesTo(*b), ElementsAre("/media/v7/f"));

  bus_.invalidate(a);
  EXPECT_EQ(dictionary(), (std::map<int64_t, std::string>{{7, b->name()}}));
  bus_.invalidate(b);
  EXPECT_THAT(dictionary(), IsEmpty());
  modified("/media/v7/g", 7);
  EXPECT_THAT(changesTo(*b), ElementsAre("/media/v7/f"));
  EXPECT_THAT(log_.texts(), ElementsAre(L("invalidationHandler"), L("invalidationHandler")));
}

TEST_F(XPCServerTest, InvalidationRemovesEveryEntryOfThatConnectionOnly) {
  auto c = connect(3);
  auto d = connect(4);
  addVolume(c, 3, true);
  addVolume(c, 5, true);
  addVolume(d, 9, true);
  bus_.invalidate(c);
  EXPECT_EQ(dictionary(), (std::map<int64_t, std::string>{{9, d->name()}}));
}

TEST_F(XPCServerTest, InterruptedConnectionIsStillTold) {
  auto peer = connect(5);
  addVolume(peer, 7, true);
  bus_.interrupt(peer);
  modified("/media/v7/a", 7);
  EXPECT_THAT(changesTo(*peer), ElementsAre("/media/v7/a"));
  EXPECT_THAT(log_.texts(), ElementsAre(L("interruptionHandler")));
}

TEST_F(XPCServerTest, ChangesNobodyCanReceiveLeaveAtMostAnErrorLine) {
  auto peer = connect(5);
  addVolume(peer, 7, true);
  modified("/media/v8/a", 8);  // nobody registered 8
  EXPECT_THAT(peer->sent(), IsEmpty());
  EXPECT_THAT(log_.texts(), IsEmpty());

  peer->failSendsWith(BusPeer::SendResult::Failed);  // a client gone: lost without a word
  modified("/media/v7/a", 7);
  EXPECT_THAT(log_.texts(), IsEmpty());

  peer->failSendsWith(BusPeer::SendResult::Unencodable);
  modified("/media/v7/\xff", 7);
  EXPECT_THAT(log_.texts(),
              ElementsAre(E("XPC: change for volume 7 not sent: the path is not UTF-8")));
}

}  // namespace
}  // namespace zorva
