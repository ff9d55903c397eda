#include "service/Config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
  EXPECT_EQ(root.bus.kind, BusAddress::Kind::System);
  EXPECT_EQ(root.stateDir, "/var/lib/zorva");
  EXPECT_EQ(root.logTarget, LogTarget::Journal);
  EXPECT_EQ(root.eventSource, Config::EventSourceKind::Fanotify);
  EXPECT_TRUE(root.backendUrl.starts_with("https://"));
  EXPECT_TRUE(root.analyticsUrl.starts_with("https://"));

  Config user = load({{"HOME", "/home/u"}});
  EXPECT_EQ(user.bus.kind, BusAddress::Kind::Session);
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
  EXPECT_EQ(config.bus.kind, BusAddress::Kind::Address);
  EXPECT_EQ(config.bus.address, "unix:path=/run/x/bus");
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

class StateDir : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(base); }
  static unsigned modeOf(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
  const std::filesystem::path base =
      std::filesystem::temp_directory_path() / ("zorva-config-test-" + std::to_string(::getpid()));
};

TEST_F(StateDir, IsCreatedForTheServiceAloneWhateverTheUmask) {
  for (const char* given : {"a/b", "c/d/"}) {
    // A umask of 0 would leave a folder made with the default mode open to everyone.
    const mode_t saved = ::umask(0);
    std::string warning;
    const auto error = prepareStateDir((base / given).string(), &warning);
    ::umask(saved);
    EXPECT_EQ(error, std::nullopt) << given;
    const auto folder = (base / given).lexically_normal();
    EXPECT_EQ(modeOf(folder.has_filename() ? folder : folder.parent_path()), 0700u) << given;
    EXPECT_EQ(modeOf(base), 0777u) << "parents are ordinary folders";
    EXPECT_EQ(warning, "") << given;
  }
}

TEST_F(StateDir, AnExistingFolderIsLeftAsItIsWithAWarningWhenOthersMayEnter) {
  struct Case {
    unsigned mode;
    bool warned;
  };
  for (Case c : {Case{0755, true}, Case{0710, true}, Case{0700, false}}) {
    std::filesystem::create_directories(base / "state");
    ASSERT_EQ(::chmod((base / "state").c_str(), c.mode), 0);
    std::string warning;
    EXPECT_EQ(prepareStateDir((base / "state").string(), &warning), std::nullopt);
    EXPECT_EQ(modeOf(base / "state"), c.mode);
    EXPECT_EQ(warning.find("open to other users") != std::string::npos, c.warned)
        << std::oct << c.mode << ": " << warning;
  }
}

TEST_F(StateDir, APathThatCannotBeAFolderIsRejected) {
  std::filesystem::create_directories(base);
  std::ofstream(base / "file") << "x";
  for (const char* given : {"file/sub", "file"}) {
    auto error = prepareStateDir((base / given).string());
    ASSERT_TRUE(error.has_value()) << given;
    EXPECT_TRUE(error->message.starts_with("ZORVA_STATE_DIR=")) << error->message;
  }
}

}  // namespace
}  // namespace zorva
