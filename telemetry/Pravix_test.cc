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
using Lines = std::vector<std::string>;

constexpr const char* kTrack = "/1/track?";
constexpr const char* kAppLog = "/1/app_log?";

HttpResponse reply(int status) {  // 0: no connection
  return status ? HttpResponse{.status = status}
                : HttpResponse{.transportError = "Couldn't connect to server", .transportCode = 7};
}

Lines numbered(const std::string& prefix, int from, int to) {
  Lines out;
  for (int i = from; i < to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

// Per record, its "log_line", else "kingdom", else "type".
Lines labels(const json& records) {
  Lines out;
  for (const json& r : records)
    out.push_back(r.value("log_line", r.value("kingdom", r.value("type", "?"))));
  return out;
}

struct Options {
  size_t eventCap = kDefaultRecordCap, logCap = kDefaultRecordCap;
  bool quiet = false;  // install and "dau" already behind it
  std::optional<std::string> zone{};
  std::string org = "zorva";
};

class PravixTest : public ::testing::Test {
 protected:
  void start(SettingsStore& store, const Options& o = {}) {
    if (o.quiet) {
      store.set(Pravix::kInstallSentKey, true);
      store.set(Pravix::kLastDauKey, SettingValue(clock.now()));
    }
    pravix.reset();
    const TelemetryIdentity identity{"1.2.3", "6.1.0", "x86_64", "de", "AT"};
    pravix =
        std::make_unique<Pravix>(Pravix::Dependencies{store, http, clock, "https://analytics.test/",
                                                      identity, o.eventCap, o.logCap},
                                 "key-1", o.org, o.zone);
    clock.settle();
  }
  std::vector<Lines> batches(const std::string& route) const {
    std::vector<Lines> out;
    for (const auto& sent : http.sent())
      if (sent.request.url.find(route) != std::string::npos)
        out.push_back(labels(json::parse(sent.request.body)["events"]));
    return out;
  }
  // The console lines so far, after "PX_LOG: ", one per "|"; taken from the log.
  std::string taken() {
    std::string out;
    for (const auto& text : log.texts()) out += (out.empty() ? "" : "|") + text.substr(8);
    log.clear();
    return out;
  }
  size_t storedCount(SettingsStore& store) { return store.getArray(StoredEventList::kKey)->size(); }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  ScriptedHttpClient http{clock};
  std::unique_ptr<Pravix> pravix;  // after what it uses
};

TEST_F(PravixTest, TheFirstStartRecordsInstallThenDauAndAStoredDeviceTagIsKeptUnlessUnusable) {
  http.hold();
  start(settings, {.org = "My Org ÄÖ-x"});
  const std::string tag = pravix->deviceTag();
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(tag, uuid));
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
    EXPECT_TRUE(kept ? made == *value.asString() : std::regex_match(made, uuid)) << made;
    EXPECT_EQ(settings.getString(TelemetryTags::kDeviceTagKey), made);
    start(settings);
    EXPECT_EQ(pravix->deviceTag(), made) << "reused on the next start";
  }
  EXPECT_THAT(labels(pravix->events()), ElementsAre("organic", "dau")) << "the unsent, no new";
}

// Another process holds the settings at start-up: the stored events, tag and install mark are
// not taken for none. Events recorded meanwhile wait in memory and join the stored ones.
TEST_F(PravixTest, StoredStateIsNeitherLostNorRedoneWhileUnreadableAndStartsCleanWhenBad) {
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
  EXPECT_EQ(std::tuple(storedCount(settings), http.sent().size()), std::tuple(3u, sent))
      << "nothing written, nothing sent without the device tag";
  clock.advance(Pravix::kSettingsRetry);
  EXPECT_EQ(pravix->deviceTag(), tag);
  EXPECT_THAT(labels(pravix->events()), ElementsAre("organic", "dau", "stored", "meanwhile"));
  EXPECT_EQ(storedCount(settings), 4u);
  log.clear();

  settings.set(Pravix::kLastDauKey, "yesterday");
  settings.set(StoredEventList::kKey, SettingValue::Dictionary{{"type", "x"}});
  start(settings);
  EXPECT_THAT(labels(pravix->events()), ElementsAre("dau"));
  EXPECT_EQ(taken(),
            "pravix_lastDAUSend is not a date; the day counts as new|"
            "pravix_eventList is not a list; starting an empty one");
  const SettingValue::Dictionary good{{"type", "kept"}, {"float1", 2.5}};
  settings.set(StoredEventList::kKey,
               SettingValue::Array{good, "text", int64_t{7},
                                   SettingValue::Dictionary{{"type", SettingValue::Array{}}},
                                   SettingValue::Dictionary{{"when", clock.now()}}, good});
  start(settings);
  EXPECT_THAT(labels(pravix->events()), ElementsAre("kept", "kept"));
  EXPECT_EQ(storedCount(settings), 2u) << "the store follows";
  EXPECT_EQ(taken(), "dropped 4 stored events that are not records of strings and numbers");
}

TEST_F(PravixTest, TagsAreCutByTheirLimitsAndTheSavedOnesSurviveARestart) {
  start(settings, {.quiet = true});
  const std::string u62(62, 'u');
  using enum TelemetryTag;
  const std::pair<TelemetryTag, std::optional<std::string>> sets[] = {
      {User, u62},   {Facebook, u62 + "x"},  {Twitter, std::string(60, 't') + "😀b"},
      {Google, "g"}, {Google, std::nullopt}, {GameCenter, ""},
      {User, "\xc3"}};
  for (const auto& [which, value] : sets) pravix->setTag(which, value);
  EXPECT_EQ(taken(), "userTag is not UTF-8 text; left unchanged");
  EXPECT_FALSE(settings.get("pravix_userTag_googleTag").has_value());

  start(settings);
  pravix->setTag(Group, std::string(40, 'g'));
  pravix->setTag(ServerVer, std::string(16, '1'));
  pravix->setTag(ConfigVer, std::string(17, '2'));
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
  EXPECT_EQ(pravix->tag(Group), std::nullopt) << "not kept across restarts";
}

TEST_F(PravixTest, PastTheCapsTheOldestAreDroppedAndCounted) {
  http.hold();
  start(settings, {.eventCap = 3, .logCap = 2, .quiet = true});
  for (int i = 0; i < 5; ++i) pravix->eventWithProperties(json{{"kingdom", i}});
  EXPECT_THAT(labels(pravix->events()), ElementsAre("2", "3", "4"));
  EXPECT_EQ(storedCount(settings), 3u);
  pravix->log("in flight");  // goes out at once and is held
  clock.settle();
  for (const char* line : {"a", "b", "c", "d"}) pravix->log(line);
  EXPECT_THAT(labels(pravix->waitingLogLines()), ElementsAre("c", "d"));
  const std::string events = "more than 3 events waiting; dropped the oldest 1 (";
  const std::string lines = "more than 2 log lines waiting; dropped the oldest 1 (";
  EXPECT_EQ(taken(), events + "1 so far)|" + events + "2 so far)|" + lines + "1 so far)|" + lines +
                         "2 so far)");
  start(settings, {.eventCap = 2, .quiet = true});
  EXPECT_EQ(pravix->events().size(), 2u) << "a smaller cap trims what was stored";
  EXPECT_EQ(taken(), "more than 2 events waiting; dropped the oldest 1 (1 so far)");
}

TEST_F(PravixTest, AnswersDecideWhetherABatchIsDroppedOrRetriedAfterThirtySeconds) {
  const std::tuple<int, bool, std::string> cases[] = {
      {500, false, "sendEvents: send complete: unknown error"},
      {0, false, "sendEvents: send complete: unknown error"},
      {403, true, "Bad authentication, please check your API Key"},
      {409, true, "Conflict, dup send?"},
      {400, true, ""},
  };
  SettingValue::Array stored;
  for (const auto& name : numbered("r", 0, 15))
    stored.emplace_back(SettingValue::Dictionary{{"type", "event"}, {"kingdom", name}});
  for (const auto& [status, dropped, lines] : cases) {
    settings.set(StoredEventList::kKey, stored);
    http.answer({reply(status), reply(200)});
    const size_t before = batches(kTrack).size();
    taken();
    start(settings, {.quiet = true});
    EXPECT_EQ(taken(), lines) << status;
    EXPECT_EQ(storedCount(settings), dropped ? 0u : 15u) << status;
    clock.advance(29s);
    EXPECT_EQ(batches(kTrack).size() - before, dropped ? 2u : 1u) << status;
    clock.advance(1s);
    ASSERT_EQ(batches(kTrack).size() - before, dropped ? 2u : 3u) << status;
    EXPECT_EQ(batches(kTrack).back(), numbered("r", 10, 15)) << status;
    EXPECT_EQ(pravix->events().size(), 0u) << status;
  }
}

TEST_F(PravixTest, DauAfterMidnightInItsTimeZoneAndWhenTheClockGoesBack) {
  // Per step: the wall time it starts at (none: unchanged), how long then passes, and how many
  // "dau" there are so far. 15:05 UTC is past midnight in Tokyo; 12:00 the day before comes last.
  const std::tuple<std::optional<Clock::Duration>, Clock::Duration, size_t, size_t> steps[] = {
      {0s, 0s, 1, 1}, {{}, 600s, 1, 1},          {14h + 55min, 599s, 1, 1},
      {{}, 1s, 1, 2}, {23h + 55min, 600s, 2, 2}, {-12h, 600s, 3, 3}};
  for (const std::optional<std::string>& zone : {std::optional<std::string>(), {"Asia/Tokyo"}}) {
    MemorySettingsStore store;
    store.set(Pravix::kInstallSentKey, true);
    const size_t before = batches(kTrack).size();
    for (const auto& [wall, then, utc, tokyo] : steps) {
      if (wall) clock.setWallTime(ManualClock::kDefaultStart + *wall);
      if (wall == 0s) start(store, {.zone = zone});
      clock.advance(then);
      EXPECT_EQ(batches(kTrack).size() - before, zone ? tokyo : utc);
    }
    EXPECT_EQ(store.getDate(Pravix::kLastDauKey), clock.now());
  }
}

// What is recorded during both uploads follows them, lines ten at a time a second apart; a
// copy of a record just sent leaves with it; what JSON cannot carry cannot hold back the rest.
TEST_F(PravixTest, RecordsDuringAnUploadFollowItInBatchesWithoutCopiesOrUnsendableOnes) {
  start(settings, {.quiet = true});
  http.hold();
  pravix->logError("alone 100%@%d");
  clock.settle();
  const HttpRequest first = http.sent().at(0).request;
  EXPECT_EQ(first.url, "https://analytics.test/zorva/1/app_log?current_time=2026-01-01T00:00:00Z");
  const json body = json::parse(first.body);
  EXPECT_EQ(body.size(), 11u) << "identity and events; no tags";
  EXPECT_EQ(body["events"], json::array({{{"event_datetime", "2026-01-01T00:00:00Z"},
                                          {"log_line", "alone 100%@%d"},
                                          {"log_level", "error"}}}));
  pravix->eventWithProperties(json{{"kingdom", "same"}});
  clock.settle();
  for (const char* name : {"same", "a\xff", "b"})
    pravix->eventWithProperties(json{{"kingdom", name}});
  for (const auto& line : numbered("l", 0, 25)) pravix->log(line);
  pravix->log("bad \xc3");
  http.release();
  clock.settle();
  EXPECT_THAT(batches(kTrack), ElementsAre(ElementsAre("same"), ElementsAre("b")));
  EXPECT_EQ(pravix->events().size(), 0u);
  EXPECT_THAT(log.texts(), ::testing::Contains("PX_LOG: dropping an event that cannot be sent: "
                                               "[json.exception.type_error.316] invalid UTF-8 "
                                               "byte at index 1: 0xFF"));
  for (auto [from, to] : {std::pair{0, 10}, {10, 20}, {20, 25}}) {
    clock.advance(999ms);
    EXPECT_EQ(batches(kAppLog).size(), static_cast<size_t>(1 + from / 10));
    clock.advance(1ms);
    EXPECT_EQ(batches(kAppLog).back(), numbered("l", from, to));
  }
}

// Ten old lines go out in the second request, whose answer comes while three newer lines wait.
TEST_F(PravixTest, AFailedLogBatchGoesBehindNewerLinesAndARejectedOneIsDropped) {
  const Lines fresh = numbered("new", 0, 3), old = numbered("old", 0, 10);
  // Per answer: the log cap, the last console line, how many old lines wait behind the new ones.
  const std::tuple<int, size_t, std::string, int> cases[] = {
      {500, kDefaultRecordCap, "sendEvents: send complete: unknown error", 10},
      {0, kDefaultRecordCap, "error from url: 7, Couldn't connect to server", 10},
      {500, 11, "more than 11 log lines waiting; dropped the oldest 2 (2 so far)", 8},
      {400, kDefaultRecordCap, "bad log send 400", 0},
  };
  for (const auto& [status, cap, line, kept] : cases) {
    Lines waiting = fresh;
    waiting.insert(waiting.end(), old.end() - kept, old.end());
    start(settings, {.logCap = cap, .quiet = true});
    const size_t before = batches(kAppLog).size();
    http.answer({reply(200), reply(status), reply(200)});
    taken();
    for (const auto& [first, more] : {std::pair{true, old}, {false, fresh}}) {
      http.hold();
      first ? pravix->log("first") : clock.advance(1s);
      clock.settle();
      for (const auto& later : more) pravix->log(later);
      http.release();
      clock.settle();
    }
    EXPECT_EQ(log.texts().back(), "PX_LOG: " + line) << status;
    EXPECT_EQ(labels(pravix->waitingLogLines()), waiting) << status;
    const bool retry = kept > 0;
    clock.advance(retry ? 29s : 999ms);
    EXPECT_EQ(batches(kAppLog).size() - before, 2u) << status;
    clock.advance(retry ? 1s : 1ms);
    ASSERT_EQ(batches(kAppLog).size() - before, 3u) << status;
    const size_t next = std::min<size_t>(waiting.size(), Pravix::kBatchSize);
    EXPECT_EQ(batches(kAppLog).back(), Lines(waiting.begin(), waiting.begin() + next)) << status;
  }
}

TEST_F(PravixTest, RecordsAndLinesFromManyThreadsAllArrive) {
  start(settings, {.quiet = true});
  http.answer({reply(500), reply(200), reply(500), reply(500), reply(200)});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (const auto& name : numbered(std::to_string(t) + "-", 0, 30)) {
        pravix->eventWithProperties(json{{"kingdom", name}});
        pravix->logError("l" + name);
        if (name.back() == '0') pravix->setTag(TelemetryTag::Group, "g" + name);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int step = 0; step < 200 && !pravix->waitingLogLines().empty(); ++step) clock.advance(1s);
  clock.advance(30s);
  std::set<std::string> arrived;  // events and lines of both routes
  for (const auto& batch : batches("/1/")) arrived.insert(batch.begin(), batch.end());
  EXPECT_EQ(std::tuple(arrived.size(), pravix->events().size()), std::tuple(240u, 0u));
}

}  // namespace
}  // namespace zorva
