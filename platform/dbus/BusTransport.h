#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zorva {

// The argument and result types the control protocols carry: D-Bus b, x and s.
using BusValue = std::variant<bool, int64_t, std::string>;

// The longest string argument taken from a client, unless its method says otherwise. Paths are the
// longest legitimate arguments (PATH_MAX), and every argument may end up in a log line that also
// reaches the analytics service.
inline constexpr size_t kMaxBusStringBytes = 4096;

struct BusMethod {
  std::string name;
  std::string inSignature;  // made of b, x and s only
  std::vector<std::string> inNames;
  std::string outSignature;  // empty, or one of b, x and s
  std::string outName;
  bool noReply = false;  // annotated: callers are expected to send it one-way
  // Its strings are taken at whatever length the bus delivers: for a method that must answer
  // every call and neither keeps nor logs its strings whole.
  bool anyLength = false;
};

// An object a program exports, or the object it calls on its peers: one interface at one path.
struct BusObject {
  std::string path;
  std::string interface;
  std::vector<BusMethod> methods;

  const BusMethod* method(const std::string& name) const {
    for (const BusMethod& candidate : methods) {
      if (candidate.name == name) return &candidate;
    }
    return nullptr;
  }
};

// One client of the exported object: a unique bus name, which is a connection in the sense of the
// control protocols. It lives as long as anything holds it; comparing pointers compares
// connections.
class BusPeer {
 public:
  enum class SendResult { Sent, Unencodable, Failed };

  virtual ~BusPeer() = default;
  virtual const std::string& name() const = 0;
  // As the bus daemon recorded it; 0 when the peer left before it could be asked.
  virtual int32_t processId() const = 0;
  // Calls `method` of the peer's object one-way (no reply expected, none waited for). Callable
  // from any thread; never blocks on the peer.
  virtual SendResult send(const std::string& method, std::vector<BusValue> args) = 0;
};

// One call as the exported object receives it. Its arguments match the method's signature, are
// UTF-8 and, unless the method is anyLength, are no longer than kMaxBusStringBytes.
struct BusCall {
  const BusMethod* method = nullptr;
  std::vector<BusValue> args;
  std::shared_ptr<BusPeer> caller;  // the current connection, for the length of the call
  // Sends the result back. Empty when the caller sent the call with the no-reply flag, or when the
  // method has no result (the transport then answers a caller that waits). Call it at most once,
  // from any thread, before handle() returns or later: a result that must be gathered elsewhere
  // is sent when it is ready, and the delivery thread goes on meanwhile. Once every copy is gone
  // unanswered, the caller is sent an error, so no caller is left waiting for good.
  std::function<void(BusValue)> reply;
  const BusObject* object = nullptr;  // the exported interface the call came in on
};

// What the listener's delegate sets up on each accepted peer: the exported object and the peer's
// interruption and invalidation handlers.
class BusPeerHandler {
 public:
  virtual ~BusPeerHandler() = default;
  virtual void handle(BusCall call) = 0;
  // The bus connection broke; the peer may come back under the same identity.
  virtual void interrupted() = 0;
  // The peer left the bus for good; no call of it follows.
  virtual void invalidated() = 0;
};

// The listener's delegate: it sets up each accepted peer, and hears of whatever the transport met
// and dealt with on its own, which only the layer above knows how to word.
class BusListenerDelegate {
 public:
  virtual ~BusListenerDelegate() = default;
  // A new peer, once its process id is known and before any of its calls is handled. A null
  // handler refuses the peer: its calls are answered with an access error.
  virtual std::shared_ptr<BusPeerHandler> accept(const std::shared_ptr<BusPeer>& peer) = 0;

  // The bus went away; every accepted peer is interrupted next.
  virtual void connectionLost(const std::string& reason) = 0;
  // A call dropped before any handler saw it: a wrong signature, an unknown method, a bad string.
  // A caller that waits is sent the error as well; a one-way caller learns nothing.
  virtual void callRefused(const std::string& method, const std::string& peer,
                           const std::string& why) = 0;
  // A call broke with an exception; a caller that waits is sent an error.
  virtual void callFailed(const std::string& method, const std::string& why) = 0;
  // accept() threw: the peer is refused.
  virtual void acceptFailed(const std::string& peer, const std::string& why) = 0;
  // The bus daemon could not say which process the peer is; it is accepted with process id 0.
  // `peerLeft`: it had left the bus already, as a one-way caller may, which is no fault.
  virtual void processIdUnknown(const std::string& peer, const std::string& why, bool peerLeft) = 0;
  // A peer's departure could not be read off the bus daemon's notice.
  virtual void departureUnreadable(const std::string& why) = 0;
};

// The service's end of the bus. Calls of one peer are delivered one at a time in the order sent;
// handlers and the delegate all run on the transport's one delivery thread, so a handler must
// never block.
class BusTransport {
 public:
  struct Listening {
    bool listening = false;
    std::string reason;  // why the name could not be owned
  };

  virtual ~BusTransport() = default;
  // Connects, exports each interface of `exported` (several may share a path), owns `busName`
  // and starts delivering. Returns without listening when the name cannot be owned; throws
  // std::exception when the bus cannot be used at all. `remote` is the object that BusPeer::send
  // calls on each peer.
  virtual Listening listen(const std::string& busName, const std::vector<BusObject>& exported,
                           const BusObject& remote, BusListenerDelegate& delegate) = 0;
  // Stops delivering: when it returns, no delegate or handler is running or will run.
  virtual void stop() = 0;
};

}  // namespace zorva
