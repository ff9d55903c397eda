#include "platform/log/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using Fields = std::map<std::string, std::string>;

struct RecordingTelemetry final : LogForwarder {
  RecordingTelemetry() { setLogForwarder(this); }
  ~RecordingTelemetry() override { setLogForwarder(nullptr); }
  void log(const std::string& line) override { lines.push_back("log:" + line); }
  void logError(const std::string& line) override { lines.push_back("logError:" + line); }
  std::vector<std::string> lines;
};

// Each function writes its prefix at its level; fields go beside the text, never into it, and
// fault lines carry their kind. A file named like a format, line breaks included, comes out as it
// is. Only remote and error lines reach telemetry, as the bare message, even at a level not
// written.
TEST(Log, EachFunctionWritesItsPrefixLevelAndFieldsAndForwardsOnlyRemoteAndErrorLines) {
  MemoryLogWriter writer;
  ZorvaError(FaultKind::Store, "before telemetry: %d", 0);  // no forwarder yet: still written
  ASSERT_EQ(writer.texts(), std::vector<std::string>{"ZORVA_LOG: ERROR: before telemetry: 0"});
  writer.clear();
  RecordingTelemetry telemetry;
  const std::string source = "/media/usb/%@ %d %s %%\nZORVA_VOLUME_ID=9\xff";
  ZorvaLog({.volumeId = 7, .source = source, .exe = std::nullopt, .pid = 42, .kind = "rename"},
           "PathTracker.track: volumeId: %ld, %@ => %@", int64_t{7}, source, std::string("/tmp"));
  ZorvaRemote("copied %@", source);
  ZorvaError(FaultKind::EventSource, "Failed to create new ES client: %d\n", 3);
  std::vector<std::tuple<LogLevel, std::string, Fields>> lines;
  for (const auto& line : writer.lines()) lines.emplace_back(line.level, line.text, line.fields);
  EXPECT_THAT(
      lines,
      ElementsAre(
          std::tuple(LogLevel::Default,
                     "ZORVA_LOG: PathTracker.track: volumeId: 7, " + source + " => /tmp",
                     Fields{{"ZORVA_KIND", "rename"},
                            {"ZORVA_PID", "42"},
                            {"ZORVA_SOURCE", source},
                            {"ZORVA_VOLUME_ID", "7"}}),
          std::tuple(LogLevel::Default, "ZORVA_LOG: REMOTE: copied " + source, Fields{}),
          std::tuple(LogLevel::Error, "ZORVA_LOG: ERROR: Failed to create new ES client: 3\n",
                     Fields{{"ZORVA_KIND", "event-source"}})));
  EXPECT_EQ(exceptionDescription(std::runtime_error("boom")), "std::runtime_error: boom");

  MemoryLogWriter errorsOnly(LogLevel::Error);
  ZorvaLog("not written");
  ZorvaLog({.volumeId = 7, .kind = "rename"}, "not written either");
  ZorvaRemote("forwarded anyway");
  ZorvaError(FaultKind::Bus, "written and forwarded");
  EXPECT_THAT(errorsOnly.texts(), ElementsAre("ZORVA_LOG: ERROR: written and forwarded"));
  EXPECT_THAT(telemetry.lines,
              ElementsAre("log:copied " + source, "logError:Failed to create new ES client: 3\n",
                          "log:forwarded anyway", "logError:written and forwarded"));
}

}  // namespace
}  // namespace zorva
