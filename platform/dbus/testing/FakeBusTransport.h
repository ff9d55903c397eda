#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
  class Peer final : public BusPeer {
   public:
    Peer(std::string name, int32_t pid) : name_(std::move(name)), pid_(pid) {}
    const std::string& name() const override { return name_; }
    int32_t processId() const override { return pid_; }
    // Recorded as the method and its string arguments, when `result` is Sent.
    SendResult send(const std::string& method, std::vector<BusValue> args) override {
      std::string text = method;
      for (const BusValue& arg : args) {
        if (const auto* string = std::get_if<std::string>(&arg)) text += " " + *string;
      }
      std::lock_guard lock(mutex_);
      if (result == SendResult::Sent) sent_.push_back(std::move(text));
      return result;
    }
    std::vector<std::string> sent() const {
      std::lock_guard lock(mutex_);
      return sent_;
    }

    std::atomic<SendResult> result = SendResult::Sent;

   private:
    const std::string name_;
    const int32_t pid_;
    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
  };

  // What listen() does: listen, fail to own the name, or throw.
  enum class Outcome { Listen, NameTaken, Throw };
  Outcome outcome = Outcome::Listen;

  Listening listen(const std::string& busName, const std::vector<BusObject>& exported,
                   const BusObject&, BusListenerDelegate& delegate) override {
    if (outcome == Outcome::Throw) throw std::runtime_error("no bus here");
    if (outcome == Outcome::NameTaken) return {false, busName + " has another owner"};
    exported_ = exported;
    delegate_ = &delegate;
    return {true, {}};
  }
  void stop() override { delegate_ = nullptr; }
  bool listening() const { return delegate_ != nullptr; }

  // A client's first call: the delegate accepts it (or not).
  std::shared_ptr<Peer> connect(int32_t pid) {
    auto peer = std::make_shared<Peer>(":1." + std::to_string(++next_), pid);
    handlers_[peer] = delegate_->accept(peer);
    return peer;
  }

  // Delivers a call to the first exported interface that has `method`. Without `wantsReply` it
  // is a one-way call; the answer, if one was given before the handler returned, is returned.
  std::optional<BusValue> call(const std::shared_ptr<Peer>& peer, const std::string& method,
                               std::vector<BusValue> args, bool wantsReply = true) {
    // Shared, so a handler that keeps the reply to answer later writes nowhere it should not.
    auto answer = std::make_shared<std::optional<BusValue>>();
    BusCall busCall{nullptr, std::move(args), peer, nullptr, nullptr};
    for (const BusObject& object : exported_) {
      busCall.object = &object;
      if ((busCall.method = object.method(method))) break;
    }
    if (!busCall.method) throw std::invalid_argument("no method " + method);
    if (wantsReply) busCall.reply = [answer](BusValue value) { *answer = std::move(value); };
    handlers_.at(peer)->handle(std::move(busCall));
    return *answer;
  }

  void interrupt(const std::shared_ptr<Peer>& peer) { handlers_.at(peer)->interrupted(); }
  // The peer leaves the bus; the transport forgets it, as a real one does.
  void invalidate(const std::shared_ptr<Peer>& peer) {
    std::shared_ptr<BusPeerHandler> handler = std::move(handlers_.at(peer));
    handlers_.erase(peer);
    handler->invalidated();
  }

 private:
  std::vector<BusObject> exported_;
  BusListenerDelegate* delegate_ = nullptr;
  int next_ = 0;
  std::map<std::shared_ptr<BusPeer>, std::shared_ptr<BusPeerHandler>> handlers_;
};

}  // namespace zorva
