#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zorva {

// Who is sending telemetry: fixed for the life of the process and carried by every request.
struct TelemetryIdentity {
  std::string appVersion;
  std::string osVersion;   // "major.minor.patch"
  std::string deviceType;  // the machine's hardware name, e.g. "x86_64"
  std::string language;    // e.g. "de"
  std::string country;     // e.g. "AT"; empty when the locale names no country
};

// The first three numbers of a kernel release ("6.1.0-18-amd64" gives "6.1.0"); missing ones are
// 0, and a release that starts with no number at all gives "0.0.0".
std::string osVersionFromRelease(std::string_view release);

struct LocaleCodes {
  std::string language;
  std::string country;
};

// The message locale as the C library chooses it: the first set of LC_ALL, LC_MESSAGES and LANG
// ("de_AT.UTF-8" gives de and AT). Unset, "C", "POSIX" or a value that names no language gives en
// and US.
LocaleCodes localeFromEnvironment(const std::function<const char*(const char*)>& getenv);

// This machine's identity: the kernel release and machine from uname, the process's locale.
TelemetryIdentity systemIdentity(std::string appVersion);

}  // namespace zorva
