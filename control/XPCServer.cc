#include "control/XPCServer.h"

#include <vector>

#include "control/ZorvaProtocol.h"
#include "control/ZorvaServerXPCObject.h"
#include "service/Log.h"

namespace zorva {

namespace {

// What one accepted connection is set up with: the exported object and the connection's
// interruption and invalidation handlers.
class ConnectionHandlers final : public BusPeerHandler {
 public:
  ConnectionHandlers(const ZorvaServerXPCObject::Dependencies& dependencies,
                     const std::shared_ptr<BusPeer>& connection)
      : object_(dependencies), server_(dependencies.server), connection_(connection) {}

  void handle(BusCall call) override { object_.handle(std::move(call)); }

  void interrupted() override {
    // An interrupted connection keeps its entries: the client may still be told of changes.
    ZorvaLog("interruptionHandler");
  }

  void invalidated() override {
    ZorvaLog("invalidationHandler");
    // The handler does not keep the connection alive; if nothing else does, there is no entry
    // to remove and the server is handed nothing.
    server_.removeConnection(connection_.lock());
  }

 private:
  ZorvaServerXPCObject object_;
  XPCServer& server_;
  std::weak_ptr<BusPeer> connection_;
};

}  // namespace

XPCServer::XPCServer(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), _queue("com.zorva.xpcQueue", dependencies_.clock) {
  ZorvaLog("XPCServer: init done");
}

XPCServer::~XPCServer() { dependencies_.transport.stop(); }

void XPCServer::start() {
  try {
    BusTransport::Listening listening =
        dependencies_.transport.listen(kServiceBusName, serverProtocol(), clientProtocol(), *this);
    _listening = listening.listening;
    if (_listening) {
      ZorvaLog("XPC: listening");
      return;
    }
    ZorvaError("XPC: cannot own %s: %@", kServiceBusName, listening.reason);
    ZorvaError("XPC: no listener");
  } catch (const std::exception& error) {
    // An unreachable bus ends here; it leaves the service without a listener all the same.
    ZorvaError("XPC: threw: %@, %@", error.what(), exceptionDescription(error));
    ZorvaError("XPC: no listener");
  }
}

std::shared_ptr<BusPeerHandler> XPCServer::accept(const std::shared_ptr<BusPeer>& connection) {
  ZorvaLog("XPC: new connection %d", connection->processId());
  auto handlers = std::make_shared<ConnectionHandlers>(
      ZorvaServerXPCObject::Dependencies{dependencies_.deviceApi, dependencies_.tracker, *this,
                                         dependencies_.version},
      connection);
  ZorvaLog("XPC: accepting connection %d", connection->processId());
  return handlers;
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
      ZorvaError("XPC: change for volume %ld not sent: the path is not UTF-8", volumeId);
    }
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
