#include "platform/dbus/SdBusTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
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
// A second interface on the same path, whose results the test gives later, from its own thread.
const BusObject kLater{
    "/test/echo", "com.zorva.test.Later", {{"Echo", "s", {"text"}, "s", "text"}}};
const BusObject kRemote{
    "/test/client", "com.zorva.test.Client", {{"Told", "s", {"text"}, "", "", true}}};
constexpr const char* kName = "com.zorva.test.transport";
// A guard against a broken transport, not a wait for something slow.
constexpr auto kPatience = std::chrono::seconds(10);

// Writes down, in order, everything the transport hands or tells the service side.
class Recorder final : public BusListenerDelegate {
 public:
  struct Handler final : BusPeerHandler {
    Handler(Recorder& recorder, std::shared_ptr<BusPeer> peer) : recorder(recorder), peer(peer) {}
    void handle(BusCall call) override { recorder.handle(std::move(call), peer); }
    void interrupted() override { recorder.note("interrupted " + peer->name()); }
    void invalidated() override { recorder.note("invalidated " + peer->name()); }
    Recorder& recorder;
    const std::shared_ptr<BusPeer> peer;
  };

  std::shared_ptr<BusPeerHandler> accept(const std::shared_ptr<BusPeer>& peer) override {
    note("accept " + peer->name() + " pid " + std::to_string(peer->processId()), peer);
    return std::make_shared<Handler>(*this, peer);
  }
  void connectionLost(const std::string&) override { note("lost"); }
  void callRefused(const std::string& method, const std::string& peer,
                   const std::string& why) override {
    note("refused " + method + " from " + peer + ": " + why);
  }
  void callFailed(const std::string& method, const std::string&) override {
    note("failed " + method);
  }
  void acceptFailed(const std::string& peer, const std::string&) override {
    note("no accept " + peer);
  }
  void processIdUnknown(const std::string& peer, const std::string&, bool peerLeft) override {
    note("no pid " + peer + (peerLeft ? " (left)" : ""));
  }
  void departureUnreadable(const std::string&) override { note("departure unreadable"); }

  // Results of kLater are kept for the test to give; others are echoed, once no hold is on: the
  // delivery thread then waits in the call, and what arrives meanwhile waits in the connection.
  void handle(BusCall call, const std::shared_ptr<BusPeer>& peer) {
    const bool later = call.object->interface == kLater.interface;
    std::string text = (later ? "later " : "call ") + call.method->name;
    for (const BusValue& arg : call.args) {
      const auto* string = std::get_if<std::string>(&arg);
      text += " " + (string ? *string
                            : std::visit([](auto v) { return ::testing::PrintToString(v); }, arg));
    }
    if (call.caller != peer) text += " (wrong caller)";
    std::unique_lock lock(_mutex);
    if (later) _kept.push_back(std::move(call.reply));
    _events.push_back(text);
    _changed.notify_all();
    _changed.wait(lock, [&] { return later || !_held; });
    lock.unlock();
    if (!later && call.reply) call.reply(call.args.at(0));
  }
  void hold(bool held) { note("", nullptr, held); }
  std::function<void(BusValue)> takeKept() {
    std::lock_guard lock(_mutex);
    return std::exchange(_kept.back(), nullptr);
  }
  // An event, the last peer accepted, or the hold: whatever is given.
  void note(std::string event, std::shared_ptr<BusPeer> peer = nullptr,
            std::optional<bool> held = std::nullopt) {
    std::lock_guard lock(_mutex);
    if (peer) lastPeer = std::move(peer);
    if (!event.empty()) _events.push_back(std::move(event));
    _held = held.value_or(_held);
    _changed.notify_all();
  }
  // The events so far, once there are at least `count`.
  std::vector<std::string> events(size_t count = 0) {
    std::unique_lock lock(_mutex);
    _changed.wait_for(lock, kPatience, [&] { return _events.size() >= count; });
    return _events;
  }

  std::shared_ptr<BusPeer> lastPeer;  // written under the mutex: read it after events()

 private:
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<std::string> _events;
  std::vector<std::function<void(BusValue)>> _kept;
  bool _held = false;
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
    sdbus::MethodCall message = proxy->createMethodCall(interface, method);
    ((void)(message << args), ...);
    if (oneWay) message.dontExpectReply();
    std::string answer;
    try {
      sdbus::MethodReply reply = proxy->callMethod(message);
      if (!oneWay) reply >> answer;
    } catch (const sdbus::Error& error) {
      return error.getName();
    }
    return answer;
  }
  std::string echo(const std::string& text) { return call(false, "Echo", text); }
  // Leaves the bus; the proxy goes first, since it uses the connection.
  void leave() { proxy.reset(), connection.reset(); }

  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IProxy> proxy;
  const std::string name;
  std::string interface = kExported.interface;
};

constexpr bool kOneWay = true;
constexpr bool kWaiting = false;

class SdBusTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    _bus = testing::PrivateBus::start(whyNot);
    if (!_bus) GTEST_SKIP() << whyNot;
    _transport = std::make_unique<SdBusTransport>(_bus->busAddress());
    ASSERT_TRUE(_transport->listen(kName, {kExported, kLater}, kRemote, _recorder).listening);
  }
  void TearDown() override { _recorder.hold(false); }  // a failed test may leave the hold on

  std::unique_ptr<testing::PrivateBus> _bus;
  Recorder _recorder;
  std::unique_ptr<SdBusTransport> _transport;
};

// A one-way caller cannot be told, so every refusal is reported, and none reaches a handler.
TEST_F(SdBusTransportTest, BadCallsAreRefusedAndReportedAndNeverReachTheService) {
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
  EXPECT_EQ(client.echo("after"), "after");

  const std::string from = " from " + client.name + ": ";
  const std::string tooLong = "refused Echo" + from + "a string argument is longer than 4096 bytes";
  EXPECT_THAT(
      _recorder.events(),
      ElementsAre("refused Echo" + from + "arguments (x), expected (s)", HasSubstr("accept "),
                  tooLong, "refused Note" + from + "arguments (sb), expected (xb)",
                  "refused Erase" + from + "no such method",
                  "refused Echo" + from + "arguments (as(is)a{sv}), expected (s)", tooLong,
                  "call Echo after"));
}

// A one-way caller may well be gone before the bus daemon is asked who it was; that is no fault.
TEST_F(SdBusTransportTest, AcceptsAPeerOnceWithItsProcessIdOrZeroWhenGoneAndKeepsItsCallsInOrder) {
  Client first(_bus->busAddress()), second(_bus->busAddress());
  // Sent back to back, before the transport can know who is calling.
  first.call(kOneWay, "Note", int64_t{-5}, true);
  EXPECT_EQ(first.echo("hi"), "hi");
  _recorder.hold(true);
  first.call(kOneWay, "Note", int64_t{1}, true);
  _recorder.events(4);  // the delivery thread now waits in that call
  const std::string gone = second.name;
  second.call(kOneWay, "Note", int64_t{2}, false);
  second.leave();
  auto daemon =
      sdbus::createProxy(*first.connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  for (bool owned = true; owned;) {
    daemon->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(gone)
        .storeResultsTo(owned);
  }
  _recorder.hold(false);
  _recorder.events(8);
  const std::string name = first.name;
  daemon.reset();
  first.leave();
  EXPECT_THAT(_recorder.events(9),
              ElementsAre("accept " + name + " pid " + std::to_string(::getpid()),
                          "call Note -5 true", "call Echo hi", "call Note 1 true",
                          "no pid " + gone + " (left)", "accept " + gone + " pid 0",
                          "call Note 2 false", "invalidated " + gone, "invalidated " + name));
}

TEST_F(SdBusTransportTest, AResultGivenLaterFromAnotherThreadReachesItsCallerAndADroppedOneFails) {
  Client waiting(_bus->busAddress()), other(_bus->busAddress());
  waiting.interface = kLater.interface;
  std::thread kept([&] { EXPECT_EQ(waiting.call(kWaiting, "Echo", std::string("a")), "given"); });
  _recorder.events(2);
  EXPECT_EQ(other.echo("b"), "b");  // the delivery thread is free while that caller waits
  _recorder.takeKept()(std::string("given"));
  kept.join();
  std::thread dropped([&] {
    EXPECT_EQ(waiting.call(kWaiting, "Echo", std::string("c")),
              "org.freedesktop.DBus.Error.Failed");
  });
  _recorder.events(5);
  _recorder.takeKept();  // and let go of, unanswered
  dropped.join();
  EXPECT_THAT(_recorder.events(), ElementsAre(HasSubstr("accept "), "later Echo a",
                                              HasSubstr("accept "), "call Echo b", "later Echo c"));
}

TEST_F(SdBusTransportTest, SendsOneWayCallsToAPeerUntilTheBusIsLostWhichInterruptsEveryPeer) {
  Client client(_bus->busAddress());
  std::vector<std::string> received;
  auto object = sdbus::createObject(*client.connection, kRemote.path);
  object->registerMethod(kRemote.interface, "Told", "s", "", [&](sdbus::MethodCall call) {
    std::string text;
    call >> text;
    received.push_back(text + (call.doesntExpectReply() ? "" : " (waits)"));
  });
  object->finishRegistration();
  client.echo("x");
  _recorder.events(2);
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
  auto events = _recorder.events(4);
  EXPECT_THAT(std::vector(events.begin() + 2, events.end()),
              ElementsAre("lost", "interrupted " + peer->name()));
  EXPECT_EQ(peer->send("Told", {std::string("/a")}), BusPeer::SendResult::Failed);
}

TEST_F(SdBusTransportTest, ANameOwnedElsewhereIsNotListenedOnAndNoBusThrows) {
  SdBusTransport second(_bus->busAddress());
  BusTransport::Listening result = second.listen(kName, {kExported}, kRemote, _recorder);
  EXPECT_FALSE(result.listening);
  EXPECT_FALSE(result.reason.empty());
  SdBusTransport nowhere({BusAddress::Kind::Address, "unix:path=/nonexistent/zorva-bus"});
  EXPECT_THROW(nowhere.listen(kName, {kExported}, kRemote, _recorder), std::exception);
}

}  // namespace
}  // namespace zorva
