#include "platform/dbus/SdBusConnect.h"

#include <array>

namespace zorva {

std::unique_ptr<sdbus::IConnection> connectToBus(const BusAddress& bus) {
  switch (bus.kind) {
    case BusAddress::Kind::System:
      return sdbus::createSystemBusConnection();
    case BusAddress::Kind::Session:
      return sdbus::createSessionBusConnection();
    case BusAddress::Kind::Address:
      break;
  }
  return sdbus::createSessionBusConnectionWithAddress(bus.address);
}

bool isUnreachableError(const std::string& errorName) {
  static constexpr std::array kUnreachable = {
      "org.freedesktop.DBus.Error.ServiceUnknown",
      "org.freedesktop.DBus.Error.NameHasNoOwner",
      "org.freedesktop.DBus.Error.NoReply",
      "org.freedesktop.DBus.Error.Timeout",
      "org.freedesktop.DBus.Error.Disconnected",
      "org.freedesktop.DBus.Error.NoServer",
      "org.freedesktop.DBus.Error.AccessDenied",
      "System.Error.ECONNRESET",
      "System.Error.ENOTCONN",
      "System.Error.ECONNREFUSED",
      "System.Error.ENOENT",
      "System.Error.ETIMEDOUT",
  };
  for (const char* name : kUnreachable) {
    if (errorName == name) return true;
  }
  return false;
}

}  // namespace zorva
