// The telemetry client's records, identity, tags and stored state. Uploads here never get an
// answer, so what was recorded stays in the lists for the test to read; the upload rules are
// tested against a real server in PravixUpload_test.cc.

#include "telemetry/Pravix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <thread>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/SilentHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "telemetry/SharedPravix.h"

namespace zorva {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const TelemetryIdentity kIdentity{.appVersion = "1.2.3",
                                  .osVersion = "6.1.0",
                                  .deviceType = "x86_64",
                                  .language = "de",
                                  .country = "AT"};

class PravixTest : public ::testing::Test {
 protected:
  std::unique_ptr<Pravix> start(const std::string& org = "zorva",
                                std::optional<std::string> zone = std::nullopt,
                                size_t eventCap = Pravix::kDefaultCap,
                                size_t logCap = Pravix::kDefaultCap) {
    auto pravix =
        std::make_unique<Pravix>(Pravix::Dependencies{.settings = settings,
                                                      .http = http,
                                                      .clock = clock,
                                                      .analyticsUrl = "https://analytics.test/",
                                                      .identity = kIdentity,
                                                      .eventCap = eventCap,
                                                      .logCap = logCap},
                                 "key-1", org, std::move(zone));
    clock.settle();
    return pravix;
  }

  // A fresh start whose install and "dau" are already behind it, so the lists hold only what the
  // test records.
  std::unique_ptr<Pravix> startQuiet(size_t eventCap = Pravix::kDefaultCap,
                                     size_t logCap = Pravix::kDefaultCap) {
    settings.set(Pravix::kInstallSentKey, true);
    settings.set(Pravix::kLastDauKey, SettingValue(clock.now()));
    return start("zorva", std::nullopt, eventCap, logCap);
  }

  std::vector<std::string> console() const {
    std::vector<std::string> lines;
    for (const auto& line : log.lines()) {
      if (line.level == LogLevel::Console) lines.push_back(line.text);
    }
    return lines;
  }

  std::vector<std::string> types(Pravix& pravix) {
    std::vector<std::string> out;
    for (const json& record : pravix.events()) out.push_back(record.value("type", "?"));
    return out;
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  SilentHttpClient http;
};

// --- Event records ---

TEST_F(PravixTest, ARecordKeepsOnlyKnownKeysAsTextOrFiniteNumbers) {
  auto pravix = startQuiet();
  const std::string forty(40, 'k');
  pravix->eventWithProperties(json{{"kingdom", 5},
                                   {"phylum", forty},
                                   {"class", ""},
                                   {"order", {{"nested", 1}}},
                                   {"family", true},
                                   {"genus", 2.5},
                                   {"species", std::string(1 << 20, 's')},
                                   {"extra", "ignored"},
                                   {"float1", "12"},
                                   {"float2", 1.5},
                                   {"float3", true},
                                   {"float4", std::nan("")}});
  ASSERT_EQ(pravix->events().size(), 1u);
  EXPECT_EQ(pravix->events()[0], (json{{"event_datetime", "2026-01-01T00:00:00Z"},
                                       {"type", "event"},
                                       {"kingdom", "5"},
                                       {"phylum", forty.substr(0, 31)},
                                       {"order", "{\"nested\":1}"},
                                       {"family", "1"},
                                       {"genus", "2.5"},
                                       {"species", std::string(31, 's')},
                                       {"float2", 1.5},
                                       {"float3", true}}));
  EXPECT_THAT(console(), ElementsAre("PX_LOG: bad value (12) for float1",
                                     "PX_LOG: bad value (nan) for float4"));
}

TEST_F(PravixTest, TaxonomyTextIsCutInUtf16UnitsNeverInsideACharacter) {
  auto pravix = startQuiet();
  const std::string a30(30, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {a30 + "😀", a30 + "😀"},  // 32 units: whole
      {a30 + "😀b", a30},       // the cut at 31 would split the pair
      {std::string(29, 'a') + "😀bc", std::string(29, 'a') + "😀"},  // the pair fits in 31
      {a30 + "éüb", a30 + "é"},  // two-byte characters are one unit
  };
  for (const auto& [given, kept] : cases) {
    pravix->eventWithProperties(json{{"kingdom", given}});
    EXPECT_EQ(pravix->events().back()["kingdom"], kept) << given;
  }
}

TEST_F(PravixTest, EconomyEventsAreValidatedAndInvalidOnesDropped) {
  auto pravix = startQuiet();
  struct Case {
    std::optional<std::string> currency;
    std::optional<json> amount;
    std::vector<std::string> lines;
  };
  const std::string failed = "PX_LOG: failed to send event with type: economy and properties: ";
  const Case cases[] = {
      {std::nullopt,
       std::nullopt,
       {"PX_LOG: spendCurrency is required",
        "PX_LOG: missing required value spendAmount for economy event",
        failed + "{\"kingdom\":\"k\"}, spendCurrency: (null), spendAmount: (null)"}},
      {"USD",
       json("12"),
       {"PX_LOG: bad value (12) for spendAmount",
        failed + "{\"kingdom\":\"k\"}, spendCurrency: USD, spendAmount: 12"}},
      {"USD",
       json(INFINITY),
       {"PX_LOG: bad value (inf) for spendAmount",
        failed + "{\"kingdom\":\"k\"}, spendCurrency: USD, spendAmount: inf"}},
      {std::nullopt,
       json(3),
       {"PX_LOG: spendCurrency is required",
        failed + "{\"kingdom\":\"k\"}, spendCurrency: (null), spendAmount: 3"}},
  };
  for (const Case& c : cases) {
    log.clear();
    pravix->economyWithProperties(json{{"kingdom", "k"}}, c.currency, c.amount);
    EXPECT_THAT(console(), ::testing::ElementsAreArray(c.lines));
  }
  EXPECT_THAT(pravix->events(), IsEmpty());

  pravix->economyWithProperties(json{{"kingdom", "k"}}, std::string(40, 'C'), json(9.99),
                                std::string("gems"));
  pravix->eventWithProperties(json::object(), "Economy", std::nullopt, std::nullopt,
                              json("not checked"));
  ASSERT_EQ(pravix->events().size(), 2u);
  const json economy = pravix->events()[0];
  EXPECT_EQ(economy["spend_currency"], std::string(31, 'C'));
  EXPECT_EQ(economy["spend_amount"], 9.99);
  EXPECT_EQ(economy["spend_type"], "gems");
  EXPECT_FALSE(pravix->events()[1].contains("spend_amount")) << "only \"economy\" is checked";
}

TEST_F(PravixTest, BadArgumentsAreRefusedWithALine) {
  auto pravix = startQuiet();
  pravix->eventWithProperties(json{{"kingdom", "k"}}, "");
  pravix->eventWithProperties(json::array({1, 2}), "odd");
  EXPECT_THAT(types(*pravix), ElementsAre("odd"));
  EXPECT_EQ(pravix->events()[0].size(), 2u);
  EXPECT_THAT(console(),
              ElementsAre("PX_LOG: failed to send event without a type, properties: "
                          "{\"kingdom\":\"k\"}",
                          "PX_LOG: properties are not a dictionary ([1,2]); event odd recorded "
                          "without them"));
}

// --- Start-up, identity and stored state ---

TEST_F(PravixTest, TheFirstStartRecordsInstallThenDauAndASecondStartNeither) {
  std::string tag;
  {
    auto pravix = start();
    EXPECT_THAT(types(*pravix), ElementsAre("install", "dau"));
    EXPECT_EQ(pravix->events()[0]["kingdom"], "organic");
    EXPECT_EQ(settings.getBool(Pravix::kInstallSentKey), true);
    tag = pravix->deviceTag();
    EXPECT_TRUE(std::regex_match(
        tag, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    EXPECT_EQ(settings.getString(Pravix::kDeviceTagKey), tag);
  }
  auto again = start();
  EXPECT_THAT(types(*again), ElementsAre("install", "dau")) << "the unsent two, nothing new";
  EXPECT_EQ(again->deviceTag(), tag);
}

TEST_F(PravixTest, IdentityAndTheNormalisedOrg) {
  auto pravix = start("My Org ÄÖ-x");
  EXPECT_EQ(pravix->org(), "my_org_äö-x");
  EXPECT_EQ(pravix->baseURL(), "https://analytics.test/my_org_äö-x");
  EXPECT_EQ(Pravix::normalizeOrg("zorva"), "zorva");
  EXPECT_EQ(pravix->apiKey(), "key-1");
  EXPECT_EQ(pravix->identity().language, "de");
  EXPECT_EQ(pravix->getISO8601Date(), "2026-01-01T00:00:00Z");
}

TEST_F(PravixTest, AStoredDeviceTagIsKeptUnlessZeroEmptyOrNotText) {
  struct Case {
    SettingValue stored;
    bool kept;
  };
  const Case cases[] = {
      {"not-a-uuid", true}, {Pravix::kZeroUuid, false}, {"", false},
      {int64_t{42}, false}, {"\xff\xfe", false},
  };
  for (const Case& c : cases) {
    settings.set(Pravix::kDeviceTagKey, c.stored);
    std::string made;
    {
      auto pravix = start();
      made = pravix->deviceTag();
      if (c.kept) {
        EXPECT_EQ(made, *c.stored.asString());
      } else {
        EXPECT_EQ(made.size(), 36u);
        EXPECT_NE(made, Pravix::kZeroUuid);
      }
      EXPECT_EQ(settings.getString(Pravix::kDeviceTagKey), made);
    }
    EXPECT_EQ(start()->deviceTag(), made) << "reused on the next start";
  }
}

TEST_F(PravixTest, BadStoredStateStartsCleanWithALine) {
  settings.set(Pravix::kInstallSentKey, true);
  settings.set(Pravix::kLastDauKey, "yesterday");
  settings.set(Pravix::kEventListKey, SettingValue::Dictionary{{"type", "x"}});
  {
    auto pravix = start();
    EXPECT_THAT(types(*pravix), ElementsAre("dau"));
    EXPECT_THAT(console(), ElementsAre("PX_LOG: pravix_lastDAUSend is not a date; the day counts "
                                       "as new",
                                       "PX_LOG: pravix_eventList is not a list; starting an empty "
                                       "one"));
  }
  log.clear();
  const SettingValue::Dictionary good{{"type", "kept"}, {"float1", 2.5}};
  settings.set(Pravix::kEventListKey,
               SettingValue::Array{good, "text", int64_t{7},
                                   SettingValue::Dictionary{{"type", SettingValue::Array{}}},
                                   SettingValue::Dictionary{{"when", clock.now()}}, good});
  auto pravix = start();
  EXPECT_THAT(types(*pravix), ElementsAre("kept", "kept"));
  EXPECT_EQ(settings.getArray(Pravix::kEventListKey)->size(), 2u) << "the store follows";
  EXPECT_THAT(console(), ElementsAre("PX_LOG: dropped 4 stored events that are not records of "
                                     "strings and numbers"));
}

// --- Tags ---

// Another process holds the settings at start-up: the stored events, tag and install mark are
// not taken for none. Events recorded meanwhile wait in memory and join the stored ones.
TEST_F(PravixTest, StoredStateThatCannotBeReadYetIsNeitherLostNorRedone) {
  {
    auto first = start();
    first->eventWithProperties(json{{"kingdom", "stored"}});
  }
  const auto tag = settings.getString(Pravix::kDeviceTagKey);
  const size_t storedEvents = settings.getArray(Pravix::kEventListKey)->size();
  settings.setLocked(true);
  auto pravix = start();
  pravix->eventWithProperties(json{{"kingdom", "meanwhile"}});
  clock.advance(Pravix::kSettingsRetry * 3);
  EXPECT_EQ(pravix->deviceTag(), "") << "no tag made up while the stored one is unknown";
  settings.setLocked(false);
  EXPECT_EQ(settings.getArray(Pravix::kEventListKey)->size(), storedEvents) << "nothing written";
  clock.advance(Pravix::kSettingsRetry);
  EXPECT_EQ(pravix->deviceTag(), tag);
  EXPECT_EQ(settings.getString(Pravix::kDeviceTagKey), tag);
  const auto kinds = types(*pravix);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "install"), 1) << "installed once";
  const auto stored = settings.getArray(Pravix::kEventListKey);
  ASSERT_EQ(stored->size(), storedEvents + 1);
  EXPECT_EQ(pravix->events().back().value("kingdom", ""), "meanwhile");
}

TEST_F(PravixTest, TagsAreCutByTheirLimitsAndTheSavedOnesSurviveARestart) {
  const std::string u62(62, 'u');
  {
    auto pravix = startQuiet();
    pravix->setUserTag(u62);
    EXPECT_EQ(pravix->userTag(), u62);
    pravix->setFacebookTag(u62 + "x");
    EXPECT_EQ(pravix->facebookTag(), std::string(61, 'u'));
    EXPECT_EQ(settings.getString("pravix_userTag_facebookTag"), std::string(61, 'u'));
    pravix->setTwitterTag(std::string(60, 't') + "😀b");
    EXPECT_EQ(pravix->twitterTag(), std::string(60, 't')) << "no half surrogate pair";
    pravix->setGoogleTag("g");
    pravix->setGoogleTag(std::nullopt);
    EXPECT_EQ(pravix->googleTag(), std::nullopt);
    EXPECT_FALSE(settings.get("pravix_userTag_googleTag").has_value());
    pravix->setGameCenterTag("");
    EXPECT_EQ(pravix->gameCenterTag(), "");

    pravix->setGroupTag(std::string(40, 'g'));
    EXPECT_EQ(pravix->groupTag(), std::string(31, 'g'));
    pravix->setServerVer(std::string(16, '1'));
    EXPECT_EQ(pravix->serverVer(), std::string(16, '1'));
    pravix->setConfigVer(std::string(17, '2'));
    EXPECT_EQ(pravix->configVer(), std::string(15, '2'));

    pravix->setUserTag("\xc3");
    EXPECT_EQ(pravix->userTag(), u62);
    EXPECT_THAT(console(), ElementsAre("PX_LOG: userTag is not UTF-8 text; left unchanged"));
  }
  auto pravix = start();
  EXPECT_EQ(pravix->userTag(), u62);
  EXPECT_EQ(pravix->facebookTag(), std::string(61, 'u'));
  EXPECT_EQ(pravix->googleTag(), std::nullopt);
  EXPECT_EQ(pravix->gameCenterTag(), "");
  EXPECT_EQ(pravix->groupTag(), std::nullopt) << "not kept across restarts";
  EXPECT_EQ(pravix->getSavedUserTagWithName("twitterTag"), std::string(60, 't'));
}

TEST_F(PravixTest, TheTrackRequestCarriesIdentityAndOnlyTheTagsThatAreSet) {
  auto pravix = startQuiet();
  pravix->setUserTag("");
  pravix->setServerVer("2");
  json request = pravix->generatePXRequestWithEvents({json{{"type", "t"}}});
  EXPECT_EQ(request, (json{{"api_key", "key-1"},
                           {"app_ver", "1.2.3"},
                           {"device_family", "linux"},
                           {"os_ver", "6.1.0"},
                           {"device_tag", pravix->deviceTag()},
                           {"device_type", "x86_64"},
                           {"language", "de"},
                           {"country", "AT"},
                           {"os", "Linux"},
                           {"marketplace", "iTunes"},
                           {"user_tag", ""},
                           {"server_ver", "2"},
                           {"events", {{{"type", "t"}}}}}));
}

// --- Caps ---

TEST_F(PravixTest, PastTheCapsTheOldestAreDroppedAndCounted) {
  {
    auto pravix = startQuiet(/*eventCap=*/3, /*logCap=*/2);
    for (int i = 0; i < 5; ++i) pravix->eventWithProperties(json{{"kingdom", i}});
    std::vector<std::string> kept;
    for (const json& record : pravix->events()) kept.push_back(record["kingdom"]);
    EXPECT_THAT(kept, ElementsAre("2", "3", "4"));
    EXPECT_EQ(settings.getArray(Pravix::kEventListKey)->size(), 3u);
    EXPECT_THAT(console(),
                ElementsAre("PX_LOG: more than 3 events waiting; dropped the oldest 1 (1 so far)",
                            "PX_LOG: more than 3 events waiting; dropped the oldest 1 (2 so far)"));

    log.clear();
    pravix->log("in flight");  // goes out at once and is never answered
    clock.settle();
    for (const char* line : {"a", "b", "c", "d"}) pravix->log(line);
    clock.settle();
    std::vector<std::string> waiting;
    for (const json& record : pravix->waitingLogLines()) waiting.push_back(record["log_line"]);
    EXPECT_THAT(waiting, ElementsAre("c", "d"));
    EXPECT_THAT(console().back(),
                "PX_LOG: more than 2 log lines waiting; dropped the oldest 1 (2 so far)");
  }
  // A smaller cap at the next start trims what was stored.
  log.clear();
  auto pravix = startQuiet(/*eventCap=*/2);
  EXPECT_EQ(pravix->events().size(), 2u);
  EXPECT_THAT(console(),
              ElementsAre("PX_LOG: more than 2 events waiting; dropped the oldest 1 (1 so far)"));
}

// --- App log ---

TEST_F(PravixTest, LogLinesAreRecordedLiterallyWithTheirLevel) {
  auto pravix = startQuiet();
  pravix->log("launch app");
  clock.settle();
  pravix->logError("copy of /tmp/100%@%d%s.txt failed\n");
  pravix->logWithFormat("count %ld of %@", int64_t{3}, std::string("50%"));
  clock.settle();

  auto requests = http.requests();
  ASSERT_EQ(requests.size(), 1u) << "only the first line; the others wait behind it";
  EXPECT_EQ(requests[0].url,
            "https://analytics.test/zorva/1/app_log?current_time=2026-01-01T00:00:00Z");
  json sent = json::parse(requests[0].body);
  EXPECT_EQ(
      sent["events"],
      json::array({{{"event_datetime", "2026-01-01T00:00:00Z"}, {"log_line", "launch app"}}}));
  EXPECT_EQ(sent.size(), 11u);
  EXPECT_EQ(pravix->waitingLogLines(),
            (std::vector<json>{
                {{"event_datetime", "2026-01-01T00:00:00Z"},
                 {"log_line", "copy of /tmp/100%@%d%s.txt failed\n"},
                 {"log_level", "error"}},
                {{"event_datetime", "2026-01-01T00:00:00Z"}, {"log_line", "count 3 of 50%"}}}));
}

// The log functions reach the one shared client through the adapter, and nothing before it
// exists. The shared instance lives for the rest of the run, as in the service.
TEST(SharedPravixTest, OneInstanceReachedByTheLogFunctions) {
  static ManualClock clock;
  static MemorySettingsStore settings;
  static SilentHttpClient http;
  static SharedPravix shared({.settings = settings,
                              .http = http,
                              .clock = clock,
                              .analyticsUrl = "https://analytics.test",
                              .identity = kIdentity});
  MemoryLogWriter log;
  setLogForwarder(&shared);

  ZorvaError(FaultKind::Store, "before %@", std::string("creation"));
  EXPECT_EQ(shared.sharedInstance(), nullptr);
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: ERROR: before creation",
                                       "PX_LOG Error: Dont call sharedInstance before "
                                       "sharedInstanceWithAPIKey:forOrg:",
                                       "PX_LOG Error: Dont call sharedInstance before "
                                       "sharedInstanceWithAPIKey:forOrg:"));

  std::vector<Pravix*> made(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < made.size(); ++i) {
    threads.emplace_back([&, i] {
      made[i] = &shared.sharedInstanceWithAPIKey("key-" + std::to_string(i), "Zorva");
    });
  }
  for (auto& thread : threads) thread.join();
  for (Pravix* instance : made) EXPECT_EQ(instance, made[0]);
  EXPECT_EQ(&shared.sharedInstanceWithAPIKey("other", "other"), made[0]);
  EXPECT_EQ(made[0]->org(), "zorva");
  clock.settle();

  ZorvaRemote("found %@", std::string("/media/usb/100%@.txt"));
  ZorvaError(FaultKind::Store, "failed: %d", 7);
  ZorvaLog("not forwarded");
  clock.settle();
  setLogForwarder(nullptr);
  std::vector<std::string> lines;
  for (const json& record : made[0]->waitingLogLines()) lines.push_back(record["log_line"]);
  // The first went out at once; the error waits behind it.
  EXPECT_THAT(lines, ElementsAre("failed: 7"));
  auto requests = http.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(json::parse(requests.back().body)["events"][0]["log_line"],
            "found /media/usb/100%@.txt");
}

}  // namespace
}  // namespace zorva
