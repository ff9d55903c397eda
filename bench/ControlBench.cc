// Control-interface figures on a private bus, each against a baseline measured in the same run:
//   (a) Ping calls per second from 4 concurrent clients (each on its own connection, one call
//       waiting at a time), against a bare sdbus-c++ echo method on the same bus;
//   (b) the time from XPCServer::pathModified to the client's Change arriving, median and 99th
//       percentile over 10,000 notifications, against a bare sdbus-c++ one-way call of the same
//       method from a connection of the service's side.
//
//   out/release/bench/control_bench
//
// Log lines are formatted as in service and then dropped, so their cost is in the figures.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/Stats.h"
#include "control/XPCServer.h"
#include "control/ZorvaProtocol.h"
#include "platform/dbus/SdBusConnect.h"
#include "platform/dbus/SdBusTransport.h"
#include "platform/dbus/testing/PrivateBus.h"
#include "platform/dispatch/RealClock.h"
#include "platform/log/LogWriter.h"

namespace zorva {
namespace {

using bench::percentile;

using Clock = std::chrono::steady_clock;
constexpr int kClients = 4;
constexpr int kCallsPerClient = 5'000;
constexpr int kNotifications = 10'000;
constexpr const char* kEchoName = "com.zorva.bench.echo";

class DroppingLogWriter final : public LogWriter {
 public:
  bool isEnabled(LogLevel) const override { return true; }
  void write(LogLevel, std::string_view line) override { _bytes += line.size(); }

 private:
  std::atomic<size_t> _bytes{0};
};

class Tokens final : public DeviceTokenHolder {
 public:
  void setDeviceToken(std::string) override {}
  bool isReady() const override { return true; }
};
class Volumes final : public VolumeRegistrar {
 public:
  void addVolume(int64_t, std::string_view, bool) override {}
};

// Calls per second of `method` on `service` from kClients threads, each on its own connection.
double callsPerSecond(const BusAddress& bus, const char* service, const char* path,
                      const char* interface, const char* method) {
  std::vector<std::unique_ptr<sdbus::IConnection>> connections;
  std::vector<std::unique_ptr<sdbus::IProxy>> proxies;
  for (int i = 0; i < kClients; ++i) {
    connections.push_back(connectToBus(bus));
    proxies.push_back(sdbus::createProxy(*connections.back(), service, path));
    std::string warm;
    proxies.back()
        ->callMethod(method)
        .onInterface(interface)
        .withArguments(std::string("warm"))
        .storeResultsTo(warm);
  }
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  threads.reserve(kClients);
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      std::string answer;
      for (int call = 0; call < kCallsPerClient; ++call) {
        proxies[i]
            ->callMethod(method)
            .onInterface(interface)
            .withArguments(std::string("ping"))
            .storeResultsTo(answer);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  proxies.clear();
  connections.clear();
  return kClients * kCallsPerClient / seconds;
}

// A client application counting the changes it is told of.
class Listener {
 public:
  explicit Listener(const BusAddress& bus) : _connection(connectToBus(bus)) {
    _object = sdbus::createObject(*_connection, kClientObjectPath);
    _object->registerMethod(kClientInterface, "Change", "s", "", [this](sdbus::MethodCall call) {
      std::string path;
      call >> path;
      std::lock_guard lock(_mutex);
      ++_count;
      _arrived.notify_one();
    });
    _object->finishRegistration();
    _service = sdbus::createProxy(*_connection, kServiceBusName, kServiceObjectPath);
    _connection->enterEventLoopAsync();
  }
  ~Listener() {
    _connection->leaveEventLoop();
    _service.reset();
    _object.reset();
  }
  std::string name() const { return _connection->getUniqueName(); }
  void registerVolume(int64_t volumeId) {
    _service->callMethod("AddVolume")
        .onInterface(kServerInterface)
        .withArguments(volumeId, std::string("/media/bench"), true);
  }
  // Nanoseconds from `send` being called to the change arriving, kNotifications times.
  template <class Send>
  std::vector<double> latencies(Send send) {
    std::vector<double> out;
    for (int i = 0; i < kNotifications; ++i) {
      std::unique_lock lock(_mutex);
      const uint64_t before = _count;
      lock.unlock();
      const auto start = Clock::now();
      send();
      lock.lock();
      _arrived.wait(lock, [&] { return _count > before; });
      out.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
    return out;
  }

 private:
  std::unique_ptr<sdbus::IConnection> _connection;
  std::unique_ptr<sdbus::IObject> _object;
  std::unique_ptr<sdbus::IProxy> _service;
  std::mutex _mutex;
  std::condition_variable _arrived;
  uint64_t _count = 0;
};

int run() {
  std::string whyNot;
  auto bus = testing::PrivateBus::start(whyNot);
  if (!bus) {
    std::fprintf(stderr, "control_bench: %s\n", whyNot.c_str());
    return 1;
  }
  DroppingLogWriter writer;
  setLogWriter(&writer);

  SdBusTransport transport(bus->busAddress());
  Tokens tokens;
  Volumes volumes;
  XPCServer server({transport, tokens, volumes, RealClock::shared(), "bench"});
  server.start();

  // The baseline service: one method that answers its argument, on a connection of its own.
  auto echoConnection = connectToBus(bus->busAddress());
  echoConnection->requestName(kEchoName);
  auto echo = sdbus::createObject(*echoConnection, "/bench");
  echo->registerMethod("com.zorva.bench.Echo", "Echo", "s", "s", [](sdbus::MethodCall call) {
    std::string text;
    call >> text;
    auto reply = call.createReply();
    reply << text;
    reply.send();
  });
  echo->finishRegistration();
  echoConnection->enterEventLoopAsync();

  double ping = 0, bare = 0;
  for (int round = 0; round < 2; ++round) {  // interleaved; the better of two each
    ping = std::max(ping, callsPerSecond(bus->busAddress(), kServiceBusName, kServiceObjectPath,
                                         kServerInterface, "Ping"));
    bare = std::max(bare, callsPerSecond(bus->busAddress(), kEchoName, "/bench",
                                         "com.zorva.bench.Echo", "Echo"));
  }
  std::printf("(a) Ping, %d clients: %.0f calls/s; bare echo: %.0f calls/s; ratio %.2fx\n",
              kClients, ping, bare, ping / bare);

  Listener listener(bus->busAddress());
  listener.registerVolume(1);
  auto served = listener.latencies([&] { server.pathModified("/media/bench/file.txt", 1); });
  auto direct = sdbus::createProxy(*echoConnection, listener.name(), kClientObjectPath);
  auto raw = listener.latencies([&] {
    auto call = direct->createMethodCall(kClientInterface, "Change");
    call << std::string("/media/bench/file.txt");
    call.dontExpectReply();
    direct->callMethod(call);
  });
  std::printf(
      "(b) pathModified -> Change, %d notifications: median %.1f us, p99 %.1f us; bare one-way "
      "call: median %.1f us, p99 %.1f us; ratios %.2fx, %.2fx\n",
      kNotifications, percentile(served, 0.5) / 1e3, percentile(served, 0.99) / 1e3,
      percentile(raw, 0.5) / 1e3, percentile(raw, 0.99) / 1e3,
      percentile(served, 0.5) / percentile(raw, 0.5),
      percentile(served, 0.99) / percentile(raw, 0.99));

  direct.reset();
  echoConnection->leaveEventLoop();
  echo.reset();
  transport.stop();
  setLogWriter(nullptr);
  return 0;
}

}  // namespace
}  // namespace zorva

int main() { return zorva::run(); }
