#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/dbus/BusAddress.h"

namespace zorva::testing {

// A dbus-daemon of a test's own, on a socket in a temporary folder, where everyone may own any
// name and call anyone. Stopped and cleaned away when destroyed.
class PrivateBus {
 public:
  // A running bus, or nullptr with the reason in `whyNot` (no dbus-daemon installed, or it did
  // not start).
  static std::unique_ptr<PrivateBus> start(std::string& whyNot);

  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  BusAddress busAddress() const { return {BusAddress::Kind::Address, address_}; }

  // Ends the daemon at once, as a crash or a restart of the bus would.
  void kill();
  // Kills the daemon and starts a new one on the same socket path, as a restart of the system's
  // bus would. The address changes in its guid only; false with the reason in `whyNot`.
  bool restart(std::string& whyNot);

 private:
  bool launch(std::string& whyNot);

  PrivateBus(std::string folder, pid_t pid, std::string address)
      : folder_(std::move(folder)), pid_(pid), address_(std::move(address)) {}

  std::string folder_;
  pid_t pid_;
  std::string address_;
};

// The full path of a program found on PATH, or empty.
std::string findProgram(const std::string& name);

}  // namespace zorva::testing
