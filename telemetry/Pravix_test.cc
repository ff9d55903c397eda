// The telemetry client as a whole: start-up, stored state, tags, caps and both uploads, on a
// ManualClock and an HTTP client that answers as scripted.

#include "telemetry/Pravix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/ScriptedHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kTrack = "/1/track?";
constexpr const char* kAppLog = "/1/app_log?";
constexpr int kNoConnection = 0;

HttpResponse reply(int status) {
  if (status != kNoConnection) return {.status = status};
  return {.transportError = "Couldn't connect to server", .transportCode = 7};
}

std::vector<std::string> numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

// Per record, its "log_line", else "kingdom", else "type".
std::vector<std::string> labels(const json& records) {
  std::vector<std::string> out;
  for (const json& record : records) {
    out.push_back(record.value("log_line", record.value("kingdom", record.value("type", "?"))));
  }
  return out;
}

class PravixTest : public ::testing::Test {
 protected:
  void start(SettingsStore& store, size_t eventCap = kDefaultRecordCap,
             size_t logCap = kDefaultRecordCap, std::optional<std::string> zone = std::nullopt,
             const std::string& org = "zorva") {
    pravix.reset();
    pravix = std::make_unique<Pravix>(
        Pravix::Dependencies{.settings = store,
                             .http = http,
                             .clock = clock,
                             .analyticsUrl = "https://analytics.test/",
                             .identity = {"1.2.3", "6.1.0", "x86_64", "de", "AT"},
                             .eventCap = eventCap,
                             .logCap = logCap},
        "key-1", org, std::move(zone));
    clock.settle();
  }
  // A start whose install and "dau" are already behind it.
  void startQuiet(SettingsStore& store, size_t eventCap = kDefaultRecordCap,
                  size_t logCap = kDefaultRecordCap) {
    store.set(Pravix::kInstallSentKey, true);
    store.set(Pravix::kLastDauKey, SettingValue(clock.now()));
    start(store, eventCap, logCap);
  }
  std::vector<std::vector<std::string>> batches(const std::string& route) const {
    std::vector<std::vector<std::string>> out;
    for (const auto& sent : http.sent()) {
      if (sent.request.url.find(route) != std::string::npos)
        out.push_back(labels(json::parse(sent.request.body)["events"]));
    }
    return out;
  }
  size_t storedCount(SettingsStore& store) { return store.getArray(StoredEventList::kKey)->size(); }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  ScriptedHttpClient http{clock};
  std::unique_ptr<Pravix> pravix;  // after what it uses
};

SettingValue storedRecords(int count) {
  SettingValue::Array records;
  for (const auto& name : numbered("r", 0, count)) {
    records.emplace_back(SettingValue::Dictionary{{"type", "event"}, {"kingdom", name}});
  }
  return records;
}

TEST_F(PravixTest, TheFirstStartRecordsInstallThenDauAndAStoredDeviceTagIsKeptUnlessUnusable) {
  http.hold();
  start(settings, kDefaultRecordCap, kDefaultRecordCap, std::nullopt, "My Org ÄÖ-x");
  const std::string tag = pravix->deviceTag();
  EXPECT_TRUE(std::regex_match(
      tag, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  const HttpRequest sent = http.sent().at(0).request;
  EXPECT_EQ(sent.url,
            "https://analytics.test/my_org_äö-x/1/track?current_time=2026-01-01T00:00:00Z");
  EXPECT_THAT(sent.headers, ElementsAre(std::pair{"Content-Type", "application/json"}));
  json body = json::parse(sent.body);
  body.erase("events");
  EXPECT_EQ(body, json::parse(R"({"api_key": "key-1", "app_ver": "1.2.3", "device_family": "linux",
      "os_ver": "6.1.0", "device_tag": ")" +
                              tag + R"(", "device_type": "x86_64",
      "language": "de", "country": "AT", "os": "Linux", "marketplace": "iTunes"})"));
  const std::pair<SettingValue, bool> stored[] = {
      {tag, true}, {"not-a-uuid", true}, {TelemetryTags::kZeroUuid, false},
      {"", false}, {int64_t{42}, false}, {"\xff\xfe", false},
  };
  for (const auto& [value, kept] : stored) {
    settings.set(TelemetryTags::kDeviceTagKey, value);
    start(settings);
    const std::string made = pravix->deviceTag();
    EXPECT_TRUE(kept ? made == *value.asString()
                     : made.size() == 36 && made != TelemetryTags::kZeroUuid)
        << made;
    EXPECT_EQ(settings.getString(TelemetryTags::kDeviceTagKey), made);
    start(settings);
    EXPECT_EQ(pravix->deviceTag(), made) << "reused on the next start";
  }
  EXPECT_THAT(labels(pravix->events()), ElementsAre("organic", "dau")) << "the unsent, no new";
}

TEST_F(PravixTest, BadStoredStateStartsCleanWithALine) {
  http.hold();
  settings.set(Pravix::kInstallSentKey, true);
  settings.set(Pravix::kLastDauKey, "yesterday");
  settings.set(StoredEventList::kKey, SettingValue::Dictionary{{"type", "x"}});
  start(settings);
  EXPECT_THAT(labels(pravix->events()), ElementsAre("dau"));
  EXPECT_THAT(log.texts(),
              ElementsAre("PX_LOG: pravix_lastDAUSend is not a date; the day counts as new",
                          "PX_LOG: pravix_eventList is not a list; starting an empty one"));
  log.clear();
  const SettingValue::Dictionary good{{"type", "kept"}, {"float1", 2.5}};
  settings.set(StoredEventList::kKey,
               SettingValue::Array{good, "text", int64_t{7},
                                   SettingValue::Dictionary{{"type", SettingValue::Array{}}},
                                   SettingValue::Dictionary{{"when", clock.now()}}, good});
  start(settings);
  EXPECT_THAT(labels(pravix->events()), ElementsAre("kept", "kept"));
  EXPECT_EQ(storedCount(settings), 2u) << "the store follows";
  EXPECT_THAT(log.texts(), ElementsAre("PX_LOG: dropped 4 stored events that are not records of "
                                       "strings and numbers"));
}

// Another process holds the settings at start-up: the stored events, tag and install mark are
// not taken for none. Events recorded meanwhile wait in memory and join the stored ones.
TEST_F(PravixTest, StoredStateThatCannotBeReadYetIsNeitherLostNorRedone) {
  http.hold();
  start(settings);
  pravix->eventWithProperties(json{{"kingdom", "stored"}});
  const auto tag = settings.getString(TelemetryTags::kDeviceTagKey);
  settings.setLocked(true);
  const size_t sent = http.sent().size();
  start(settings);
  pravix->eventWithProperties(json{{"kingdom", "meanwhile"}});
  pravix->log("waits too");
  clock.advance(Pravix::kSettingsRetry * 3);
  EXPECT_EQ(pravix->deviceTag(), "") << "no tag made up while the stored one is unknown";
  settings.setLocked(false);
  EXPECT_EQ(storedCount(settings), 3u) << "nothing written";
  EXPECT_EQ(http.sent().size(), sent) << "nothing sent without the device tag";
  clock.advance(Pravix::kSettingsRetry);
  EXPECT_EQ(pravix->deviceTag(), tag);
  EXPECT_THAT(labels(pravix->events()), ElementsAre("organic", "dau", "stored", "meanwhile"));
  EXPECT_EQ(storedCount(settings), 4u);
}

TEST_F(PravixTest, TagsAreCutByTheirLimitsAndTheSavedOnesSurviveARestart) {
  startQuiet(settings);
  const std::string u62(62, 'u');
  const std::pair<TelemetryTag, std::optional<std::string>> sets[] = {
      {TelemetryTag::User, u62},
      {TelemetryTag::Facebook, u62 + "x"},
      {TelemetryTag::Twitter, std::string(60, 't') + "😀b"},
      {TelemetryTag::Google, "g"},
      {TelemetryTag::Google, std::nullopt},
      {TelemetryTag::GameCenter, ""},
      {TelemetryTag::User, "\xc3"},
  };
  for (const auto& [which, value] : sets) pravix->setTag(which, value);
  EXPECT_THAT(log.texts(), ElementsAre("PX_LOG: userTag is not UTF-8 text; left unchanged"));
  EXPECT_FALSE(settings.get("pravix_userTag_googleTag").has_value());

  start(settings);
  pravix->setTag(TelemetryTag::Group, std::string(40, 'g'));
  pravix->setTag(TelemetryTag::ServerVer, std::string(16, '1'));
  pravix->setTag(TelemetryTag::ConfigVer, std::string(17, '2'));
  EXPECT_FALSE(settings.get("pravix_userTag_groupTag").has_value());
  pravix->eventWithProperties(json::object());
  clock.settle();
  json sent = json::parse(http.sent().back().request.body);
  EXPECT_EQ(
      json({sent["user_tag"], sent["facebook_tag"], sent["twitter_tag"], sent["game_center_tag"],
            sent["group_tag"], sent["server_ver"], sent["config_ver"]}),
      json({u62, std::string(61, 'u'), std::string(60, 't'), "", std::string(31, 'g'),
            std::string(16, '1'), std::string(15, '2')}));
  EXPECT_FALSE(sent.contains("google_tag"));
  start(settings);
  EXPECT_EQ(pravix->tag(TelemetryTag::Group), std::nullopt) << "not kept across restarts";
}

TEST_F(PravixTest, PastTheCapsTheOldestAreDroppedAndCounted) {
  http.hold();
  startQuiet(settings, /*eventCap=*/3, /*logCap=*/2);
  for (int i = 0; i < 5; ++i) pravix->eventWithProperties(json{{"kingdom", i}});
  EXPECT_THAT(labels(pravix->events()), ElementsAre("2", "3", "4"));
  EXPECT_EQ(storedCount(settings), 3u);
  pravix->log("in flight");  // goes out at once and is held
  clock.settle();
  for (const char* line : {"a", "b", "c", "d"}) pravix->log(line);
  EXPECT_THAT(labels(pravix->waitingLogLines()), ElementsAre("c", "d"));
  EXPECT_THAT(
      log.texts(),
      ElementsAre("PX_LOG: more than 3 events waiting; dropped the oldest 1 (1 so far)",
                  "PX_LOG: more than 3 events waiting; dropped the oldest 1 (2 so far)",
                  "PX_LOG: more than 2 log lines waiting; dropped the oldest 1 (1 so far)",
                  "PX_LOG: more than 2 log lines waiting; dropped the oldest 1 (2 so far)"));
  log.clear();
  startQuiet(settings, /*eventCap=*/2);
  EXPECT_EQ(pravix->events().size(), 2u) << "a smaller cap trims what was stored";
  EXPECT_THAT(log.texts(),
              ElementsAre("PX_LOG: more than 2 events waiting; dropped the oldest 1 (1 so far)"));
}

TEST_F(PravixTest, AnswersDecideWhetherABatchIsDroppedOrRetriedAfterThirtySeconds) {
  const std::string unknown = "PX_LOG: sendEvents: send complete: unknown error";
  const std::tuple<int, bool, std::vector<std::string>> cases[] = {
      {500, false, {unknown}},
      {kNoConnection, false, {unknown}},
      {403, true, {"PX_LOG: Bad authentication, please check your API Key"}},
      {409, true, {"PX_LOG: Conflict, dup send?"}},
      {400, true, {}},
  };
  for (const auto& [status, dropped, lines] : cases) {
    MemorySettingsStore store;
    store.set(StoredEventList::kKey, storedRecords(15));
    http.answer({reply(status), reply(200)});
    const size_t before = batches(kTrack).size();
    log.clear();
    startQuiet(store);
    EXPECT_EQ(log.texts(), lines) << status;
    EXPECT_EQ(storedCount(store), dropped ? 0u : 15u) << status;
    clock.advance(29s);
    EXPECT_EQ(batches(kTrack).size() - before, dropped ? 2u : 1u) << status;
    clock.advance(1s);
    ASSERT_EQ(batches(kTrack).size() - before, dropped ? 2u : 3u) << status;
    EXPECT_EQ(batches(kTrack).back(), numbered("r", 10, 15)) << status;
    EXPECT_THAT(pravix->events(), IsEmpty()) << status;
  }
}

// What is recorded while both uploads are in flight follows them, but a copy of a record just
// sent leaves with it, and what JSON cannot carry is dropped instead of holding back the rest.
TEST_F(PravixTest, RecordsDuringAnUploadFollowItWithoutCopiesOrUnsendableOnes) {
  startQuiet(settings);
  http.hold();
  pravix->eventWithProperties(json{{"kingdom", "same"}});
  pravix->log("first");
  clock.settle();
  for (const char* name : {"same", "a\xff", "b"})
    pravix->eventWithProperties(json{{"kingdom", name}});
  pravix->log("bad \xc3");
  pravix->log("good");
  http.release();
  clock.advance(1s);
  EXPECT_THAT(batches(kTrack), ElementsAre(ElementsAre("same"), ElementsAre("b")));
  EXPECT_THAT(batches(kAppLog), ElementsAre(ElementsAre("first"), ElementsAre("good")));
  EXPECT_THAT(pravix->events(), IsEmpty());
  EXPECT_THAT(log.texts(), ::testing::Contains("PX_LOG: dropping an event that cannot be sent: "
                                               "[json.exception.type_error.316] invalid UTF-8 "
                                               "byte at index 1: 0xFF"));
}

TEST_F(PravixTest, DauAfterMidnightInItsTimeZoneAndWhenTheClockGoesBack) {
  // Per step: the wall time it starts at (none: unchanged), how long then passes, and how many
  // "dau" there are so far. 15:05 UTC is past midnight in Tokyo; 12:00 the day before comes last.
  struct Step {
    std::optional<Clock::Duration> wall;
    Clock::Duration then;
    size_t utc, tokyo;
  };
  const Step steps[] = {{0s, 0s, 1, 1}, {{}, 600s, 1, 1},          {14h + 55min, 599s, 1, 1},
                        {{}, 1s, 1, 2}, {23h + 55min, 600s, 2, 2}, {-12h, 600s, 3, 3}};
  for (const std::optional<std::string>& zone :
       {std::optional<std::string>(), std::optional<std::string>("Asia/Tokyo")}) {
    MemorySettingsStore store;
    store.set(Pravix::kInstallSentKey, true);
    const size_t before = batches(kTrack).size();
    for (const Step& step : steps) {
      if (step.wall) clock.setWallTime(ManualClock::kDefaultStart + *step.wall);
      if (step.wall == 0s) start(store, kDefaultRecordCap, kDefaultRecordCap, zone);
      clock.advance(step.then);
      EXPECT_EQ(batches(kTrack).size() - before, zone ? step.tokyo : step.utc);
    }
    EXPECT_EQ(store.getDate(Pravix::kLastDauKey), clock.now());
  }
}

TEST_F(PravixTest, WaitingLinesGoOutLiterallyTenAtATimeOneSecondApart) {
  startQuiet(settings);
  http.hold();
  pravix->logError("alone 100%@%d");
  clock.settle();
  for (const auto& line : numbered("l", 0, 25)) pravix->log(line);
  http.release();
  const HttpRequest first = http.sent().at(0).request;
  EXPECT_EQ(first.url, "https://analytics.test/zorva/1/app_log?current_time=2026-01-01T00:00:00Z");
  const json body = json::parse(first.body);
  EXPECT_EQ(body.size(), 11u) << "identity and events; no tags";
  EXPECT_EQ(body["events"], json::array({{{"event_datetime", "2026-01-01T00:00:00Z"},
                                          {"log_line", "alone 100%@%d"},
                                          {"log_level", "error"}}}));
  for (auto [from, to] : {std::pair{0, 10}, {10, 20}, {20, 25}}) {
    clock.advance(999ms);
    EXPECT_EQ(batches(kAppLog).size(), static_cast<size_t>(1 + from / 10));
    clock.advance(1ms);
    EXPECT_EQ(batches(kAppLog).back(), numbered("l", from, to));
  }
}

// Ten old lines go out in the second request, whose answer comes while three newer lines wait.
TEST_F(PravixTest, AFailedLogBatchGoesBehindNewerLinesAndARejectedOneIsDropped) {
  struct Case {
    int status;
    size_t cap;
    std::string line;
    std::vector<std::string> waiting;
  };
  const std::vector<std::string> fresh = numbered("new", 0, 3);
  std::vector<std::string> putBack = fresh;
  for (const auto& old : numbered("old", 0, 10)) putBack.push_back(old);
  std::vector<std::string> capped = fresh;
  capped.insert(capped.end(), putBack.begin() + 5, putBack.end());
  const Case cases[] = {
      {500, kDefaultRecordCap, "PX_LOG: sendEvents: send complete: unknown error", putBack},
      {kNoConnection, kDefaultRecordCap, "PX_LOG: error from url: 7, Couldn't connect to server",
       putBack},
      {500, 11, "PX_LOG: more than 11 log lines waiting; dropped the oldest 2 (2 so far)", capped},
      {403, kDefaultRecordCap, "PX_LOG: Bad authentication, please check your API Key", fresh},
      {409, kDefaultRecordCap, "PX_LOG: Conflict, dup send?", fresh},
      {400, kDefaultRecordCap, "PX_LOG: bad log send 400", fresh},
  };
  for (const Case& c : cases) {
    MemorySettingsStore store;
    startQuiet(store, kDefaultRecordCap, c.cap);
    const size_t before = batches(kAppLog).size();
    http.answer({reply(200), reply(c.status), reply(200)});
    log.clear();
    for (const auto& [line, more] : {std::pair{"first", numbered("old", 0, 10)}, {"", fresh}}) {
      http.hold();
      line[0] ? pravix->log(line) : clock.advance(1s);
      clock.settle();
      for (const auto& later : more) pravix->log(later);
      http.release();
      clock.settle();
    }
    EXPECT_EQ(log.texts().back(), c.line) << c.status;
    EXPECT_EQ(labels(pravix->waitingLogLines()), c.waiting) << c.status;
    const bool retry = c.waiting.size() > 3;
    clock.advance(retry ? 29s : 999ms);
    EXPECT_EQ(batches(kAppLog).size() - before, 2u) << c.status;
    clock.advance(retry ? 1s : 1ms);
    EXPECT_EQ(batches(kAppLog).size() - before, 3u) << c.status;
    const auto next = std::min<size_t>(c.waiting.size(), Pravix::kBatchSize);
    EXPECT_EQ(batches(kAppLog).back(), std::vector(c.waiting.begin(), c.waiting.begin() + next));
  }
}

TEST_F(PravixTest, RecordsAndLinesFromManyThreadsAllArrive) {
  startQuiet(settings);
  http.answer({reply(500), reply(200), reply(500), reply(500), reply(200)});
  constexpr int kThreads = 4;
  constexpr int kEach = 30;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (const auto& name : numbered(std::to_string(t) + "-", 0, kEach)) {
        pravix->eventWithProperties(json{{"kingdom", name}});
        pravix->logError(name);
        if (name.back() == '0') pravix->setTag(TelemetryTag::Group, "g" + name);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int step = 0; step < 200 && !pravix->waitingLogLines().empty(); ++step) clock.advance(1s);
  clock.advance(30s);
  std::set<std::string> events, lines;
  for (const auto& batch : batches(kTrack)) events.insert(batch.begin(), batch.end());
  for (const auto& batch : batches(kAppLog)) lines.insert(batch.begin(), batch.end());
  EXPECT_EQ(events.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_THAT(pravix->events(), IsEmpty());
}

}  // namespace
}  // namespace zorva
