#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "control/ControlTargets.h"
#include "platform/dbus/BusTransport.h"
#include "platform/dispatch/SerialQueue.h"
#include "tracking/TrackerSinks.h"

namespace zorva {

// The service's one control endpoint: it owns the service's bus name, accepts every client
// connection with a fresh ZorvaServerXPCObject, and keeps the volume dictionary, for each volume
// identifier the one connection to tell of changes under that volume.
//
// The dictionary lives on _queue ("com.zorva.xpcQueue"): registrations, removals and
// notifications are queued there from whatever thread calls, and applied in call order.
class XPCServer final : public ChangeNotifier, public BusListenerDelegate {
 public:
  struct Dependencies {
    BusTransport& transport;
    DeviceTokenHolder& deviceApi;
    VolumeRegistrar& tracker;
    Clock& clock;
    std::optional<std::string> version;  // the same for every connection, for good
    // Answers com.zorva.Status1; without one, that interface is not exported.
    StatusSource* status = nullptr;
  };

  explicit XPCServer(Dependencies dependencies);
  // Stops the transport first, so no handler can reach a server being destroyed.
  ~XPCServer() override;

  // Starts listening. Failures are logged; the service then goes on without a control interface.
  void start();

  std::shared_ptr<BusPeerHandler> accept(const std::shared_ptr<BusPeer>& connection) override;
  // What the transport dealt with on its own, logged.
  void connectionLost(const std::string& reason) override;
  void callRefused(const std::string& method, const std::string& peer,
                   const std::string& why) override;
  void callFailed(const std::string& method, const std::string& why) override;
  void acceptFailed(const std::string& peer, const std::string& why) override;
  void processIdUnknown(const std::string& peer, const std::string& why, bool peerLeft) override;
  void departureUnreadable(const std::string& why) override;

  void trackVolume(int64_t volumeId, std::shared_ptr<BusPeer> connection);
  // Removes every entry held by this very connection; a null connection matches none.
  void removeConnection(std::shared_ptr<BusPeer> connection);
  // Sends Change with the path to the connection registered for the volume, if any.
  void pathModified(const std::string& path, int64_t volumeId) override;

  // For tests and diagnostics: each volume identifier with its connection's bus name, read on
  // _queue. Not for use from a queue.
  std::map<int64_t, std::string> volumeConnections();
  // The same, handed to `done` on _queue; returns at once.
  void volumeConnections(std::function<void(std::map<int64_t, std::string>)> done);

 private:
  Dependencies _dependencies;
  bool _listening = false;
  // Declared before the queue, so work the queue runs while it is destroyed still finds it.
  std::map<int64_t, std::shared_ptr<BusPeer>> _volumeDict;  // on _queue only
  SerialQueue _queue;
};

}  // namespace zorva
