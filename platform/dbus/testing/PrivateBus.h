#pragma once

#include <memory>
#include <string>

#include "platform/dbus/BusAddress.h"
#include "testing/ChildProcess.h"
#include "testing/TempFolder.h"

namespace zorva::testing {

// A dbus-daemon of a test's own, on a socket in a temporary folder, where everyone may own any
// name and call anyone. Stopped and cleaned away when destroyed.
class PrivateBus {
 public:
  // A running bus, or nullptr with the reason in `whyNot` (no dbus-daemon installed, or it did
  // not start).
  static std::unique_ptr<PrivateBus> start(std::string& whyNot);

  const std::string& address() const { return _address; }
  BusAddress busAddress() const { return {BusAddress::Kind::Address, _address}; }

  // Ends the daemon at once, as a crash or a restart of the bus would.
  void kill() { _daemon.reset(); }
  // Kills the daemon and starts a new one on the same socket path, as a restart of the system's
  // bus would. The address changes in its guid only; false with the reason in `whyNot`.
  bool restart(std::string& whyNot);

 private:
  PrivateBus() = default;
  bool launch(std::string& whyNot);

  TempFolder _folder{"zorva-bus"};
  std::unique_ptr<ChildProcess> _daemon;
  std::string _address;
};

}  // namespace zorva::testing
