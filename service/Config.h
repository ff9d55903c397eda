#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/dbus/BusAddress.h"
#include "platform/log/LogWriter.h"

namespace zorva {

// The service's settings, all from the environment; there is no configuration file.
struct Config {
  enum class EventSourceKind { Fanotify, Replay };

  BusAddress bus;
  std::string backendUrl;
  std::string analyticsUrl;
  std::string caFile;  // empty: the system's trust store
  std::string stateDir;
  EventSourceKind eventSource = EventSourceKind::Fanotify;
  std::string replayPath;  // with EventSourceKind::Replay; "-" is standard input
  LogTarget logTarget = LogTarget::Stderr;
  LogLevel logLevel = LogLevel::Default;
};

// A bad value: the message names the variable and says what is wrong with it.
struct ConfigError {
  std::string message;
  // 2 for a value that is wrong; 1 for a state folder that is there but not safe to use.
  int exitStatus = 2;
};

// What the configuration is read from; tests hand in their own.
struct ConfigEnvironment {
  std::function<const char*(const char*)> get;
  bool isRoot = false;
  bool journalAvailable = false;
};

ConfigEnvironment processEnvironment();

// Reads and checks every variable. Nothing falls back silently: a value that is set but bad is an
// error, never the default.
std::variant<Config, ConfigError> loadConfig(const ConfigEnvironment& environment);

// Creates the state folder (and its parents) if needed, the folder itself with mode 0700; the
// error names ZORVA_STATE_DIR. An existing folder that others may enter is made 0700 when it is
// the service user's own and refused when it is another user's. Of the `databases` in it (each
// with its -wal, -shm and -journal files), those that others may read are made 0600. Each change
// is described in `notes` (if given), for the log, which is not set up yet.
std::optional<ConfigError> prepareStateDir(const std::string& path,
                                           const std::vector<std::string>& databases = {},
                                           std::vector<std::string>* notes = nullptr);

// One line per variable for --help.
std::string configHelp();

}  // namespace zorva
