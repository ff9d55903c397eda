#include "control/ZorvaServerXPCObject.h"

#include "control/XPCServer.h"
#include "platform/log/Log.h"

namespace zorva {

namespace {

// A ping's message may be as long as the bus allows; the log shows its beginning and its length.
constexpr size_t kLoggedPingBytes = 1024;

std::string loggedPing(const std::string& message) {
  if (message.size() <= kLoggedPingBytes) return message;
  size_t end = kLoggedPingBytes;
  // Cut between characters, never inside one, so the line stays UTF-8.
  while (end > 0 && (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) --end;
  return message.substr(0, end) + "... (" + std::to_string(message.size()) + " bytes)";
}

template <class T>
std::function<void(T)> replyAs(const std::function<void(BusValue)>& reply) {
  if (!reply) return nullptr;
  return [reply](T value) { reply(BusValue(std::move(value))); };
}

}  // namespace

void ZorvaServerXPCObject::handle(BusCall call) {
  const std::string& method = call.method->name;
  auto& args = call.args;
  if (method == "SaveDeviceToken") {
    saveDeviceToken(std::get<std::string>(std::move(args[0])));
  } else if (method == "AddVolume") {
    addVolume(std::get<int64_t>(args[0]), std::get<std::string>(args[1]), std::get<bool>(args[2]),
              call.caller);
  } else if (method == "IsRunning") {
    isRunning(replyAs<bool>(call.reply));
  } else if (method == "Ping") {
    ping(std::get<std::string>(args[0]), replyAs<std::string>(call.reply));
  } else if (method == "GetVersion") {
    getVersion(replyAs<std::string>(call.reply));
  }
}

void ZorvaServerXPCObject::saveDeviceToken(std::string token) {
  // Whether the token is taken is the backend client's decision, and its log lines.
  _dependencies.deviceApi.setDeviceToken(std::move(token));
}

void ZorvaServerXPCObject::addVolume(int64_t volumeId, const std::string& path, bool notifyEnabled,
                                     const std::shared_ptr<BusPeer>& currentConnection) {
  _dependencies.tracker.addVolume(volumeId, path, notifyEnabled);
  // Without notifications, a connection an earlier registration entered stays where it is.
  if (notifyEnabled) _dependencies.server.trackVolume(volumeId, currentConnection);
}

void ZorvaServerXPCObject::isRunning(const std::function<void(bool)>& reply) const {
  ZorvaLog("XPC: isRunning");
  if (!reply) {
    ZorvaError(FaultKind::Client, "XPC: isRunning bad reply function");
    return;
  }
  const bool ready = _dependencies.deviceApi.isReady();
  ZorvaLog("XPC: isRunning reply: %d", ready ? 1 : 0);
  reply(ready);
}

void ZorvaServerXPCObject::ping(const std::string& message,
                                const std::function<void(std::string)>& reply) {
  ZorvaLog("XPC: ping: %@", loggedPing(message));
  if (!reply) {
    ZorvaError(FaultKind::Client, "XPC: NOT ponging");
    return;
  }
  ZorvaLog("XPC: ponging");
  reply("pong");
}

void ZorvaServerXPCObject::getVersion(const std::function<void(std::string)>& reply) {
  if (!reply) {
    ZorvaError(FaultKind::Client, "XPC: getVersion: NO callback");
    return;
  }
  ZorvaLog("XPC: getVersion: %@", _dependencies.version);
  // The bus has no null string: a build without a version answers with an empty one.
  reply(_dependencies.version.value_or(""));
}

}  // namespace zorva
