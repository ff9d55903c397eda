#include "platform/dbus/SdBusTransport.h"

#include <map>
#include <utility>

#include "platform/dbus/SdBusConnect.h"
#include "platform/log/Log.h"
#include "platform/text/Utf8.h"

namespace zorva {

namespace {

constexpr const char* kBusDaemon = "org.freedesktop.DBus";
constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kFailed = "org.freedesktop.DBus.Error.Failed";
constexpr const char* kNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

// Reads one element of any type, to get past it: sdbus-c++ has no way to skip one.
void skipElement(sdbus::Message& message, char type, const std::string& contents);

// Reads every element up to the end of the message or of the container entered last.
void skipElements(sdbus::Message& message) {
  std::string type, contents;
  for (message.peekType(type, contents); type[0] != '\0'; message.peekType(type, contents)) {
    skipElement(message, type[0], contents);
  }
}

template <class T>
void skipValue(sdbus::Message& message) {
  T value;
  message >> value;
}

void skipElement(sdbus::Message& message, char type, const std::string& contents) {
  switch (type) {
    case 'a':
      message.enterContainer(contents);
      skipElements(message);
      message.exitContainer();
      return;
    case 'r':
      message.enterStruct(contents);
      skipElements(message);
      message.exitStruct();
      return;
    case 'e':
      message.enterDictEntry(contents);
      skipElements(message);
      message.exitDictEntry();
      return;
    case 'v':
      message.enterVariant(contents);
      skipElements(message);
      message.exitVariant();
      return;
    case 'y':
      return skipValue<uint8_t>(message);
    case 'b':
      return skipValue<bool>(message);
    case 'n':
      return skipValue<int16_t>(message);
    case 'q':
      return skipValue<uint16_t>(message);
    case 'i':
      return skipValue<int32_t>(message);
    case 'u':
      return skipValue<uint32_t>(message);
    case 'x':
      return skipValue<int64_t>(message);
    case 't':
      return skipValue<uint64_t>(message);
    case 'd':
      return skipValue<double>(message);
    case 'o':
      return skipValue<sdbus::ObjectPath>(message);
    case 'g':
      return skipValue<sdbus::Signature>(message);
    case 'h':
      return skipValue<sdbus::UnixFd>(message);
    default:  // a string, read in place rather than copied
      return skipValue<char*>(message);
  }
}

// A message's signature, read off its arguments, since sdbus-c++ shows no header field but the
// names; it costs as much as reading the message. Leaves the message read through.
std::string signatureOf(sdbus::Message& message) {
  std::string signature, type, contents;
  for (message.peekType(type, contents); type[0] != '\0'; message.peekType(type, contents)) {
    if (type[0] == 'a') {
      signature += "a" + contents;
    } else if (type[0] == 'r') {
      signature += "(" + contents + ")";
    } else {
      signature += type[0];
    }
    skipElement(message, type[0], contents);
  }
  return signature;
}

// Sends an error back when the caller waits for an answer; a one-way caller gets nothing.
void refuse(const sdbus::MethodCall& call, const char* name, const std::string& message) {
  if (call.doesntExpectReply()) return;
  try {
    call.createErrorReply(sdbus::Error(name, message)).send();
  } catch (const std::exception&) {
    // The caller may already be gone; there is nobody left to tell.
  }
}

// Reads the arguments the method's signature names, checking what sd-bus does not: length. An
// empty result is success; otherwise it says what is wrong, for the caller.
std::string readArguments(sdbus::MethodCall& call, const BusMethod& method,
                          std::vector<BusValue>& args) {
  try {
    for (char type : method.inSignature) {
      if (type == 'b') {
        bool value = false;
        call >> value;
        args.emplace_back(value);
      } else if (type == 'x') {
        int64_t value = 0;
        call >> value;
        args.emplace_back(value);
      } else {
        std::string value;
        call >> value;
        if (!isValidUtf8(value)) return "a string argument is not UTF-8";
        if (!method.anyLength && value.size() > kMaxBusStringBytes) {
          return "a string argument is longer than " + std::to_string(kMaxBusStringBytes) +
                 " bytes";
        }
        args.emplace_back(std::move(value));
      }
    }
  } catch (const sdbus::Error& error) {
    return "the arguments cannot be read: " + error.getMessage();
  }
  return {};
}

template <class Out>
void append(Out& message, const BusValue& value) {
  std::visit([&](const auto& v) { message << v; }, value);
}

}  // namespace

class SdBusTransport::Peer final : public BusPeer {
 public:
  Peer(std::shared_ptr<sdbus::IConnection> connection, std::string name, const BusObject& remote)
      : _connection(std::move(connection)),
        _name(std::move(name)),
        _interface(remote.interface),
        _proxy(sdbus::createProxy(*_connection, _name, remote.path)) {}

  const std::string& name() const override { return _name; }
  int32_t processId() const override { return _processId.load(std::memory_order_acquire); }
  void setProcessId(int32_t pid) { _processId.store(pid, std::memory_order_release); }

  SendResult send(const std::string& method, std::vector<BusValue> args) override {
    for (const BusValue& arg : args) {
      const auto* text = std::get_if<std::string>(&arg);
      if (text && !isValidUtf8(*text)) return SendResult::Unencodable;
    }
    try {
      sdbus::MethodCall call = _proxy->createMethodCall(_interface, method);
      for (const BusValue& arg : args) append(call, arg);
      // One-way: the send returns once the message is queued, whatever the peer does.
      call.dontExpectReply();
      _proxy->callMethod(call);
      return SendResult::Sent;
    } catch (const std::exception&) {
      return SendResult::Failed;
    }
  }

 private:
  // Shared, so a peer still held after the transport has stopped never refers to a dead
  // connection.
  std::shared_ptr<sdbus::IConnection> _connection;
  const std::string _name;
  const std::string _interface;
  std::unique_ptr<sdbus::IProxy> _proxy;
  std::atomic<int32_t> _processId{0};
};

// The answer to one call that waits for a result. Whoever holds it may answer from any thread, at
// most once; when the last holder lets go without answering, the caller is told so.
class SdBusTransport::PendingReply {
 public:
  PendingReply(std::shared_ptr<sdbus::IConnection> connection, sdbus::MethodCall call)
      : _connection(std::move(connection)), _call(std::move(call)) {}
  ~PendingReply() { fail("the service gave no answer"); }
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  void answer(const BusValue& value) {
    if (_answered.exchange(true)) return;
    try {
      sdbus::MethodReply reply = _call.createReply();
      append(reply, value);
      reply.send();
    } catch (const std::exception&) {
      // The caller may already be gone, and this may run on any queue: nothing to unwind.
    }
  }
  void fail(const std::string& why) {
    if (!_answered.exchange(true)) refuse(_call, kFailed, why);
  }

 private:
  // Declared first, so the call's message, which refers to the connection, goes before it.
  std::shared_ptr<sdbus::IConnection> _connection;
  sdbus::MethodCall _call;
  std::atomic<bool> _answered{false};
};

SdBusTransport::SdBusTransport(BusAddress bus) : _bus(std::move(bus)) {}

SdBusTransport::~SdBusTransport() { stop(); }

std::string SdBusTransport::uniqueName() const {
  return _connection ? _connection->getUniqueName() : std::string();
}

BusTransport::Listening SdBusTransport::listen(const std::string& busName,
                                               const std::vector<BusObject>& exported,
                                               const BusObject& remote,
                                               BusListenerDelegate& delegate) {
  _exported = exported;
  _remote = remote;
  _delegate = &delegate;
  _connection = connectToBus(_bus);
  _busDaemon = sdbus::createProxy(*_connection, kBusDaemon, "/org/freedesktop/DBus");

  // Departures are watched before anything is exported, so no peer can leave unseen. Only
  // names losing their owner matter (arg2 is the new owner).
  _nameWatch = _connection->addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg2=''",
      [this](sdbus::Message& signal) { nameOwnerChanged(signal); });
  std::map<std::string, sdbus::IObject*> byPath;
  for (const BusObject& object : _exported) {
    _callScreens.push_back(
        _connection->addMatch("type='method_call',interface='" + object.interface + "'",
                              [this](sdbus::Message& message) { screen(message); }));
    sdbus::IObject*& exportedObject = byPath[object.path];
    if (!exportedObject) {
      _objects.push_back(sdbus::createObject(*_connection, object.path));
      exportedObject = _objects.back().get();
    }
    for (const BusMethod& method : object.methods) {
      sdbus::Flags flags;
      if (method.noReply) flags.set(sdbus::Flags::METHOD_NO_REPLY);
      std::vector<std::string> outNames;
      if (!method.outSignature.empty()) outNames.push_back(method.outName);
      const BusMethod* described = object.method(method.name);
      exportedObject->registerMethod(
          object.interface, method.name, method.inSignature, method.inNames, method.outSignature,
          outNames,
          [this, interface = &object, described](sdbus::MethodCall call) {
            receive(std::move(call), interface, described);
          },
          flags);
    }
  }
  for (const auto& object : _objects) object->finishRegistration();

  try {
    _connection->requestName(busName);
  } catch (const sdbus::Error& error) {
    Listening result{false, error.getMessage().empty() ? error.getName() : error.getMessage()};
    release();
    return result;
  }
  _loop = std::thread([this] { runLoop(); });
  return {true, {}};
}

void SdBusTransport::stop() {
  std::call_once(_stopOnce, [this] {
    _stopping.store(true);
    if (_connection) _connection->leaveEventLoop();
    if (_loop.joinable()) _loop.join();
    release();
  });
}

void SdBusTransport::release() {
  _peers.clear();
  _nameWatch.reset();
  _callScreens.clear();
  _objects.clear();
  _busDaemon.reset();
  _connection.reset();
}

void SdBusTransport::runLoop() {
  std::string reason = "the event loop ended";
  try {
    _connection->enterEventLoop();
  } catch (const std::exception& error) {
    reason = error.what();
  }
  if (_stopping.load()) return;
  // The bus went away under us: every peer is cut off, but keeps its registrations, as an
  // interrupted connection does.
  _delegate->connectionLost(reason);
  for (auto& [name, state] : _peers) {
    if (state.handler) state.handler->interrupted();
  }
}

void SdBusTransport::screen(sdbus::Message& message) {
  // sd-bus answers a wrong signature or an unknown method itself, but only to callers that wait
  // for an answer; one-way calls would vanish without a trace. sdbus-c++ does not show whether a
  // matched call waits, so every such call is reported.
  try {
    const BusObject* object = exportedInterface(message.getPath(), message.getInterfaceName());
    const BusMethod* method = object ? object->method(message.getMemberName()) : nullptr;
    if (object && !method) {
      _delegate->callRefused(message.getMemberName(), message.getSender(), "no such method");
    } else if (method) {
      const std::string signature = signatureOf(message);
      if (signature != method->inSignature) {
        _delegate->callRefused(
            method->name, message.getSender(),
            "arguments (" + signature + "), expected (" + method->inSignature + ")");
      }
    }
  } catch (const std::exception&) {
    // Only a diagnostic; the call itself goes its way.
  }
  try {
    // sd-bus hands the call on from where this left it.
    message.rewind(true);
  } catch (const std::exception&) {
  }
}

const BusObject* SdBusTransport::exportedInterface(const std::string& path,
                                                   const std::string& name) const {
  for (const BusObject& object : _exported) {
    if (object.path == path && object.interface == name) return &object;
  }
  return nullptr;
}

void SdBusTransport::receive(sdbus::MethodCall call, const BusObject* object,
                             const BusMethod* method) {
  try {
    const std::string sender = call.getSender();
    auto [entry, isNew] = _peers.try_emplace(sender);
    PeerState& state = entry->second;
    if (isNew) state.peer = std::make_shared<Peer>(_connection, sender, _remote);
    if (!state.resolving) {
      deliver(state, call, *object, *method);
      return;
    }
    if (state.waiting.size() >= kMaxWaitingCalls) {
      refuse(call, "org.freedesktop.DBus.Error.LimitsExceeded",
             "too many calls before the connection was set up");
      return;
    }
    state.waiting.push_back({std::move(call), object, method});
    if (!isNew) return;
    try {
      sdbus::MethodCall question =
          _busDaemon->createMethodCall(kBusDaemon, "GetConnectionUnixProcessID");
      question << sender;
      _busDaemon->callMethod(question,
                             [this, sender](sdbus::MethodReply& reply, const sdbus::Error* error) {
                               resolved(sender, reply, error);
                             });
    } catch (const sdbus::Error& error) {
      sdbus::MethodReply none;
      resolved(sender, none, &error);
    }
  } catch (const std::exception& error) {
    _delegate->callFailed(method->name, exceptionDescription(error));
    refuse(call, kFailed, error.what());
  }
}

void SdBusTransport::resolved(const std::string& sender, sdbus::MethodReply& reply,
                              const sdbus::Error* error) {
  auto entry = _peers.find(sender);
  if (entry == _peers.end()) return;
  PeerState& state = entry->second;
  int32_t pid = 0;
  try {
    if (!error) {
      uint32_t answer = 0;
      reply >> answer;
      pid = static_cast<int32_t>(answer);
    } else {
      // A caller that left at once, as a one-way caller may, still has its calls taken as sent.
      _delegate->processIdUnknown(sender, error->getMessage(), error->getName() == kNameHasNoOwner);
    }
  } catch (const std::exception& failure) {
    _delegate->processIdUnknown(sender, exceptionDescription(failure), false);
  }
  state.peer->setProcessId(pid);
  try {
    state.handler = _delegate->accept(state.peer);
  } catch (const std::exception& failure) {
    _delegate->acceptFailed(sender, exceptionDescription(failure));
  }
  state.resolving = false;
  while (!state.waiting.empty()) {
    Waiting waiting = std::move(state.waiting.front());
    state.waiting.pop_front();
    try {
      deliver(state, waiting.call, *waiting.object, *waiting.method);
    } catch (const std::exception& failure) {
      _delegate->callFailed(waiting.method->name, exceptionDescription(failure));
      refuse(waiting.call, kFailed, failure.what());
    }
  }
  if (state.gone) {
    if (state.handler) state.handler->invalidated();
    _peers.erase(entry);
  }
}

void SdBusTransport::deliver(PeerState& state, const sdbus::MethodCall& received,
                             const BusObject& object, const BusMethod& method) {
  sdbus::MethodCall call = received;
  if (!state.handler) {
    refuse(call, "org.freedesktop.DBus.Error.AccessDenied", "the connection was refused");
    return;
  }
  std::vector<BusValue> args;
  std::string problem = readArguments(call, method, args);
  if (!problem.empty()) {
    _delegate->callRefused(method.name, state.peer->name(), problem);
    refuse(call, kInvalidArgs, problem);
    return;
  }

  const bool wantsReply = !call.doesntExpectReply();
  BusCall busCall{&method, std::move(args), state.peer, nullptr, &object};
  std::shared_ptr<PendingReply> pending;
  if (wantsReply && !method.outSignature.empty()) {
    pending = std::make_shared<PendingReply>(_connection, call);
    busCall.reply = [pending](const BusValue& value) { pending->answer(value); };
  }
  try {
    state.handler->handle(std::move(busCall));
  } catch (const std::exception& failure) {
    _delegate->callFailed(method.name, exceptionDescription(failure));
    if (pending) {
      pending->fail(failure.what());
    } else {
      refuse(call, kFailed, failure.what());
    }
    return;
  }
  pending.reset();
  // A caller that waits is never left hanging: an empty answer for a method without a result.
  if (wantsReply && method.outSignature.empty()) call.createReply().send();
}

void SdBusTransport::nameOwnerChanged(sdbus::Message& signal) {
  try {
    std::string name, oldOwner, newOwner;
    signal >> name >> oldOwner >> newOwner;
    if (!newOwner.empty()) return;
    auto entry = _peers.find(name);
    if (entry == _peers.end()) return;
    PeerState& state = entry->second;
    // Calls still waiting for the process id are handled first; the departure follows them.
    if (state.resolving) {
      state.gone = true;
      return;
    }
    std::shared_ptr<BusPeerHandler> handler = std::move(state.handler);
    _peers.erase(entry);
    if (handler) handler->invalidated();
  } catch (const std::exception& error) {
    _delegate->departureUnreadable(exceptionDescription(error));
  }
}

}  // namespace zorva
