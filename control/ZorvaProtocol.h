#pragma once

#include "platform/dbus/BusTransport.h"

namespace zorva {

// The names under which the two control protocols travel on the bus. Client applications and
// the packaged bus policy rely on them; they never change.
inline constexpr const char* kServiceBusName = "com.zorva.client.extension.xpc";
inline constexpr const char* kServiceObjectPath = "/com/zorva/client/extension";
inline constexpr const char* kServerInterface = "com.zorva.ZorvaServerXPCProtocol";
inline constexpr const char* kClientObjectPath = "/com/zorva/client";
inline constexpr const char* kClientInterface = "com.zorva.ZorvaClientXPCProtocol";
inline constexpr const char* kStatusInterface = "com.zorva.Status1";

// ZorvaServerXPCProtocol, exported by the service: SaveDeviceToken(s), AddVolume(x, s, b),
// IsRunning() -> b, Ping(s) -> s, GetVersion() -> s.
const BusObject& serverProtocol();
// Status1, exported by the service beside the server protocol: GetStatus() -> s, one JSON object.
const BusObject& statusProtocol();
// ZorvaClientXPCProtocol, exported by each client: Change(s).
const BusObject& clientProtocol();

}  // namespace zorva
