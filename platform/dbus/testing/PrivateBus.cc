#include "platform/dbus/testing/PrivateBus.h"

#include <filesystem>
#include <fstream>

// sdbus-c++ 1.2 does not free the half-made bus of a connection that fails (tests connect to
// missing buses on purpose); LeakSanitizer reads this in the test programs that use a private bus.
// NOLINTNEXTLINE(bugprone-reserved-identifier): LeakSanitizer looks the hook up by this name.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsystemd.so\n"; }

namespace zorva::testing {

std::unique_ptr<PrivateBus> PrivateBus::start(std::string& whyNot) {
  std::unique_ptr<PrivateBus> bus(new PrivateBus());
  if (!bus->launch(whyNot)) return nullptr;
  return bus;
}

bool PrivateBus::launch(std::string& whyNot) {
  if (runCommand({"dbus-daemon", "--version"}).status != 0) {
    whyNot = "dbus-daemon is not installed (Debian package dbus-daemon)";
    return false;
  }
  std::ofstream(_folder / "bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:path="
      << _folder / "bus"
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy></busconfig>\n";
  // The daemon ends with the test, even a crashed one. It prints its address once it listens.
  _daemon = ChildProcess::spawn({"setpriv", "--pdeathsig", "KILL", "--", "dbus-daemon",
                                 "--config-file=" + _folder / "bus.conf", "--nofork",
                                 "--print-address=1"});
  _address = _daemon ? _daemon->readLine(ChildProcess::Stream::Out).value_or("") : "";
  if (_address.empty()) whyNot = "dbus-daemon did not start";
  return !_address.empty();
}

bool PrivateBus::restart(std::string& whyNot) {
  kill();
  // A daemon killed outright leaves its socket file behind.
  std::filesystem::remove(_folder / "bus");
  return launch(whyNot);
}

}  // namespace zorva::testing
