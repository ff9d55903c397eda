#include "service/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/log/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::ElementsAre;

class RecordingTelemetry final : public TelemetryLog {
 public:
  RecordingTelemetry() { setTelemetryLog(this); }
  ~RecordingTelemetry() override { setTelemetryLog(nullptr); }

  void log(const std::string& line) override { lines.push_back("log:" + line); }
  void logError(const std::string& line) override { lines.push_back("logError:" + line); }

  std::vector<std::string> lines;
};

TEST(Log, EachFunctionWritesItsPrefixAndLevel) {
  MemoryLogWriter writer;
  ZorvaLog("launch app: %@", std::string("0.1.0"));
  ZorvaRemote("copied %@", std::string("/a"));
  ZorvaError("Failed to create new ES client: %d", 3);
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
  ZorvaError("failed %d", 1);
  EXPECT_THAT(telemetry.lines, ElementsAre("log:found x", "logError:failed 1"));
}

TEST(Log, PercentSignsAndLineBreaksPassThroughUnchanged) {
  MemoryLogWriter writer;
  RecordingTelemetry telemetry;
  std::string path = "/media/usb/%@ report %d %s %%.txt";
  ZorvaRemote("copy %@", path);
  ZorvaError("Unexpected event type encountered: %d\n", 999);
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
  ZorvaRemote("forwarded anyway");
  ZorvaError("written and forwarded");
  EXPECT_THAT(writer.texts(), ElementsAre("ZORVA_LOG: ERROR: written and forwarded"));
  EXPECT_THAT(telemetry.lines,
              ElementsAre("log:forwarded anyway", "logError:written and forwarded"));
}

TEST(Log, WithoutTelemetryClientNothingIsForwardedAndTheLineIsStillWritten) {
  MemoryLogWriter writer;
  ASSERT_EQ(telemetryLog(), nullptr);
  ZorvaError("early failure");
  EXPECT_THAT(writer.texts(), ElementsAre("ZORVA_LOG: ERROR: early failure"));
}

TEST(Log, CallableFromManyThreadsAtOnce) {
  MemoryLogWriter writer;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) ZorvaError("thread %d line %d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(writer.lines().size(), 400u);
}

TEST(Log, ExceptionDescriptionNamesTheTypeAndReason) {
  EXPECT_EQ(exceptionDescription(std::runtime_error("boom")), "std::runtime_error: boom");
}

}  // namespace
}  // namespace zorva
