#include "platform/dbus/SdBusTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

#include "platform/dbus/SdBusConnect.h"
#include "platform/dbus/testing/PrivateBus.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const BusObject kExported{"/test/echo",
                          "com.zorva.test.Echo",
                          {{"Echo", "s", {"text"}, "s", "text", false},
                           {"Note", "xb", {"number", "flag"}, "", "", true}}};
const BusObject kRemote{
    "/test/client", "com.zorva.test.Client", {{"Told", "s", {"text"}, "", "", true}}};
constexpr const char* kName = "com.zorva.test.transport";
constexpr const char* kDaemon = "org.freedesktop.DBus";
// A guard against a broken transport, not a wait for something slow.
constexpr auto kPatience = std::chrono::seconds(10);

// Writes down, in order, everything the transport hands or tells the service side. Calls are
// echoed once no hold is on: the delivery thread then waits in the call, and what arrives
// meanwhile waits in the connection. "later" is echoed from another thread after the call has
// returned; "drop" is never answered.
struct Recorder final : BusListenerDelegate {
  using Text = const std::string&;
  struct Handler final : BusPeerHandler {
    Handler(Recorder& to, std::shared_ptr<BusPeer> peer) : to(to), peer(std::move(peer)) {}
    void handle(BusCall call) override { to.handle(std::move(call), peer); }
    void interrupted() override { to.note("interrupted " + peer->name()); }
    void invalidated() override { to.note("invalidated " + peer->name()); }
    Recorder& to;
    const std::shared_ptr<BusPeer> peer;
  };

  std::shared_ptr<BusPeerHandler> accept(const std::shared_ptr<BusPeer>& peer) override {
    note("accept " + peer->name() + " pid " + std::to_string(peer->processId()), peer);
    return std::make_shared<Handler>(*this, peer);
  }
  void connectionLost(Text) override { note("lost"); }
  void callRefused(Text m, Text peer, Text why) override { note(m + " from " + peer + ": " + why); }
  void callFailed(Text method, Text) override { note("failed " + method); }
  void acceptFailed(Text peer, Text) override { note("no accept " + peer); }
  void processIdUnknown(Text peer, Text, bool left) override {
    note("no pid " + peer + (left ? " (left)" : ""));
  }
  void departureUnreadable(Text) override { note("departure unreadable"); }

  void handle(BusCall call, const std::shared_ptr<BusPeer>& peer) {
    std::string text = "call " + call.method->name;
    for (const BusValue& arg : call.args) {
      std::visit([&](const auto& v) { text += " " + ::testing::PrintToString(v); }, arg);
    }
    if (call.caller != peer) text += " (wrong caller)";
    if (!call.reply && !call.method->outSignature.empty()) text += " (one-way)";
    note(text);
    std::unique_lock lock(_mutex);
    _changed.wait(lock, [&] { return !_held; });
    if (!call.reply || call.args[0] == BusValue("drop")) return;
    if (call.args[0] != BusValue("later")) return call.reply(call.args[0]);
    _repliers.emplace_back([reply = std::move(call.reply)] { reply(std::string("later")); });
  }
  void note(std::string event, std::shared_ptr<BusPeer> peer = nullptr) {
    std::lock_guard lock(_mutex);
    if (peer) lastPeer = std::move(peer);
    _events.push_back(std::move(event));
    _changed.notify_all();
  }
  void hold(bool held) {
    std::lock_guard lock(_mutex);
    _held = held;
    _changed.notify_all();
  }
  // The events so far, once there are at least `count`.
  std::vector<std::string> events(size_t count = 0) {
    std::unique_lock lock(_mutex);
    _changed.wait_for(lock, kPatience, [&] { return _events.size() >= count; });
    return _events;
  }

  std::shared_ptr<BusPeer> lastPeer;  // written under the mutex: read it after events()

  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<std::string> _events;
  bool _held = false;
  std::vector<std::jthread> _repliers;
};

// A client of the exported object, on a connection of its own.
struct Client {
  explicit Client(const BusAddress& bus)
      : connection(connectToBus(bus)),
        proxy(sdbus::createProxy(*connection, kName, kExported.path)),
        name(connection->getUniqueName()) {}

  // Calls `method` with `args`, one-way or waiting: the string answer, or the error's name.
  template <class... Args>
  std::string call(bool oneWay, const std::string& method, const Args&... args) {
    sdbus::MethodCall message = proxy->createMethodCall(kExported.interface, method);
    ((void)(message << args), ...);
    if (oneWay) message.dontExpectReply();
    std::string answer;
    try {
      sdbus::MethodReply reply = proxy->callMethod(message);
      if (!oneWay && !reply.isEmpty()) reply >> answer;
    } catch (const sdbus::Error& error) {
      return error.getName();
    }
    return answer;
  }
  // Leaves the bus; the proxy goes first, since it uses the connection.
  void leave() { proxy.reset(), connection.reset(); }

  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IProxy> proxy;
  const std::string name;
};

constexpr bool kOneWay = true;
constexpr bool kWaiting = false;

struct SdBusTransportTest : ::testing::Test {
  void SetUp() override {
    std::string whyNot;
    _bus = testing::PrivateBus::start(whyNot);
    if (!_bus) GTEST_SKIP() << whyNot;
    _transport = std::make_unique<SdBusTransport>(_bus->busAddress());
    ASSERT_TRUE(_transport->listen(kName, {kExported}, kRemote, _recorder).listening);
  }
  void TearDown() override { _recorder.hold(false); }  // a failed test may leave the hold on

  std::unique_ptr<testing::PrivateBus> _bus;
  Recorder _recorder;
  std::unique_ptr<SdBusTransport> _transport;
};

// A one-way caller cannot be told, so every refusal is reported, and none reaches a handler. A
// caller that waits on a method without a result is answered all the same, and one whose result is
// dropped is told so. The service's calls to a peer go one-way, until the bus is lost.
TEST_F(SdBusTransportTest, BadCallsAreRefusedAndGoodOnesGoBothWaysUntilTheBusIsLost) {
  Client client(_bus->busAddress());
  const std::string oversized(kMaxBusStringBytes + 1, 'a');
  EXPECT_EQ(client.call(kWaiting, "Echo", int64_t{1}), "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(client.call(kWaiting, "Echo", oversized), "org.freedesktop.DBus.Error.InvalidArgs");
  client.call(kOneWay, "Note", std::string("7"), true);
  client.call(kOneWay, "Erase");
  client.call(kOneWay, "Echo", std::vector<std::string>{"a"},
              sdbus::Struct<int32_t, std::string>{1, "b"},
              std::map<std::string, sdbus::Variant>{{"k", sdbus::Variant(int32_t{3})}});
  client.call(kOneWay, "Echo", oversized);
  client.call(kOneWay, "Echo", std::string("quiet"));
  EXPECT_EQ(client.call(kWaiting, "Note", int64_t{3}, false), "");
  EXPECT_EQ(client.call(kWaiting, "Echo", std::string("drop")),
            "org.freedesktop.DBus.Error.Failed");
  EXPECT_EQ(client.call(kWaiting, "Echo", std::string("later")), "later");

  const std::string from = " from " + client.name + ": ";
  const std::string tooLong = "Echo" + from + "a string argument is longer than 4096 bytes";
  EXPECT_THAT(_recorder.events(),
              ElementsAre("Echo" + from + "arguments (x), expected (s)", HasSubstr("accept "),
                          tooLong, "Note" + from + "arguments (sb), expected (xb)",
                          "Erase" + from + "no such method",
                          "Echo" + from + "arguments (as(is)a{sv}), expected (s)", tooLong,
                          "call Echo \"quiet\" (one-way)", "call Note 3 false",
                          "call Echo \"drop\"", "call Echo \"later\""));

  EXPECT_FALSE(
      SdBusTransport(_bus->busAddress()).listen(kName, {kExported}, kRemote, _recorder).listening)
      << "the name is owned already";
  std::vector<std::string> received;
  auto object = sdbus::createObject(*client.connection, kRemote.path);
  object->registerMethod(kRemote.interface, "Told", "s", "", [&](sdbus::MethodCall call) {
    std::string text;
    call >> text;
    received.push_back(text + (call.doesntExpectReply() ? "" : " (waits)"));
  });
  object->finishRegistration();
  auto peer = _recorder.lastPeer;
  // A Linux path may be any bytes; a bus string must be UTF-8.
  EXPECT_EQ(peer->send("Told", {std::string("bad \xff")}), BusPeer::SendResult::Unencodable);
  EXPECT_EQ(peer->send("Told", {std::string("/media/usb/a")}), BusPeer::SendResult::Sent);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (received.empty() && std::chrono::steady_clock::now() < deadline) {
    client.connection->processPendingRequest();
  }
  EXPECT_THAT(received, ElementsAre("/media/usb/a"));

  _bus->kill();
  auto events = _recorder.events(13);
  EXPECT_THAT(std::vector(events.begin() + 11, events.end()),
              ElementsAre("lost", "interrupted " + peer->name()));
  EXPECT_EQ(peer->send("Told", {std::string("/a")}), BusPeer::SendResult::Failed);
  SdBusTransport nowhere({BusAddress::Kind::Address, "unix:path=/nonexistent/zorva-bus"});
  EXPECT_THROW(nowhere.listen(kName, {kExported}, kRemote, _recorder), std::exception);
}

// A one-way caller may well be gone before the bus daemon is asked who it was; that is no fault.
TEST_F(SdBusTransportTest, AcceptsAPeerOnceWithItsProcessIdOrZeroWhenGoneAndKeepsItsCallsInOrder) {
  Client first(_bus->busAddress()), second(_bus->busAddress());
  // Sent back to back, before the transport can know who is calling.
  first.call(kOneWay, "Note", int64_t{-5}, true);
  EXPECT_EQ(first.call(kWaiting, "Echo", std::string("hi")), "hi");
  _recorder.hold(true);
  first.call(kOneWay, "Note", int64_t{1}, true);
  _recorder.events(4);  // the delivery thread now waits in that call
  second.call(kOneWay, "Note", int64_t{2}, false);
  second.leave();
  auto daemon = sdbus::createProxy(*first.connection, kDaemon, "/org/freedesktop/DBus");
  for (bool owned = true; owned;) {
    daemon->callMethod("NameHasOwner")
        .onInterface(kDaemon)
        .withArguments(second.name)
        .storeResultsTo(owned);
  }
  _recorder.hold(false);
  _recorder.events(8);
  daemon.reset();
  first.leave();
  EXPECT_THAT(
      _recorder.events(9),
      ElementsAre("accept " + first.name + " pid " + std::to_string(::getpid()),
                  "call Note -5 true", "call Echo \"hi\"", "call Note 1 true",
                  "no pid " + second.name + " (left)", "accept " + second.name + " pid 0",
                  "call Note 2 false", "invalidated " + second.name, "invalidated " + first.name));
}

}  // namespace
}  // namespace zorva
