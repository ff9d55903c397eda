#include "telemetry/SystemIdentity.h"

#include <sys/utsname.h>

#include <cstdlib>

namespace zorva {
namespace {

bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string osVersionFromRelease(std::string_view release) {
  std::string version;
  size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    size_t start = i;
    while (i < release.size() && isDigit(release[i])) ++i;
    // Leading zeros would make "06" differ from "6"; numbers are written as numbers.
    size_t first = start;
    while (first + 1 < i && release[first] == '0') ++first;
    if (part > 0) version.push_back('.');
    version.append(i > start ? release.substr(first, i - first) : "0");
    if (i == start || i >= release.size() || release[i] != '.') {
      // What follows is not a further number of the version: the rest count as 0.
      for (int rest = part + 1; rest < 3; ++rest) version.append(".0");
      return version;
    }
    ++i;
  }
  return version;
}

LocaleCodes localeFromEnvironment(const std::function<const char*(const char*)>& getenv) {
  std::string_view value;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* set = getenv(name);
    if (set != nullptr && *set != '\0') {
      value = set;
      break;
    }
  }
  // language[_territory][.codeset][@modifier]
  value = value.substr(0, value.find_first_of(".@"));
  const size_t separator = value.find('_');
  std::string_view language = value.substr(0, separator);
  std::string_view country =
      separator == std::string_view::npos ? std::string_view() : value.substr(separator + 1);

  const bool languageOk = (language.size() == 2 || language.size() == 3) && isLower(language[0]) &&
                          isLower(language[1]) && (language.size() == 2 || isLower(language[2]));
  if (!languageOk) return {"en", "US"};
  const bool countryOk =
      (country.size() == 2 && isUpper(country[0]) && isUpper(country[1])) ||
      (country.size() == 3 && isDigit(country[0]) && isDigit(country[1]) && isDigit(country[2]));
  return {std::string(language), countryOk ? std::string(country) : std::string()};
}

TelemetryIdentity systemIdentity(std::string appVersion) {
  TelemetryIdentity identity;
  identity.appVersion = std::move(appVersion);
  struct utsname names {};
  if (::uname(&names) == 0) {
    identity.osVersion = osVersionFromRelease(names.release);
    identity.deviceType = names.machine;
  } else {
    identity.osVersion = "0.0.0";
    identity.deviceType = "unknown";
  }
  LocaleCodes locale = localeFromEnvironment([](const char* name) { return std::getenv(name); });
  identity.language = std::move(locale.language);
  identity.country = std::move(locale.country);
  return identity;
}

}  // namespace zorva
