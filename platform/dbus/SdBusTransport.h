#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/dbus/BusAddress.h"
#include "platform/dbus/BusTransport.h"

namespace zorva {

// The bus transport over sdbus-c++. One connection, served by one thread of its own: calls,
// process-id answers and name-owner changes all arrive there in the bus's order, so a peer's
// calls and its departure can never be seen out of order.
//
// A peer is accepted on its first call, once the bus daemon has said which process it is (an
// asynchronous question, since a blocking one would stall every other client); its calls wait
// for that answer in order. A peer that leaves before the answer still has the calls it sent
// handled, then is invalidated.
//
// A result may be sent from any thread, after the handler has returned: sdbus-c++ serialises
// every use of the connection, and the answer keeps the connection alive until it is sent.
class SdBusTransport final : public BusTransport {
 public:
  // Calls a peer may have waiting while its process id is asked for.
  static constexpr size_t kMaxWaitingCalls = 256;

  explicit SdBusTransport(BusAddress bus);
  ~SdBusTransport() override;

  Listening listen(const std::string& busName, const std::vector<BusObject>& exported,
                   const BusObject& remote, BusListenerDelegate& delegate) override;
  void stop() override;

  // For tests and benchmarks: the connection's unique name, once listening.
  std::string uniqueName() const;

 private:
  class Peer;
  class PendingReply;
  struct Waiting {
    sdbus::MethodCall call;
    const BusObject* object;
    const BusMethod* method;
  };
  struct PeerState {
    std::shared_ptr<Peer> peer;
    std::shared_ptr<BusPeerHandler> handler;
    std::deque<Waiting> waiting;
    bool resolving = true;
    bool gone = false;
  };

  void receive(sdbus::MethodCall call, const BusObject* object, const BusMethod* method);
  void resolved(const std::string& sender, sdbus::MethodReply& reply, const sdbus::Error* error);
  void deliver(PeerState& state, const sdbus::MethodCall& call, const BusObject& object,
               const BusMethod& method);
  const BusObject* exportedInterface(const std::string& path, const std::string& name) const;
  void nameOwnerChanged(sdbus::Message& signal);
  void screen(sdbus::Message& message);
  void runLoop();
  void release();

  const BusAddress _bus;
  std::vector<BusObject> _exported;
  BusObject _remote;
  BusListenerDelegate* _delegate = nullptr;
  std::shared_ptr<sdbus::IConnection> _connection;
  std::unique_ptr<sdbus::IProxy> _busDaemon;
  std::vector<std::unique_ptr<sdbus::IObject>> _objects;  // one for each exported path
  sdbus::Slot _nameWatch;
  std::vector<sdbus::Slot> _callScreens;  // one for each exported interface
  std::thread _loop;
  std::atomic<bool> _stopping{false};
  std::once_flag _stopOnce;
  std::unordered_map<std::string, PeerState> _peers;  // on the loop thread only
};

}  // namespace zorva
