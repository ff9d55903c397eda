#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "control/ControlTargets.h"
#include "platform/dbus/BusTransport.h"

namespace zorva {

class XPCServer;

// The object the service exports on every connection: it serves ZorvaServerXPCProtocol by
// handing each request to the backend client, the tracker or the server. A reply callback is
// empty when the caller wants no reply; it is called at most once, before the method returns.
class ZorvaServerXPCObject {
 public:
  struct Dependencies {
    DeviceTokenHolder& deviceApi;
    VolumeRegistrar& tracker;
    XPCServer& server;
    const std::optional<std::string>& version;
  };

  explicit ZorvaServerXPCObject(const Dependencies& dependencies) : _dependencies(dependencies) {}

  // Decodes one call of the protocol and runs its method.
  void handle(BusCall call);

  void saveDeviceToken(std::string token);
  // `currentConnection` is the connection the request arrived on.
  void addVolume(int64_t volumeId, const std::string& path, bool notifyEnabled,
                 const std::shared_ptr<BusPeer>& currentConnection);
  void isRunning(const std::function<void(bool)>& reply) const;
  void ping(const std::string& message, const std::function<void(std::string)>& reply);
  void getVersion(const std::function<void(std::string)>& reply);

 private:
  Dependencies _dependencies;
};

}  // namespace zorva
