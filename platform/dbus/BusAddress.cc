#include "platform/dbus/BusAddress.h"

namespace zorva {

namespace {

// A D-Bus address names its transport and at least one key: "unix:path=/run/x/bus".
bool isAddress(std::string_view text) {
  size_t colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (char c : text.substr(0, colon)) {
    if (!(c >= 'a' && c <= 'z') && c != '-') return false;
  }
  return text.find('=', colon) != std::string_view::npos;
}

}  // namespace

std::optional<BusAddress> BusAddress::parse(std::string_view word) {
  if (word == "system") return BusAddress{Kind::System, {}};
  if (word == "session") return BusAddress{Kind::Session, {}};
  if (isAddress(word)) return BusAddress{Kind::Address, std::string(word)};
  return std::nullopt;
}

BusAddress BusAddress::defaultFor(bool isRoot) {
  return BusAddress{isRoot ? Kind::System : Kind::Session, {}};
}

std::string BusAddress::describe() const {
  switch (kind) {
    case Kind::System:
      return "the system bus";
    case Kind::Session:
      return "the session bus";
    case Kind::Address:
      break;
  }
  return "the bus at " + address;
}

}  // namespace zorva
