#include "control/XPCServer.h"

#include <vector>

#include "control/ZorvaProtocol.h"
#include "control/ZorvaServerXPCObject.h"
#include "platform/log/Log.h"

namespace zorva {

namespace {

// What one accepted connection is set up with: the exported object and the connection's
// interruption and invalidation handlers.
class ConnectionHandlers final : public BusPeerHandler {
 public:
  ConnectionHandlers(const ZorvaServerXPCObject::Dependencies& dependencies, StatusSource* status,
                     const std::shared_ptr<BusPeer>& connection)
      : _object(dependencies),
        _status(status),
        _server(dependencies.server),
        _connection(connection) {}

  void handle(BusCall call) override {
    if (call.object && call.object->interface == kStatusInterface) {
      getStatus(std::move(call.reply));
      return;
    }
    _object.handle(std::move(call));
  }

  void interrupted() override {
    // An interrupted connection keeps its entries: the client may still be told of changes.
    ZorvaLog("interruptionHandler");
  }

  // Answered once every subsystem has given its figures, on its own queue: the reply travels with
  // the request and is sent from wherever the gathering ends.
  void getStatus(std::function<void(BusValue)> reply) {
    if (!reply) {
      ZorvaError(FaultKind::Client, "XPC: getStatus: NO callback");
      return;
    }
    _status->gather([reply = std::move(reply)](std::string json) { reply(std::move(json)); });
  }

  void invalidated() override {
    ZorvaLog("invalidationHandler");
    // The handler does not keep the connection alive; if nothing else does, there is no entry
    // to remove and the server is handed nothing.
    _server.removeConnection(_connection.lock());
  }

 private:
  ZorvaServerXPCObject _object;
  StatusSource* const _status;
  XPCServer& _server;
  std::weak_ptr<BusPeer> _connection;
};

}  // namespace

XPCServer::XPCServer(Dependencies dependencies)
    : _dependencies(std::move(dependencies)), _queue("com.zorva.xpcQueue", _dependencies.clock) {
  ZorvaLog("XPCServer: init done");
}

XPCServer::~XPCServer() { _dependencies.transport.stop(); }

void XPCServer::start() {
  try {
    std::vector<BusObject> exported = {serverProtocol()};
    if (_dependencies.status) exported.push_back(statusProtocol());
    BusTransport::Listening listening =
        _dependencies.transport.listen(kServiceBusName, exported, clientProtocol(), *this);
    _listening = listening.listening;
    if (_listening) {
      ZorvaLog("XPC: listening");
      return;
    }
    ZorvaError(FaultKind::Bus, "XPC: cannot own %s: %@", kServiceBusName, listening.reason);
    ZorvaError(FaultKind::Bus, "XPC: no listener");
  } catch (const std::exception& error) {
    // An unreachable bus ends here; it leaves the service without a listener all the same.
    ZorvaError(FaultKind::Bus, "XPC: threw: %@, %@", error.what(), exceptionDescription(error));
    ZorvaError(FaultKind::Bus, "XPC: no listener");
  }
}

std::shared_ptr<BusPeerHandler> XPCServer::accept(const std::shared_ptr<BusPeer>& connection) {
  ZorvaLog("XPC: new connection %d", connection->processId());
  auto handlers = std::make_shared<ConnectionHandlers>(
      ZorvaServerXPCObject::Dependencies{_dependencies.deviceApi, _dependencies.tracker, *this,
                                         _dependencies.version},
      _dependencies.status, connection);
  ZorvaLog("XPC: accepting connection %d", connection->processId());
  return handlers;
}

void XPCServer::connectionLost(const std::string& reason) {
  ZorvaError(FaultKind::Bus, "XPC: bus connection lost: %@", reason);
}

void XPCServer::callRefused(const std::string& method, const std::string& peer,
                            const std::string& why) {
  ZorvaError(FaultKind::Client, "XPC: refused %@ from %@: %@", method, peer, why);
}

void XPCServer::callFailed(const std::string& method, const std::string& why) {
  ZorvaError(FaultKind::Bus, "XPC: %@ failed: %@", method, why);
}

void XPCServer::acceptFailed(const std::string& peer, const std::string& why) {
  ZorvaError(FaultKind::Bus, "XPC: accepting %@ failed: %@", peer, why);
}

void XPCServer::processIdUnknown(const std::string& peer, const std::string& why, bool peerLeft) {
  if (peerLeft) {
    ZorvaLog("XPC: no process id for %@: %@", peer, why);
  } else {
    ZorvaError(FaultKind::Bus, "XPC: no process id for %@: %@", peer, why);
  }
}

void XPCServer::departureUnreadable(const std::string& why) {
  ZorvaError(FaultKind::Bus, "XPC: NameOwnerChanged: %@", why);
}

void XPCServer::trackVolume(int64_t volumeId, std::shared_ptr<BusPeer> connection) {
  _queue.async([this, volumeId, connection = std::move(connection)]() mutable {
    _volumeDict[volumeId] = std::move(connection);
  });
}

void XPCServer::removeConnection(std::shared_ptr<BusPeer> connection) {
  _queue.async([this, connection = std::move(connection)] {
    if (!connection) return;
    // Collected first and removed afterwards, so the dictionary is not changed while walked.
    std::vector<int64_t> found;
    for (const auto& [volumeId, held] : _volumeDict) {
      if (held == connection) found.push_back(volumeId);
    }
    for (int64_t volumeId : found) _volumeDict.erase(volumeId);
  });
}

void XPCServer::pathModified(const std::string& path, int64_t volumeId) {
  _queue.async([this, path, volumeId] {
    auto entry = _volumeDict.find(volumeId);
    if (entry == _volumeDict.end()) return;
    // One-way: a client that is gone loses the notification, and its invalidation cleans up.
    if (entry->second->send("Change", {path}) == BusPeer::SendResult::Unencodable) {
      // A Linux path may be any bytes, but a bus string must be UTF-8.
      ZorvaError(FaultKind::Client, "XPC: change for volume %ld not sent: the path is not UTF-8",
                 volumeId);
    }
  });
}

void XPCServer::volumeConnections(std::function<void(std::map<int64_t, std::string>)> done) {
  _queue.async([this, done = std::move(done)] {
    std::map<int64_t, std::string> out;
    for (const auto& [volumeId, connection] : _volumeDict) out[volumeId] = connection->name();
    done(std::move(out));
  });
}

std::map<int64_t, std::string> XPCServer::volumeConnections() {
  std::map<int64_t, std::string> out;
  _queue.sync([&] {
    for (const auto& [volumeId, connection] : _volumeDict) out[volumeId] = connection->name();
  });
  return out;
}

}  // namespace zorva
