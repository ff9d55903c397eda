#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zorva {

// Which bus to use: the system bus, the session bus, or an explicit D-Bus address.
struct BusAddress {
  enum class Kind { System, Session, Address };

  Kind kind = Kind::Session;
  std::string address;  // with Kind::Address

  // "system", "session" or an address such as "unix:path=/run/x/bus"; nothing for anything else.
  static std::optional<BusAddress> parse(std::string_view word);
  // The system bus for root, else the session bus: where a user's service runs.
  static BusAddress defaultFor(bool isRoot);

  // For messages: "the system bus", "the session bus", "the bus at unix:path=...".
  std::string describe() const;
};

}  // namespace zorva
