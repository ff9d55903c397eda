#include "platform/log/Log.h"

#include <gtest/gtest.h>

#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using Lines = std::vector<std::string>;

struct RecordingTelemetry final : LogForwarder {
  RecordingTelemetry() { setLogForwarder(this); }
  ~RecordingTelemetry() override { setLogForwarder(nullptr); }
  void log(const std::string& line) override { lines.push_back("log:" + line); }
  void logError(const std::string& line) override { lines.push_back("logError:" + line); }
  Lines lines;
};

// Each function writes its prefix at its level; fields go beside the text, never into it, and
// fault lines carry their kind. A file named like a format, line breaks included, comes out as it
// is. Only remote and error lines reach telemetry, as the bare message, even at a level not
// written.
TEST(Log, EachFunctionWritesItsPrefixLevelAndFieldsAndForwardsOnlyRemoteAndErrorLines) {
  MemoryLogWriter writer;
  ZorvaError(FaultKind::Store, "before telemetry: %d", 0);  // no forwarder yet: still written
  ASSERT_EQ(writer.texts(), Lines{"ZORVA_LOG: ERROR: before telemetry: 0"});
  writer.clear();
  RecordingTelemetry telemetry;
  const std::string source = "/u/%@ %d %s %%\nZORVA_VOLUME_ID=9\xff";
  ZorvaLog({.volumeId = 7, .source = source, .exe = std::nullopt, .kind = "rename"},
           "track: %ld, %@ => %@", int64_t{7}, source, std::string("/tmp"));
  ZorvaRemote("copied %@", source);
  ZorvaError(FaultKind::EventSource, "no client: %d\n", 3);
  const std::vector<MemoryLogWriter::Line> lines = {
      {LogLevel::Default,
       "ZORVA_LOG: track: 7, " + source + " => /tmp",
       {{"ZORVA_KIND", "rename"}, {"ZORVA_SOURCE", source}, {"ZORVA_VOLUME_ID", "7"}}},
      {LogLevel::Default, "ZORVA_LOG: REMOTE: copied " + source, {}},
      {LogLevel::Error, "ZORVA_LOG: ERROR: no client: 3\n", {{"ZORVA_KIND", "event-source"}}}};
  EXPECT_EQ(writer.lines(), lines);
  EXPECT_EQ(exceptionDescription(std::runtime_error("boom")), "std::runtime_error: boom");

  MemoryLogWriter errorsOnly(LogLevel::Error);
  ZorvaLog("not written");
  ZorvaLog({.volumeId = 7, .kind = "rename"}, "not written either");
  ZorvaRemote("forwarded anyway");
  ZorvaError(FaultKind::Bus, "written and forwarded");
  EXPECT_EQ(errorsOnly.texts(), Lines{"ZORVA_LOG: ERROR: written and forwarded"});
  EXPECT_EQ(telemetry.lines, (Lines{"log:copied " + source, "logError:no client: 3\n",
                                    "log:forwarded anyway", "logError:written and forwarded"}));
}

}  // namespace
}  // namespace zorva
