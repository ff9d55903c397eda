#include "control/zorvactl/ControlClient.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "control/ZorvaProtocol.h"
#include "platform/dbus/SdBusConnect.h"
#include "platform/text/Utf8.h"

namespace zorva {

namespace {

constexpr const char* kBusDaemon = "org.freedesktop.DBus";

}  // namespace

ControlClient::ControlClient(const BusAddress& bus) : _bus(bus) {
  try {
    _connection = connectToBus(_bus);
  } catch (const sdbus::Error& error) {
    throw ClientError(ClientError::Kind::Unreachable,
                      "cannot connect to " + _bus.describe() + ": " + error.getMessage());
  }
  _service = sdbus::createProxy(*_connection, kServiceBusName, kServiceObjectPath);
}

sdbus::MethodReply ControlClient::call(const std::string& method, const std::vector<BusValue>& args,
                                       const char* interface) {
  for (const BusValue& arg : args) {
    const auto* text = std::get_if<std::string>(&arg);
    if (text && !isValidUtf8(*text)) {
      throw ClientError(ClientError::Kind::Refused, method + ": an argument is not UTF-8");
    }
  }
  try {
    sdbus::MethodCall message = _service->createMethodCall(interface, method);
    for (const BusValue& arg : args) std::visit([&](const auto& v) { message << v; }, arg);
    return _service->callMethod(message);
  } catch (const sdbus::Error& error) {
    fail(method, error);
  }
}

void ControlClient::fail(const std::string& method, const sdbus::Error& error) const {
  if (isUnreachableError(error.getName())) {
    throw ClientError(
        ClientError::Kind::Unreachable,
        "the service cannot be reached on " + _bus.describe() + ": " + error.getMessage());
  }
  throw ClientError(ClientError::Kind::Refused, method + " refused: " + error.getMessage());
}

void ControlClient::saveDeviceToken(const std::string& token) { call("SaveDeviceToken", {token}); }

void ControlClient::addVolume(int64_t volumeId, const std::string& path, bool notifyEnabled) {
  call("AddVolume", {volumeId, path, notifyEnabled});
}

bool ControlClient::isRunning() {
  bool running = false;
  auto reply = call("IsRunning", {});
  reply >> running;
  return running;
}

std::string ControlClient::ping(const std::string& message) {
  std::string answer;
  auto reply = call("Ping", {message});
  reply >> answer;
  return answer;
}

std::string ControlClient::version() {
  std::string answer;
  auto reply = call("GetVersion", {});
  reply >> answer;
  return answer;
}

std::string ControlClient::status() {
  std::string answer;
  auto reply = call("GetStatus", {}, kStatusInterface);
  reply >> answer;
  return answer;
}

int ControlClient::watch(int64_t volumeId, const std::string& path, std::FILE* out,
                         std::FILE* notes) {
  // Changes are taken only from the service's present owner: on a shared bus anyone could call
  // this object.
  std::string owner;
  try {
    auto daemon = sdbus::createProxy(*_connection, kBusDaemon, "/org/freedesktop/DBus");
    daemon->callMethod("GetNameOwner")
        .onInterface(kBusDaemon)
        .withArguments(std::string(kServiceBusName))
        .storeResultsTo(owner);
  } catch (const sdbus::Error& error) {
    fail("GetNameOwner", error);
  }

  // How the watch ends: 0 for a signal, 1 when the service or the bus went away.
  std::atomic<int> status{0};
  std::atomic<bool> ending{false};
  auto end = [&](int code, const char* why) {
    if (ending.exchange(true)) return;
    status = code;
    if (why) std::fprintf(notes, "zorvactl: %s\n", why);
    ::kill(::getpid(), SIGUSR1);
  };

  auto object = sdbus::createObject(*_connection, kClientObjectPath);
  sdbus::Flags oneWay;
  oneWay.set(sdbus::Flags::METHOD_NO_REPLY);
  object->registerMethod(
      kClientInterface, "Change", "s", {"path"}, "", {},
      [&](sdbus::MethodCall call) {
        if (call.getSender() != owner) {
          throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied", "not the service");
        }
        std::string changed;
        call >> changed;
        std::fprintf(out, "%s\n", changed.c_str());
        std::fflush(out);
        if (!call.doesntExpectReply()) call.createReply().send();
      },
      oneWay);
  object->finishRegistration();
  auto departure = _connection->addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0='" +
          std::string(kServiceBusName) + "'",
      [&](sdbus::Message& signal) {
        std::string name, oldOwner, newOwner;
        signal >> name >> oldOwner >> newOwner;
        if (oldOwner == owner) end(1, "the service went away; its registrations went with it");
      });

  addVolume(volumeId, path, true);
  std::fprintf(notes, "zorvactl: watching volume %lld at %s; interrupt to stop\n",
               static_cast<long long>(volumeId), path.c_str());
  std::fflush(notes);

  std::thread loop([&] {
    try {
      _connection->enterEventLoop();
    } catch (const std::exception&) {
      end(1, "the bus connection was lost");
    }
  });
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  int received = 0;
  sigwait(&signals, &received);
  if (received != SIGUSR1) ending = true;
  _connection->leaveEventLoop();
  loop.join();
  return status;
}

}  // namespace zorva
