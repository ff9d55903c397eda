#include "service/Config.h"

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

bool isHttpUrl(std::string_view url) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (url.starts_with(scheme) && url.size() > scheme.size()) return true;
  }
  return false;
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
  if (!isHttpUrl(config.backendUrl)) {
    return badValue("ZORVA_BACKEND_URL", config.backendUrl, "expected an http or https URL");
  }
  config.analyticsUrl = value("ZORVA_ANALYTICS_URL").value_or(kDefaultAnalyticsUrl);
  if (!isHttpUrl(config.analyticsUrl)) {
    return badValue("ZORVA_ANALYTICS_URL", config.analyticsUrl, "expected an http or https URL");
  }

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

std::optional<ConfigError> prepareStateDir(const std::string& path, std::string* warning) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::path(path).lexically_normal();
  if (!folder.has_filename() && folder.has_parent_path()) folder = folder.parent_path();
  const bool existed = std::filesystem::exists(folder, error);
  if (!error && !existed) {
    // The parents are ordinary folders; the state folder itself is the service's alone, since
    // its files hold the device session key.
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), error);
    if (!error && ::mkdir(folder.c_str(), 0700) == 0) {
      // The umask may only take bits away; 0700 exactly, whatever it is.
      if (::chmod(folder.c_str(), 0700) != 0)
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
  if (error) return badValue("ZORVA_STATE_DIR", path, "cannot create or write: " + error.message());
  // A folder the administrator made is theirs to set; saying so is enough.
  struct stat status {};
  if (warning && existed && ::stat(folder.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(status.st_mode & 0777));
    *warning = "state folder " + folder.string() + " is open to other users (mode " + mode +
               "); its files hold the device session key: chmod 700 it";
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
