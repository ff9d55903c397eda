#include "service/Config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace zorva {
namespace {

constexpr const char* kDefaultBackendUrl = "https://api.zorva.com";
constexpr const char* kDefaultAnalyticsUrl = "https://analytics.zorva.com";

ConfigError badValue(std::string_view variable, std::string_view value, std::string_view why) {
  return {std::string(variable) + "=\"" + std::string(value) + "\": " + std::string(why)};
}

// The service appends its own paths to a base URL ("/api/1/device/current", "/<org>"). After a
// query or a fragment they would no longer be the path, and the backend's refusal of the wrong
// path would read as a refused device key, which is then deleted.
std::optional<ConfigError> checkBaseUrl(std::string_view variable, std::string_view url) {
  std::string_view rest;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (url.starts_with(scheme)) rest = url.substr(scheme.size());
  }
  if (rest.empty()) return badValue(variable, url, "expected an http or https URL");
  if (rest.substr(0, rest.find_first_of("/?#")).find('@') != std::string_view::npos) {
    // The value is not repeated: it holds a password, and stderr may end up in the journal.
    return ConfigError{std::string(variable) +
                       ": a base URL cannot carry user information (\"user:password@\" before "
                       "the host)"};
  }
  if (rest.find('?') != std::string_view::npos) {
    return badValue(variable, url, "a base URL cannot have a query (\"?\")");
  }
  if (rest.find('#') != std::string_view::npos) {
    return badValue(variable, url, "a base URL cannot have a fragment (\"#\")");
  }
  return std::nullopt;
}

}  // namespace

ConfigEnvironment processEnvironment() {
  return {[](const char* name) { return std::getenv(name); }, ::geteuid() == 0, journalAvailable()};
}

std::variant<Config, ConfigError> loadConfig(const ConfigEnvironment& environment) {
  auto value = [&](const char* name) -> std::optional<std::string> {
    const char* text = environment.get(name);
    if (text == nullptr) return std::nullopt;
    return std::string(text);
  };
  Config config;

  if (auto bus = value("ZORVA_BUS")) {
    auto parsed = BusAddress::parse(*bus);
    if (!parsed) return badValue("ZORVA_BUS", *bus, "expected system, session or a D-Bus address");
    config.bus = *parsed;
  } else {
    config.bus = BusAddress::defaultFor(environment.isRoot);
  }

  config.backendUrl = value("ZORVA_BACKEND_URL").value_or(kDefaultBackendUrl);
  if (auto error = checkBaseUrl("ZORVA_BACKEND_URL", config.backendUrl)) return *error;
  config.analyticsUrl = value("ZORVA_ANALYTICS_URL").value_or(kDefaultAnalyticsUrl);
  if (auto error = checkBaseUrl("ZORVA_ANALYTICS_URL", config.analyticsUrl)) return *error;

  if (auto caFile = value("ZORVA_CA_FILE")) {
    struct stat info {};
    if (caFile->empty() || ::stat(caFile->c_str(), &info) != 0) {
      return badValue("ZORVA_CA_FILE", *caFile,
                      caFile->empty() ? "empty path" : std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode) || ::access(caFile->c_str(), R_OK) != 0) {
      return badValue("ZORVA_CA_FILE", *caFile, "not a readable file");
    }
    config.caFile = *caFile;
  }

  if (auto stateDir = value("ZORVA_STATE_DIR")) {
    if (stateDir->empty()) return badValue("ZORVA_STATE_DIR", *stateDir, "empty path");
    config.stateDir = *stateDir;
  } else if (environment.isRoot) {
    config.stateDir = "/var/lib/zorva";
  } else if (auto xdg = value("XDG_STATE_HOME"); xdg && !xdg->empty()) {
    config.stateDir = *xdg + "/zorva";
  } else if (auto home = value("HOME"); home && !home->empty()) {
    config.stateDir = *home + "/.local/state/zorva";
  } else {
    return ConfigError{"ZORVA_STATE_DIR is not set, and neither XDG_STATE_HOME nor HOME is"};
  }

  if (auto source = value("ZORVA_EVENT_SOURCE")) {
    constexpr std::string_view kReplay = "replay:";
    if (*source == "fanotify") {
      config.eventSource = Config::EventSourceKind::Fanotify;
    } else if (source->starts_with(kReplay) && source->size() > kReplay.size()) {
      config.eventSource = Config::EventSourceKind::Replay;
      config.replayPath = source->substr(kReplay.size());
    } else {
      return badValue("ZORVA_EVENT_SOURCE", *source, "expected fanotify or replay:<file>");
    }
  }

  if (auto target = value("ZORVA_LOG")) {
    if (*target == "journal") {
      config.logTarget = LogTarget::Journal;
    } else if (*target == "stderr") {
      config.logTarget = LogTarget::Stderr;
    } else if (*target == "off") {
      config.logTarget = LogTarget::Off;
    } else {
      return badValue("ZORVA_LOG", *target, "expected journal, stderr or off");
    }
  } else {
    config.logTarget = environment.journalAvailable ? LogTarget::Journal : LogTarget::Stderr;
  }

  if (auto level = value("ZORVA_LOG_LEVEL")) {
    if (*level == "default") {
      config.logLevel = LogLevel::Default;
    } else if (*level == "error") {
      config.logLevel = LogLevel::Error;
    } else {
      return badValue("ZORVA_LOG_LEVEL", *level, "expected default or error");
    }
  }
  return config;
}

namespace {

// The state folder and its databases are the service's alone: they hold the device session key.
constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kOthersBits = 077;  // group and others: any of them set means others may reach

std::string octalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Makes each existing database file of the folder that others may read 0600; collects those
// changed, and those that could not be, with why.
void makePrivate(const std::filesystem::path& folder, const std::vector<std::string>& databases,
                 std::vector<std::string>& changed, std::vector<std::string>& failed) {
  for (const std::string& database : databases) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      const std::string name = database + suffix;
      // Never through a link: the mode of whatever it points to is not the service's to change.
      const int fd =
          ::open((folder / name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      struct stat status {};
      if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
          (status.st_mode & kOthersBits) != 0) {
        if (::fchmod(fd, kPrivateFile) == 0) {
          changed.push_back(name);
        } else {
          failed.push_back(name + " (" + std::strerror(errno) + ")");
        }
      }
      ::close(fd);
    }
  }
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text.append(text.empty() ? "" : ", ").append(name);
  return text;
}

}  // namespace

std::optional<ConfigError> prepareStateDir(const std::string& path,
                                           const std::vector<std::string>& databases,
                                           std::vector<std::string>* notes) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::path(path).lexically_normal();
  if (!folder.has_filename() && folder.has_parent_path()) folder = folder.parent_path();
  const bool existed = std::filesystem::exists(folder, error);
  if (!error && !existed) {
    // The parents get what the umask leaves (zorvad's keeps them private too); the state folder
    // itself is the service's alone whatever the umask, since its files hold the device session
    // key.
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), error);
    if (!error && ::mkdir(folder.c_str(), kPrivateFolder) == 0) {
      // The umask may only take bits away; 0700 exactly, whatever it is.
      if (::chmod(folder.c_str(), kPrivateFolder) != 0)
        error = std::error_code(errno, std::generic_category());
    } else if (!error && errno != EEXIST) {
      error = std::error_code(errno, std::generic_category());
    }
  }
  if (!error && !std::filesystem::is_directory(folder, error)) {
    error = std::make_error_code(std::errc::not_a_directory);
  }
  if (!error && ::access(folder.c_str(), W_OK | X_OK) != 0) {
    error = std::error_code(errno, std::generic_category());
  }
  struct stat status {};
  if (!error && ::stat(folder.c_str(), &status) != 0) {
    error = std::error_code(errno, std::generic_category());
  }
  if (error) return badValue("ZORVA_STATE_DIR", path, "cannot create or write: " + error.message());

  auto note = [&](std::string line) {
    if (notes) notes->push_back(std::move(line));
  };
  if ((status.st_mode & kOthersBits) != 0) {
    const std::string mode = octalMode(status.st_mode);
    // Another user's folder is not the service's to change, and open as it is, not safe to use.
    if (status.st_uid != ::geteuid()) {
      ConfigError refused = badValue(
          "ZORVA_STATE_DIR", path,
          "the folder belongs to user " + std::to_string(status.st_uid) +
              " and is open to other users (mode " + mode +
              "), but its files hold the device session key: give it to the service's user or "
              "close it to others (chmod 700)");
      refused.exitStatus = 1;
      return refused;
    }
    if (::chmod(folder.c_str(), kPrivateFolder) != 0) {
      return badValue("ZORVA_STATE_DIR", path,
                      "open to other users (mode " + mode +
                          ") and cannot be made 0700: " + std::strerror(errno));
    }
    note("state folder " + folder.string() + " was open to other users (mode " + mode +
         "); made it 0700, as its files hold the device session key");
  }

  std::vector<std::string> changed, failed;
  makePrivate(folder, databases, changed, failed);
  if (!changed.empty()) {
    note("state files open to other users in " + folder.string() +
         " made 0600: " + joined(changed));
  }
  if (!failed.empty()) {
    note("state files open to other users in " + folder.string() +
         " could not be made 0600: " + joined(failed));
  }
  return std::nullopt;
}

std::string configHelp() {
  return R"(Environment variables:
  ZORVA_BUS            where the control interface listens: system, session, or a D-Bus
                       address such as unix:path=/run/x/bus (default: system as root, else session)
  ZORVA_BACKEND_URL    base URL of the product backend (default: https://api.zorva.com)
  ZORVA_ANALYTICS_URL  base URL of the analytics service (default: https://analytics.zorva.com)
  ZORVA_CA_FILE        PEM file of extra trusted certificate authorities (default: system store)
  ZORVA_STATE_DIR      folder of the settings store (default: /var/lib/zorva as root,
                       else $XDG_STATE_HOME/zorva or ~/.local/state/zorva)
  ZORVA_EVENT_SOURCE   fanotify, or replay:<file> (replay:- reads standard input) (default: fanotify)
  ZORVA_LOG            journal, stderr or off (default: journal when it is running, else stderr)
  ZORVA_LOG_LEVEL      default or error: the lowest level written (default: default)
)";
}

}  // namespace zorva
