#include "control/ZorvaProtocol.h"

namespace zorva {

const BusObject& serverProtocol() {
  static const BusObject protocol{
      kServiceObjectPath,
      kServerInterface,
      {
          {"SaveDeviceToken", "s", {"token"}, "", "", true},
          {"AddVolume", "xsb", {"volumeId", "path", "notifyEnabled"}, "", "", true},
          {"IsRunning", "", {}, "b", "running", false},
          // Every ping is answered, whatever its message: the message is only logged, shortened.
          {"Ping", "s", {"message"}, "s", "reply", false, /*anyLength=*/true},
          {"GetVersion", "", {}, "s", "version", false},
      }};
  return protocol;
}

const BusObject& statusProtocol() {
  static const BusObject protocol{
      kServiceObjectPath, kStatusInterface, {{"GetStatus", "", {}, "s", "status", false}}};
  return protocol;
}

const BusObject& clientProtocol() {
  static const BusObject protocol{
      kClientObjectPath, kClientInterface, {{"Change", "s", {"path"}, "", "", true}}};
  return protocol;
}

}  // namespace zorva
