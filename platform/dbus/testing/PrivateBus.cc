#include "platform/dbus/testing/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

// sdbus-c++ 1.2 does not free the half-made bus of a connection that fails (tests connect to
// missing buses on purpose); LeakSanitizer reads this in the test programs that use a private bus.
// NOLINTNEXTLINE(bugprone-reserved-identifier): LeakSanitizer looks the hook up by this name.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsystemd.so\n"; }

namespace zorva::testing {

namespace {

constexpr const char* kConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@FOLDER@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Reads the address line the daemon prints once it listens; a daemon that says nothing for this
// long is broken, not slow.
std::string readAddress(int fd) {
  std::string line;
  char c;
  while (true) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 10'000) <= 0) return {};
    ssize_t got = ::read(fd, &c, 1);
    if (got <= 0 || c == '\n') return line;
    line += c;
  }
}

}  // namespace

std::string findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::string candidate = folder;
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::unique_ptr<PrivateBus> PrivateBus::start(std::string& whyNot) {
  char folderTemplate[] = "/tmp/zorva-bus-XXXXXX";
  if (!::mkdtemp(folderTemplate)) {
    whyNot = "cannot create a temporary folder";
    return nullptr;
  }
  std::unique_ptr<PrivateBus> bus(new PrivateBus(folderTemplate, 0, {}));
  if (!bus->launch(whyNot)) return nullptr;
  return bus;
}

bool PrivateBus::launch(std::string& whyNot) {
  const std::string daemon = findProgram("dbus-daemon");
  if (daemon.empty()) {
    whyNot = "dbus-daemon is not installed (Debian package dbus-daemon)";
    return false;
  }
  const std::string& folder = folder_;
  std::string config = kConfig;
  config.replace(config.find("@FOLDER@"), 8, folder);
  std::ofstream(folder + "/bus.conf") << config;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    whyNot = "cannot create a pipe";
    return false;
  }
  const std::string configArg = "--config-file=" + folder + "/bus.conf";
  char* argv[] = {const_cast<char*>(daemon.c_str()), const_cast<char*>(configArg.c_str()),
                  const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"), nullptr};
  const pid_t parent = ::getpid();
  // Its complaints about resource limits it cannot raise are noise in test output.
  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls here. The daemon ends with the test, even a crashed one.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], 1);
    if (quiet >= 0) ::dup2(quiet, 2);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  const int spawned = pid > 0 ? 0 : -1;
  if (quiet >= 0) ::close(quiet);
  ::close(pipeFds[1]);
  std::string address = spawned == 0 ? readAddress(pipeFds[0]) : std::string();
  ::close(pipeFds[0]);
  if (address.empty()) {
    if (spawned == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    whyNot = "dbus-daemon did not start";
    return false;
  }
  pid_ = pid;
  address_ = address;
  return true;
}

bool PrivateBus::restart(std::string& whyNot) {
  kill();
  // A daemon killed outright leaves its socket file behind.
  std::error_code ignored;
  std::filesystem::remove(folder_ + "/bus", ignored);
  return launch(whyNot);
}

void PrivateBus::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace zorva::testing
