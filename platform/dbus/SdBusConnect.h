#pragma once

#include <sdbus-c++/IConnection.h>

#include <memory>

#include "platform/dbus/BusAddress.h"

namespace zorva {

// Opens a connection to the bus; throws sdbus::Error when it cannot be reached.
std::unique_ptr<sdbus::IConnection> connectToBus(const BusAddress& bus);

// Whether a D-Bus error says that nobody answers at the other end: no owner of the name, the
// peer left, or it never answered.
bool isUnreachableError(const std::string& errorName);

}  // namespace zorva
