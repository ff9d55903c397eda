#include "control/XPCServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dbus/testing/FakeBusTransport.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Outcome = FakeBusTransport::Outcome;

// The server with what its requests hand on.
struct Service final : DeviceTokenHolder, VolumeRegistrar {
  explicit Service(Outcome outcome = Outcome::Listen) {
    bus.outcome = outcome;
    server.start();
  }
  void setDeviceToken(std::string token) override { taken.push_back("token " + token); }
  bool isReady() const override { return ready; }
  void addVolume(int64_t id, std::string_view path, bool notify) override {
    taken.push_back(std::to_string(id) + " " + std::string(path) + (notify ? " notify" : ""));
  }
  // The lines written since the last call, "ZORVA_LOG: " left out, one after another.
  std::string lines() {
    std::string joined;
    for (const std::string& line : log.texts()) joined += " | " + line.substr(line.find(": ") + 2);
    log.clear();
    return joined.substr(std::min<size_t>(3, joined.size()));
  }
  void modified(const std::string& path, int64_t id) {
    server.pathModified(path, id);
    clock.settle();
  }

  std::vector<std::string> taken;
  bool ready = false;
  ManualClock clock;
  MemoryLogWriter log;
  FakeBusTransport bus;
  XPCServer server{{bus, *this, *this, clock, "1.2.3"}};
};

// Without the name or the bus, it says why, then the same line as any other failure to listen. A
// call without a reply callback takes each method's error branch and is never answered. Readiness
// is asked anew each time: a stored token may fail its check later.
TEST(XPCServerTest, SaysWhyItCannotListenWhatTheTransportDealtWithAndRepliesOnlyWhenAsked) {
  const std::string name = "com.zorva.client.extension.xpc";
  EXPECT_EQ(Service(Outcome::NameTaken).lines(),
            "XPCServer: init done | ERROR: XPC: cannot own " + name + ": " + name +
                " has another owner | ERROR: XPC: no listener");
  EXPECT_EQ(Service(Outcome::Throw).lines(),
            "XPCServer: init done | ERROR: XPC: threw: no bus here, std::runtime_error: no bus "
            "here | ERROR: XPC: no listener");
  Service service;
  service.lines();
  auto peer = service.bus.connect(4242);
  service.server.connectionLost("the event loop ended");
  service.server.callRefused("Note", ":1.4", "arguments (sb), expected (xb)");
  service.server.callFailed("Ping", "std::bad_alloc: std::bad_alloc");
  service.server.acceptFailed(":1.5", "std::runtime_error: full");
  service.server.processIdUnknown(":1.6", "gone", true);  // no fault: it left
  service.server.processIdUnknown(":1.7", "broken", false);
  service.server.departureUnreadable("std::runtime_error: short");
  EXPECT_EQ(service.lines(),
            "XPC: new connection 4242 | XPC: accepting connection 4242 | "
            "ERROR: XPC: bus connection lost: the event loop ended | "
            "ERROR: XPC: refused Note from :1.4: arguments (sb), expected (xb) | "
            "ERROR: XPC: Ping failed: std::bad_alloc: std::bad_alloc | "
            "ERROR: XPC: accepting :1.5 failed: std::runtime_error: full | "
            "XPC: no process id for :1.6: gone | ERROR: XPC: no process id for :1.7: broken | "
            "ERROR: XPC: NameOwnerChanged: std::runtime_error: short");
  const std::string k1023(1023, 'a');
  const std::vector<BusValue> none;
  auto ping = [](std::string text) { return std::vector<BusValue>{text}; };
  const std::tuple<std::string, std::vector<BusValue>, bool, bool, std::string> cases[] = {
      {"Ping", ping(k1023 + "b"), true, false,
       "\"pong\" | XPC: ping: " + k1023 + "b | XPC: ponging"},
      // A long message is shown by its beginning, cut before the character that straddles the
      // limit, and its length.
      {"Ping", ping(k1023 + "\u00e9" + std::string(5000, 'b')), true, false,
       "\"pong\" | XPC: ping: " + k1023 + "... (6025 bytes) | XPC: ponging"},
      {"Ping", ping("x"), false, false, "- | XPC: ping: x | ERROR: XPC: NOT ponging"},
      {"GetVersion", none, true, false, "\"1.2.3\" | XPC: getVersion: 1.2.3"},
      {"GetVersion", none, false, false, "- | ERROR: XPC: getVersion: NO callback"},
      {"IsRunning", none, true, false, "false | XPC: isRunning | XPC: isRunning reply: 0"},
      {"IsRunning", none, true, true, "true | XPC: isRunning | XPC: isRunning reply: 1"},
      {"IsRunning", none, true, false, "false | XPC: isRunning | XPC: isRunning reply: 0"},
      {"IsRunning", none, false, true,
       "- | XPC: isRunning | ERROR: XPC: isRunning bad reply function"},
  };
  for (const auto& [method, args, wantsReply, ready, expected] : cases) {
    service.ready = ready;
    const auto answer = service.bus.call(peer, method, args, wantsReply);
    const std::string given =
        answer ? std::visit([](const auto& v) { return ::testing::PrintToString(v); }, *answer)
               : "-";
    EXPECT_EQ(given + " | " + service.lines(), expected) << method;
  }
}

TEST(XPCServerTest, TheLaterRegistrationTakesTheVolumeAndOnlyADepartureTakesItsEntries) {
  Service service;
  auto a = service.bus.connect(1), b = service.bus.connect(2), c = service.bus.connect(3);
  service.lines();
  // Passed on unchanged and without a line; without notifications, no entry.
  service.bus.call(a, "SaveDeviceToken", {std::string(" Tok%en ")}, false);
  service.bus.call(a, "AddVolume", {int64_t{-9}, std::string("/Media/USB Stick"), false}, false);
  EXPECT_THAT(service.taken, ElementsAre("token  Tok%en ", "-9 /Media/USB Stick"));
  EXPECT_THAT(service.server.volumeConnections(), IsEmpty());

  using Registration = std::tuple<std::shared_ptr<FakeBusTransport::Peer>, int64_t, bool>;
  for (const auto& [peer, id, notify] : std::vector<Registration>{
           {a, 7, true}, {b, 7, true}, {a, 7, false}, {c, 3, true}, {c, 5, true}, {b, 9, true}}) {
    service.bus.call(peer, "AddVolume", {id, std::string("/media/v"), notify}, false);
  }
  service.bus.interrupt(b);  // the client may still be told of changes
  service.modified("/media/v7/f", 7);
  service.modified("/media/v8/f", 8);  // nobody registered 8
  EXPECT_THAT(a->sent, IsEmpty());
  EXPECT_THAT(b->sent, ElementsAre("Change /media/v7/f"));
  b->result = BusPeer::SendResult::Failed;  // a client gone: lost without a word
  service.modified("/media/v9/g", 9);
  b->result = BusPeer::SendResult::Unencodable;
  service.modified("/media/v9/\xff", 9);

  service.bus.invalidate(c);
  EXPECT_EQ(service.server.volumeConnections(),
            (std::map<int64_t, std::string>{{7, ":1.2"}, {9, ":1.2"}}));
  service.bus.invalidate(b);
  EXPECT_THAT(service.server.volumeConnections(), IsEmpty());
  b->result = BusPeer::SendResult::Sent;
  service.modified("/media/v7/h", 7);
  EXPECT_THAT(b->sent, ElementsAre("Change /media/v7/f"));
  EXPECT_EQ(service.lines(),
            "interruptionHandler | ERROR: XPC: change for volume 9 not sent: the path is not "
            "UTF-8 | invalidationHandler | invalidationHandler");
}

}  // namespace
}  // namespace zorva
