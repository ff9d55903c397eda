#pragma once

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/dbus/BusTransport.h"

namespace zorva {

// A bus for tests of what sits above the transport: peers are made by the test, calls are
// delivered on the test's thread, and what the service sends to peers is recorded.
class FakeBusTransport final : public BusTransport {
 public:
  struct Sent {
    std::string method;
    std::vector<BusValue> args;
  };

  class Peer final : public BusPeer {
   public:
    Peer(std::string name, int32_t pid) : name_(std::move(name)), pid_(pid) {}
    const std::string& name() const override { return name_; }
    int32_t processId() const override { return pid_; }
    SendResult send(const std::string& method, std::vector<BusValue> args) override {
      std::lock_guard lock(mutex_);
      if (result_ == SendResult::Sent) sent_.push_back({method, std::move(args)});
      return result_;
    }

    std::vector<Sent> sent() const {
      std::lock_guard lock(mutex_);
      return sent_;
    }
    void failSendsWith(SendResult result) {
      std::lock_guard lock(mutex_);
      result_ = result;
    }

   private:
    const std::string name_;
    const int32_t pid_;
    mutable std::mutex mutex_;
    std::vector<Sent> sent_;
    SendResult result_ = SendResult::Sent;
  };

  // What listen() does: listen, fail to own the name, or throw.
  enum class Outcome { Listen, NameTaken, Throw };
  void willListen(Outcome outcome) { outcome_ = outcome; }

  Listening listen(const std::string& busName, const std::vector<BusObject>& exported,
                   const BusObject&, BusListenerDelegate& delegate) override {
    if (outcome_ == Outcome::Throw) throw std::runtime_error("no bus here");
    if (outcome_ == Outcome::NameTaken) return {false, busName + " has another owner"};
    exported_ = exported;
    delegate_ = &delegate;
    return {true, {}};
  }
  void stop() override { delegate_ = nullptr; }

  bool listening() const { return delegate_ != nullptr; }

  // A client's first call: the delegate accepts it (or not).
  std::shared_ptr<Peer> connect(int32_t pid) {
    auto peer = std::make_shared<Peer>(":1." + std::to_string(++next_), pid);
    handlers_.emplace_back(peer, delegate_->accept(peer));
    return peer;
  }

  // Delivers a call to the first exported interface that has `method`. Without `wantsReply` it
  // is a one-way call; the answer, if one was given before the handler returned, is returned.
  std::optional<BusValue> call(const std::shared_ptr<Peer>& peer, const std::string& method,
                               std::vector<BusValue> args, bool wantsReply = true) {
    auto answer = std::make_shared<std::optional<BusValue>>();
    BusCall busCall{nullptr, std::move(args), peer, nullptr, nullptr};
    for (const BusObject& object : exported_) {
      busCall.method = object.method(method);
      busCall.object = &object;
      if (busCall.method) break;
    }
    if (!busCall.method) throw std::invalid_argument("no method " + method);
    // Shared, so a handler that keeps the reply to answer later writes nowhere it should not.
    if (wantsReply) busCall.reply = [answer](BusValue value) { *answer = std::move(value); };
    handlerOf(peer)->handle(std::move(busCall));
    return *answer;
  }

  void interrupt(const std::shared_ptr<Peer>& peer) { handlerOf(peer)->interrupted(); }

  // The peer leaves the bus; the transport forgets it, as a real one does.
  void invalidate(const std::shared_ptr<Peer>& peer) {
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
      if (it->first != peer) continue;
      std::shared_ptr<BusPeerHandler> handler = std::move(it->second);
      handlers_.erase(it);
      if (handler) handler->invalidated();
      return;
    }
  }

 private:
  BusPeerHandler* handlerOf(const std::shared_ptr<Peer>& peer) {
    for (auto& [known, handler] : handlers_) {
      if (known == peer && handler) return handler.get();
    }
    throw std::logic_error("peer not accepted");
  }

  Outcome outcome_ = Outcome::Listen;
  std::vector<BusObject> exported_;
  BusListenerDelegate* delegate_ = nullptr;
  int next_ = 0;
  std::vector<std::pair<std::shared_ptr<Peer>, std::shared_ptr<BusPeerHandler>>> handlers_;
};

}  // namespace zorva
