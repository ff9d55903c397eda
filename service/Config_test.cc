#include "service/Config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace zorva {
namespace {

ConfigEnvironment environment(std::map<std::string, std::string> values, bool isRoot = false,
                              bool journal = false) {
  auto shared = std::make_shared<std::map<std::string, std::string>>(std::move(values));
  return {[shared](const char* name) -> const char* {
            auto found = shared->find(name);
            return found == shared->end() ? nullptr : found->second.c_str();
          },
          isRoot, journal};
}

Config load(std::map<std::string, std::string> values, bool isRoot = false, bool journal = false) {
  auto loaded = loadConfig(environment(std::move(values), isRoot, journal));
  if (auto* error = std::get_if<ConfigError>(&loaded)) ADD_FAILURE() << error->message;
  return std::get<Config>(loaded);
}

std::string errorOf(std::map<std::string, std::string> values, bool withHome = true) {
  if (withHome) values.emplace("HOME", "/home/u");
  auto loaded = loadConfig(environment(std::move(values)));
  if (auto* error = std::get_if<ConfigError>(&loaded)) return error->message;
  return "(accepted)";
}

TEST(Config, DefaultsDependOnPrivilegesAndTheJournal) {
  Config root = load({}, /*isRoot=*/true, /*journal=*/true);
  EXPECT_EQ(root.bus, Config::Bus::System);
  EXPECT_EQ(root.stateDir, "/var/lib/zorva");
  EXPECT_EQ(root.logTarget, LogTarget::Journal);
  EXPECT_EQ(root.eventSource, Config::EventSourceKind::Fanotify);
  EXPECT_TRUE(root.backendUrl.starts_with("https://"));
  EXPECT_TRUE(root.analyticsUrl.starts_with("https://"));

  Config user = load({{"HOME", "/home/u"}});
  EXPECT_EQ(user.bus, Config::Bus::Session);
  EXPECT_EQ(user.stateDir, "/home/u/.local/state/zorva");
  EXPECT_EQ(user.logTarget, LogTarget::Stderr);
  EXPECT_EQ(load({{"HOME", "/home/u"}, {"XDG_STATE_HOME", "/x"}}).stateDir, "/x/zorva");
}

TEST(Config, ReadsEveryVariable) {
  Config config = load({{"ZORVA_BUS", "unix:path=/run/x/bus"},
                        {"ZORVA_BACKEND_URL", "https://127.0.0.1:8443"},
                        {"ZORVA_ANALYTICS_URL", "http://localhost:9000"},
                        {"ZORVA_CA_FILE", "/proc/self/exe"},
                        {"ZORVA_STATE_DIR", "/tmp/state"},
                        {"ZORVA_EVENT_SOURCE", "replay:-"},
                        {"ZORVA_LOG", "off"},
                        {"ZORVA_LOG_LEVEL", "error"}});
  EXPECT_EQ(config.bus, Config::Bus::Address);
  EXPECT_EQ(config.busAddress, "unix:path=/run/x/bus");
  EXPECT_EQ(config.backendUrl, "https://127.0.0.1:8443");
  EXPECT_EQ(config.analyticsUrl, "http://localhost:9000");
  EXPECT_EQ(config.stateDir, "/tmp/state");
  EXPECT_EQ(config.eventSource, Config::EventSourceKind::Replay);
  EXPECT_EQ(config.replayPath, "-");
  EXPECT_EQ(config.logTarget, LogTarget::Off);
  EXPECT_EQ(config.logLevel, LogLevel::Error);
}

TEST(Config, BadValuesNameTheirVariableAndNeverFallBack) {
  EXPECT_EQ(errorOf({{"ZORVA_BUS", "sytem"}}),
            "ZORVA_BUS=\"sytem\": expected system, session or a D-Bus address");
  EXPECT_TRUE(errorOf({{"ZORVA_BACKEND_URL", "ftp://x"}}).starts_with("ZORVA_BACKEND_URL="));
  EXPECT_TRUE(errorOf({{"ZORVA_ANALYTICS_URL", "https://"}}).starts_with("ZORVA_ANALYTICS_URL="));
  EXPECT_TRUE(errorOf({{"ZORVA_CA_FILE", "/no/such.pem"}}).starts_with("ZORVA_CA_FILE="));
  EXPECT_TRUE(errorOf({{"ZORVA_CA_FILE", "/tmp"}}).starts_with("ZORVA_CA_FILE="));
  EXPECT_TRUE(errorOf({{"ZORVA_STATE_DIR", ""}}).starts_with("ZORVA_STATE_DIR="));
  EXPECT_TRUE(errorOf({{"ZORVA_EVENT_SOURCE", "replay:"}}).starts_with("ZORVA_EVENT_SOURCE="));
  EXPECT_TRUE(errorOf({{"ZORVA_EVENT_SOURCE", "inotify"}}).starts_with("ZORVA_EVENT_SOURCE="));
  EXPECT_TRUE(errorOf({{"ZORVA_LOG", "syslog"}}).starts_with("ZORVA_LOG="));
  EXPECT_TRUE(errorOf({{"ZORVA_LOG_LEVEL", "debug"}}).starts_with("ZORVA_LOG_LEVEL="));
  EXPECT_EQ(errorOf({}, /*withHome=*/false),
            "ZORVA_STATE_DIR is not set, and neither XDG_STATE_HOME nor HOME is");
}

TEST(Config, StateDirIsCreatedOrRejected) {
  auto base =
      std::filesystem::temp_directory_path() / ("zorva-config-test-" + std::to_string(::getpid()));
  EXPECT_EQ(prepareStateDir((base / "a/b").string()), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_directory(base / "a/b"));
  std::ofstream(base / "file") << "x";
  auto error = prepareStateDir((base / "file/sub").string());
  ASSERT_TRUE(error.has_value());
  EXPECT_TRUE(error->message.starts_with("ZORVA_STATE_DIR=")) << error->message;
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace zorva
