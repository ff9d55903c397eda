#include "telemetry/SystemIdentity.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <array>
#include <string_view>

namespace zorva {
namespace {

TEST(SystemIdentity, OsVersionIsTheReleasesFirstThreeNumbersAndLocaleTheFirstSetVariables) {
  const std::pair<std::string, std::string> cases[] = {
      {"6.1.0-18-amd64", "6.1.0"}, {"5.15.153.1-microsoft", "5.15.153"},
      {"6.8-rc1", "6.8.0"},        {"4.19.0+", "4.19.0"},
      {"06.01.00", "6.1.0"},       {"linux", "0.0.0"},
  };
  for (const auto& [release, version] : cases) EXPECT_EQ(osVersionFromRelease(release), version);
  // LC_ALL, LC_MESSAGES and LANG (null: unset), and the language and country taken.
  const std::array<const char*, 4> locales[] = {
      {nullptr, nullptr, "de_AT.UTF-8", "de_AT"},   {"fr_CA", "it_IT", "de_AT", "fr_CA"},
      {"", "it_IT.UTF-8", "de_AT", "it_IT"},        {nullptr, nullptr, "sr_RS@latin", "sr_RS"},
      {nullptr, nullptr, "es_419.UTF-8", "es_419"}, {nullptr, nullptr, "ast", "ast_"},
      {nullptr, nullptr, nullptr, "en_US"},         {nullptr, nullptr, "C.UTF-8", "en_US"},
      {"POSIX", nullptr, "de_AT", "en_US"},         {nullptr, nullptr, "../../etc/passwd", "en_US"},
      {nullptr, nullptr, "de_at", "de_"},
  };
  for (const auto& c : locales) {
    LocaleCodes codes = localeFromEnvironment([&](const char* name) {
      return c[std::string_view(name) == "LC_ALL" ? 0 : std::string_view(name) == "LANG" ? 2 : 1];
    });
    EXPECT_EQ(codes.language + "_" + codes.country, c[3]);
  }
}

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
