#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/ZorvaProtocol.h"
#include "platform/dbus/BusAddress.h"
#include "platform/dbus/BusTransport.h"

namespace zorva {

// The client application's end of the control interface: calls the service's methods and, for
// watching, exports ZorvaClientXPCProtocol. Failures are thrown as ClientError.
class ControlClient {
 public:
  struct ClientError : std::runtime_error {
    enum class Kind { Unreachable, Refused };
    ClientError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
    Kind kind;
  };

  explicit ControlClient(const BusAddress& bus);

  // Each waits for the service's answer, so success means the service took the request.
  void saveDeviceToken(const std::string& token);
  void addVolume(int64_t volumeId, const std::string& path, bool notifyEnabled);
  bool isRunning();
  std::string ping(const std::string& message);
  std::string version();
  // The service's status: one JSON object, as the service sent it.
  std::string status();

  // Registers the volume with notifications and writes each changed path to `out` on a line of
  // its own, until SIGINT or SIGTERM (status 0) or until the service or the bus goes away
  // (ClientError). Block those signals before any thread starts.
  int watch(int64_t volumeId, const std::string& path, std::FILE* out, std::FILE* notes);

 private:
  sdbus::MethodReply call(const std::string& method, const std::vector<BusValue>& args,
                          const char* interface = kServerInterface);
  [[noreturn]] void fail(const std::string& method, const sdbus::Error& error) const;

  BusAddress _bus;
  std::unique_ptr<sdbus::IConnection> _connection;
  std::unique_ptr<sdbus::IProxy> _service;
};

}  // namespace zorva
