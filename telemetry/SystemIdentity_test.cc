#include "telemetry/SystemIdentity.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <map>

namespace zorva {
namespace {

TEST(SystemIdentity, OsVersionIsTheFirstThreeNumbersOfTheRelease) {
  const std::pair<std::string, std::string> cases[] = {
      {"6.1.0-18-amd64", "6.1.0"}, {"5.15.153.1-microsoft-standard", "5.15.153"},
      {"6.8-rc1", "6.8.0"},        {"4.19.0+", "4.19.0"},
      {"06.01.00", "6.1.0"},       {"", "0.0.0"},
      {"linux", "0.0.0"},
  };
  for (const auto& [release, version] : cases) {
    EXPECT_EQ(osVersionFromRelease(release), version) << release;
  }
}

TEST(SystemIdentity, LocaleComesFromTheFirstSetVariable) {
  struct Case {
    std::map<std::string, std::string> environment;
    std::string language, country;
  };
  const Case cases[] = {
      {{{"LANG", "de_AT.UTF-8"}}, "de", "AT"},
      {{{"LC_ALL", "fr_CA"}, {"LC_MESSAGES", "it_IT"}, {"LANG", "de_AT"}}, "fr", "CA"},
      {{{"LC_ALL", ""}, {"LC_MESSAGES", "it_IT.UTF-8"}, {"LANG", "de_AT"}}, "it", "IT"},
      {{{"LANG", "sr_RS@latin"}}, "sr", "RS"},
      {{{"LANG", "es_419.UTF-8"}}, "es", "419"},
      {{{"LANG", "ast"}}, "ast", ""},
      {{}, "en", "US"},
      {{{"LANG", "C"}}, "en", "US"},
      {{{"LANG", "C.UTF-8"}}, "en", "US"},
      {{{"LC_ALL", "POSIX"}, {"LANG", "de_AT"}}, "en", "US"},
      {{{"LANG", "../../etc/passwd"}}, "en", "US"},
      {{{"LANG", "de_at"}}, "de", ""},
  };
  for (const Case& c : cases) {
    LocaleCodes codes = localeFromEnvironment([&](const char* name) -> const char* {
      auto found = c.environment.find(name);
      return found == c.environment.end() ? nullptr : found->second.c_str();
    });
    EXPECT_EQ(codes.language + "_" + codes.country, c.language + "_" + c.country);
  }
}

// The wiring to the running system; the parsing is covered above.
TEST(SystemIdentity, ComesFromUnameAndTheEnvironment) {
  struct utsname names {};
  ASSERT_EQ(::uname(&names), 0);
  const TelemetryIdentity identity = systemIdentity("1.2.3");
  EXPECT_EQ(identity.appVersion + " " + identity.osVersion + " " + identity.deviceType,
            "1.2.3 " + osVersionFromRelease(names.release) + " " + names.machine);
  EXPECT_FALSE(identity.language.empty());
}

}  // namespace
}  // namespace zorva
