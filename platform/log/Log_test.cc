#include "platform/log/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordingTelemetry final : public LogForwarder {
 public:
  RecordingTelemetry() { setLogForwarder(this); }
  ~RecordingTelemetry() override { setLogForwarder(nullptr); }

  void log(const std::string& line) override { lines.push_back("log:" + line); }
  void logError(const std::string& line) override { lines.push_back("logError:" + line); }

  std::vector<std::string> lines;
};

TEST(Log, EachFunctionWritesItsPrefixAndLevel) {
  MemoryLogWriter writer;
  ZorvaLog("launch app: %@", std::string("0.1.0"));
  ZorvaRemote("copied %@", std::string("/a"));
  ZorvaError(FaultKind::EventSource, "Failed to create new ES client: %d", 3);
  auto lines = writer.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "ZORVA_LOG: launch app: 0.1.0");
  EXPECT_EQ(lines[0].level, LogLevel::Default);
  EXPECT_EQ(lines[1].text, "ZORVA_LOG: REMOTE: copied /a");
  EXPECT_EQ(lines[1].level, LogLevel::Default);
  EXPECT_EQ(lines[2].text, "ZORVA_LOG: ERROR: Failed to create new ES client: 3");
  EXPECT_EQ(lines[2].level, LogLevel::Error);
}

TEST(Log, OnlyRemoteAndErrorReachTelemetryAsTheBareMessage) {
  MemoryLogWriter writer;
  RecordingTelemetry telemetry;
  ZorvaLog("progress");
  ZorvaRemote("found %@", std::string("x"));
  ZorvaError(FaultKind::Store, "failed %d", 1);
  EXPECT_THAT(telemetry.lines, ElementsAre("log:found x", "logError:failed 1"));
}

TEST(Log, PercentSignsAndLineBreaksPassThroughUnchanged) {
  MemoryLogWriter writer;
  RecordingTelemetry telemetry;
  std::string path = "/media/usb/%@ report %d %s %%.txt";
  ZorvaRemote("copy %@", path);
  ZorvaError(FaultKind::EventSource, "Unexpected event type encountered: %d\n", 999);
  EXPECT_THAT(writer.texts(), ElementsAre("ZORVA_LOG: REMOTE: copy " + path,
                                          "ZORVA_LOG: ERROR: Unexpected event type "
                                          "encountered: 999\n"));
  EXPECT_THAT(telemetry.lines,
              ElementsAre("log:copy " + path, "logError:Unexpected event type encountered: 999\n"));
}

TEST(Log, DisabledLevelsSaveOnlyTheLogWrite) {
  MemoryLogWriter writer(LogLevel::Error);  // default level off
  RecordingTelemetry telemetry;
  ZorvaLog("not written");
  ZorvaLog({.volumeId = 7, .kind = "rename"}, "not written either");
  ZorvaRemote("forwarded anyway");
  ZorvaError(FaultKind::Bus, "written and forwarded");
  EXPECT_THAT(writer.texts(), ElementsAre("ZORVA_LOG: ERROR: written and forwarded"));
  EXPECT_THAT(telemetry.lines,
              ElementsAre("log:forwarded anyway", "logError:written and forwarded"));
}

TEST(Log, WithoutTelemetryClientNothingIsForwardedAndTheLineIsStillWritten) {
  MemoryLogWriter writer;
  ASSERT_EQ(logForwarder(), nullptr);
  ZorvaError(FaultKind::Store, "early failure");
  EXPECT_THAT(writer.texts(), ElementsAre("ZORVA_LOG: ERROR: early failure"));
}

TEST(Log, CallableFromManyThreadsAtOnce) {
  MemoryLogWriter writer;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) ZorvaError(FaultKind::Bus, "thread %d line %d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(writer.lines().size(), 400u);
}

// The journal selects lines by their fields; the text, every other writer and the telemetry
// client see exactly what they saw without them.
TEST(Log, FieldsGoBesideTheTextAndFaultLinesCarryTheirKind) {
  using Fields = std::map<std::string, std::string>;
  MemoryLogWriter writer;
  RecordingTelemetry telemetry;
  const std::string source = "/media/usb/a\nZORVA_VOLUME_ID=9 %@\xff";
  ZorvaLog({.volumeId = 7, .source = source, .exe = std::nullopt, .pid = 42, .kind = "rename"},
           "PathTracker.track: volumeId: %ld, %@ => %@", int64_t{7}, source, std::string("/tmp"));
  ZorvaError(FaultKind::Store, "Failed to store setting %@: %@", std::string("k"),
             std::string("database is locked"));
  ZorvaRemote("track: %@", source);
  auto lines = writer.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "ZORVA_LOG: PathTracker.track: volumeId: 7, " + source + " => /tmp");
  EXPECT_EQ(lines[0].fields, (Fields{{"ZORVA_KIND", "rename"},
                                     {"ZORVA_PID", "42"},
                                     {"ZORVA_SOURCE", source},
                                     {"ZORVA_VOLUME_ID", "7"}}));
  EXPECT_EQ(lines[1].text, "ZORVA_LOG: ERROR: Failed to store setting k: database is locked");
  EXPECT_EQ(lines[1].fields, (Fields{{"ZORVA_KIND", "store"}}));
  EXPECT_THAT(lines[2].fields, IsEmpty());
  EXPECT_THAT(telemetry.lines, ElementsAre("logError:Failed to store setting k: database is locked",
                                           "log:track: " + source));
}

TEST(Log, ExceptionDescriptionNamesTheTypeAndReason) {
  EXPECT_EQ(exceptionDescription(std::runtime_error("boom")), "std::runtime_error: boom");
}

}  // namespace
}  // namespace zorva
