#pragma once

#include <atomic>
#include <map>
#include <stdexcept>

#include "platform/dbus/BusTransport.h"

namespace zorva {

// A bus for tests of what sits above the transport: peers are made by the test, calls are
// delivered on the test's thread, and what the service sends to peers is recorded.
struct FakeBusTransport final : BusTransport {
  struct Peer final : BusPeer {
    Peer(std::string name, int32_t pid) : _name(std::move(name)), _pid(pid) {}
    const std::string& name() const override { return _name; }
    int32_t processId() const override { return _pid; }
    // Recorded as the method and its first argument, a string, when `result` is Sent. Read it
    // once the service's queues are idle.
    SendResult send(const std::string& method, std::vector<BusValue> args) override {
      if (result == SendResult::Sent) sent.push_back(method + " " + std::get<std::string>(args[0]));
      return result;
    }

    std::atomic<SendResult> result = SendResult::Sent;
    std::vector<std::string> sent;
    const std::string _name;
    const int32_t _pid;
  };

  // What listen() does: listen, fail to own the name, or throw.
  enum class Outcome { Listen, NameTaken, Throw };
  Outcome outcome = Outcome::Listen;

  Listening listen(const std::string& busName, const std::vector<BusObject>& exported,
                   const BusObject&, BusListenerDelegate& delegate) override {
    if (outcome == Outcome::Throw) throw std::runtime_error("no bus here");
    if (outcome == Outcome::NameTaken) return {false, busName + " has another owner"};
    _exported = exported;
    _delegate = &delegate;
    return {true, {}};
  }
  void stop() override { _delegate = nullptr; }
  bool listening() const { return _delegate != nullptr; }

  // A client's first call: the delegate accepts it (or not).
  std::shared_ptr<Peer> connect(int32_t pid) {
    auto peer = std::make_shared<Peer>(":1." + std::to_string(++_next), pid);
    _handlers[peer] = _delegate->accept(peer);
    return peer;
  }
  // Delivers a call to the first exported interface's `method`, one-way unless `wantsReply`; the
  // answer, if one was given before the handler returned, is returned.
  std::optional<BusValue> call(const std::shared_ptr<Peer>& peer, const std::string& method,
                               std::vector<BusValue> args, bool wantsReply) {
    // Shared, so a handler that keeps the reply to answer later writes nowhere it should not.
    auto answer = std::make_shared<std::optional<BusValue>>();
    BusCall call{_exported.at(0).method(method), std::move(args), peer, nullptr, &_exported[0]};
    if (wantsReply) call.reply = [answer](BusValue value) { *answer = std::move(value); };
    _handlers.at(peer)->handle(std::move(call));
    return *answer;
  }
  void interrupt(const std::shared_ptr<Peer>& peer) { _handlers.at(peer)->interrupted(); }
  // The peer leaves the bus; the transport forgets it, as a real one does.
  void invalidate(const std::shared_ptr<Peer>& peer) {
    _handlers.extract(peer).mapped()->invalidated();
  }

  std::vector<BusObject> _exported;
  BusListenerDelegate* _delegate = nullptr;
  int _next = 0;
  std::map<std::shared_ptr<BusPeer>, std::shared_ptr<BusPeerHandler>> _handlers;
};

}  // namespace zorva
