#include "platform/dbus/SdBusTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dbus/SdBusConnect.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/dbus/testing/WaitingLogWriter.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
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

// Writes down, in order, everything the transport hands to the service side.
class Recorder final : public BusListenerDelegate {
 public:
  class Handler final : public BusPeerHandler {
   public:
    Handler(Recorder& recorder, std::shared_ptr<BusPeer> peer)
        : recorder_(recorder), peer_(std::move(peer)) {}
    void handle(BusCall call) override {
      const bool later = call.object->interface == kLater.interface;
      std::string text = (later ? "later " : "call ") + call.method->name;
      for (const BusValue& arg : call.args) {
        std::visit([&](const auto& v) { text += " " + describeValue(v); }, arg);
      }
      if (call.caller != peer_) text += " (wrong caller)";
      // Kept before it is noted: a test that has seen the note finds the reply.
      if (later) recorder_.keep(std::move(call.reply));
      recorder_.note(text);
      if (later) return;
      recorder_.waitWhileHeld();
      if (call.reply) call.reply(call.args.at(0));
    }
    void interrupted() override { recorder_.note("interrupted " + peer_->name()); }
    void invalidated() override { recorder_.note("invalidated " + peer_->name()); }

   private:
    static std::string describeValue(const std::string& v) { return v; }
    static std::string describeValue(int64_t v) { return std::to_string(v); }
    static std::string describeValue(bool v) { return v ? "true" : "false"; }
    Recorder& recorder_;
    std::shared_ptr<BusPeer> peer_;
  };

  std::shared_ptr<BusPeerHandler> accept(const std::shared_ptr<BusPeer>& peer) override {
    {
      std::lock_guard lock(mutex_);
      peers_.push_back(peer);
    }
    note("accept " + peer->name() + " pid " + std::to_string(peer->processId()));
    return std::make_shared<Handler>(*this, peer);
  }

  // While held, the delivery thread stops in the next call it hands over: what arrives meanwhile
  // waits in the transport's connection.
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  void waitWhileHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !held_; });
  }

  void keep(std::function<void(BusValue)> reply) {
    std::lock_guard lock(mutex_);
    kept_.push_back(std::move(reply));
  }
  std::function<void(BusValue)> takeKept() {
    std::lock_guard lock(mutex_);
    auto reply = std::move(kept_.at(0));
    kept_.erase(kept_.begin());
    return reply;
  }

  void note(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  bool waitForEvents(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return events_.size() >= count; });
  }
  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::shared_ptr<BusPeer> peer(size_t index) {
    std::lock_guard lock(mutex_);
    return peers_.at(index);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<std::shared_ptr<BusPeer>> peers_;
  std::vector<std::function<void(BusValue)>> kept_;
  bool held_ = false;
};

// A client of the exported object, on a connection of its own.
struct Client {
  explicit Client(const BusAddress& bus)
      : connection(connectToBus(bus)),
        proxy(sdbus::createProxy(*connection, kName, kExported.path)),
        name(connection->getUniqueName()) {}
  ~Client() { leave(); }

  // Sends `method` with `args`, one-way or waiting; the error's name when refused.
  template <class... Args>
  std::string call(bool oneWay, const std::string& method, const Args&... args) {
    sdbus::MethodCall message = proxy->createMethodCall(kExported.interface, method);
    ((void)(message << args), ...);
    if (oneWay) message.dontExpectReply();
    try {
      proxy->callMethod(message);
    } catch (const sdbus::Error& error) {
      return error.getName();
    }
    return {};
  }
  std::string echo(const std::string& text) const {
    std::string echoed;
    proxy->callMethod("Echo")
        .onInterface(kExported.interface)
        .withArguments(text)
        .storeResultsTo(echoed);
    return echoed;
  }
  // Leaves the bus; the proxy goes first, since it uses the connection.
  void leave() {
    proxy.reset();
    connection.reset();
  }

  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IProxy> proxy;
  const std::string name;
};

class SdBusTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    bus_ = testing::PrivateBus::start(whyNot);
    if (!bus_) GTEST_SKIP() << whyNot;
    transport_ = std::make_unique<SdBusTransport>(bus_->busAddress());
    ASSERT_TRUE(transport_->listen(kName, {kExported, kLater}, kRemote, recorder_).listening);
  }
  void TearDown() override {
    recorder_.release();
    if (transport_) transport_->stop();
  }

  testing::WaitingLogWriter log_;
  std::unique_ptr<testing::PrivateBus> bus_;
  Recorder recorder_;
  std::unique_ptr<SdBusTransport> transport_;
};

constexpr bool kOneWay = true;
constexpr bool kWaiting = false;

TEST_F(SdBusTransportTest, AcceptsAPeerOnceWithItsProcessIdThenDeliversItsCallsInOrder) {
  Client client(bus_->busAddress());
  // Sent back to back, before the transport can know who is calling.
  client.call(kOneWay, "Note", int64_t{-5}, true);
  EXPECT_EQ(client.echo("hi"), "hi");
  EXPECT_THAT(recorder_.events(),
              ElementsAre("accept " + client.name + " pid " + std::to_string(::getpid()),
                          "call Note -5 true", "call Echo hi"));
  client.leave();
  ASSERT_TRUE(recorder_.waitForEvents(4));
  EXPECT_EQ(recorder_.events().back(), "invalidated " + client.name);
}

TEST_F(SdBusTransportTest, BadCallsGetAnErrorOrAnErrorLineAndNeverReachTheService) {
  Client client(bus_->busAddress());
  const std::string oversized(kMaxBusStringBytes + 1, 'a');
  EXPECT_EQ(client.call(kWaiting, "Echo", int64_t{1}), "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(client.call(kWaiting, "Echo", oversized), "org.freedesktop.DBus.Error.InvalidArgs");
  // One-way callers cannot be told; the service says why it dropped their calls.
  client.call(kOneWay, "Note", std::string("7"), true);
  client.call(kOneWay, "Erase");
  client.call(kOneWay, "Echo", oversized);
  EXPECT_EQ(client.echo("after"), "after");

  EXPECT_THAT(recorder_.events(), ElementsAre(HasSubstr("accept "), "call Echo after"));
  const std::string from = " from " + client.name + ": ";
  EXPECT_EQ(log_.count("XPC: refused Note" + from + "arguments (sb), expected (xb)"), 1u);
  EXPECT_EQ(log_.count("XPC: refused Erase" + from + "no such method"), 1u);
  EXPECT_EQ(log_.count("XPC: refused Echo" + from + "a string argument is longer"), 1u);
}

TEST_F(SdBusTransportTest, APeerThatLeavesAtOnceHasItsCallsHandledThenIsInvalidated) {
  for (int64_t round = 0; round < 5; ++round) {
    Client client(bus_->busAddress());
    client.call(kOneWay, "Note", round, false);
    client.leave();  // gone, quite likely before its process id is asked for
    ASSERT_TRUE(recorder_.waitForEvents(3 * (round + 1)));
    auto events = recorder_.events();
    EXPECT_THAT(
        std::vector(events.end() - 3, events.end()),
        ElementsAre(HasSubstr("accept " + client.name),
                    "call Note " + std::to_string(round) + " false", "invalidated " + client.name));
  }
}

// A one-way caller may well be gone before the bus daemon is asked who it was; that is no fault.
TEST_F(SdBusTransportTest, APeerGoneBeforeItsProcessIdIsAskedIsLoggedAsNoError) {
  Client first(bus_->busAddress());
  first.echo("x");
  recorder_.hold();
  first.call(kOneWay, "Note", int64_t{1}, true);
  ASSERT_TRUE(recorder_.waitForEvents(3));  // the delivery thread now waits in that call

  Client second(bus_->busAddress());
  const std::string gone = second.name;
  second.call(kOneWay, "Note", int64_t{2}, false);
  second.leave();
  auto probe = connectToBus(bus_->busAddress());
  auto daemon = sdbus::createProxy(*probe, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  for (bool owned = true; owned;) {
    daemon->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(gone)
        .storeResultsTo(owned);
  }
  recorder_.release();

  ASSERT_TRUE(recorder_.waitForEvents(6));
  auto events = recorder_.events();
  EXPECT_THAT(std::vector(events.end() - 3, events.end()),
              ElementsAre("accept " + gone + " pid 0", "call Note 2 false", "invalidated " + gone));
  EXPECT_EQ(log_.count("ZORVA_LOG: XPC: no process id for " + gone + ": "), 1u);
  EXPECT_EQ(log_.count("ERROR: "), 0u);
}

TEST_F(SdBusTransportTest, AResultGivenLaterFromAnotherThreadReachesItsCallerAndADroppedOneFails) {
  Client waiting(bus_->busAddress()), other(bus_->busAddress());
  auto later = [&](const std::string& text) {
    std::string answer;
    try {
      waiting.proxy->callMethod("Echo")
          .onInterface(kLater.interface)
          .withArguments(text)
          .storeResultsTo(answer);
    } catch (const sdbus::Error& error) {
      return error.getName();
    }
    return answer;
  };
  std::thread kept([&] { EXPECT_EQ(later("a"), "given later"); });
  ASSERT_TRUE(recorder_.waitForEvents(2));
  // The delivery thread is free while that caller waits.
  EXPECT_EQ(other.echo("b"), "b");
  recorder_.takeKept()(std::string("given later"));
  kept.join();

  std::thread dropped([&] { EXPECT_EQ(later("c"), "org.freedesktop.DBus.Error.Failed"); });
  ASSERT_TRUE(recorder_.waitForEvents(5));
  recorder_.takeKept();  // and let go of, unanswered
  dropped.join();
  EXPECT_THAT(recorder_.events(), ElementsAre(HasSubstr("accept "), "later Echo a",
                                              HasSubstr("accept "), "call Echo b", "later Echo c"));
}

TEST_F(SdBusTransportTest, SendsOneWayCallsToAPeerAndRefusesPathsThatAreNotUtf8) {
  Client client(bus_->busAddress());
  std::mutex mutex;
  std::condition_variable told;
  std::vector<std::string> received;
  auto object = sdbus::createObject(*client.connection, kRemote.path);
  object->registerMethod(kRemote.interface, "Told", "s", "", [&](sdbus::MethodCall call) {
    std::string text;
    call >> text;
    std::lock_guard lock(mutex);
    received.push_back(text + (call.doesntExpectReply() ? "" : " (waits)"));
    told.notify_all();
  });
  object->finishRegistration();
  client.connection->enterEventLoopAsync();
  client.echo("x");

  auto peer = recorder_.peer(0);
  EXPECT_EQ(peer->send("Told", {std::string("bad \xff")}), BusPeer::SendResult::Unencodable);
  EXPECT_EQ(peer->send("Told", {std::string("/media/usb/a")}), BusPeer::SendResult::Sent);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(told.wait_for(lock, 10s, [&] { return !received.empty(); }));
    EXPECT_THAT(received, ElementsAre("/media/usb/a"));
  }
  client.connection->leaveEventLoop();
  object.reset();
}

TEST_F(SdBusTransportTest, LosingTheBusInterruptsEveryPeerAndSendsFailQuietly) {
  Client client(bus_->busAddress());
  client.echo("x");
  auto peer = recorder_.peer(0);
  bus_->kill();
  ASSERT_TRUE(log_.waitFor("XPC: bus connection lost: "));
  ASSERT_TRUE(recorder_.waitForEvents(3));
  EXPECT_EQ(recorder_.events().back(), "interrupted " + peer->name());
  EXPECT_EQ(peer->send("Told", {std::string("/a")}), BusPeer::SendResult::Failed);
}

TEST(SdBusTransportNameTest, ANameOwnedElsewhereIsNotListenedOn) {
  std::string whyNot;
  auto bus = testing::PrivateBus::start(whyNot);
  if (!bus) GTEST_SKIP() << whyNot;
  auto other = connectToBus(bus->busAddress());
  other->requestName(kName);
  Recorder recorder;
  SdBusTransport transport(bus->busAddress());
  BusTransport::Listening result = transport.listen(kName, {kExported}, kRemote, recorder);
  EXPECT_FALSE(result.listening);
  EXPECT_FALSE(result.reason.empty());

  SdBusTransport nowhere({BusAddress::Kind::Address, "unix:path=/nonexistent/zorva-bus"});
  EXPECT_THROW(nowhere.listen(kName, {kExported}, kRemote, recorder), std::exception);
}

}  // namespace
}  // namespace zorva
