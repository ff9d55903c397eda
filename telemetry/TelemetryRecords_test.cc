#include "telemetry/TelemetryRecords.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using json = nlohmann::json;
constexpr const char* kNow = "2026-01-01T00:00:00Z";

TEST(TelemetryRecords, EventsKeepKnownKeysAsTextOrFiniteNumbersAndRefuseBadEconomy) {
  const std::string forty(40, 'k');
  const std::string failed = "PX_LOG: failed to send event with type: economy and properties: ";
  struct Case {
    json properties;
    std::string type;
    Spend spend;
    json recorded;  // null: refused
    std::vector<std::string> lines;
  };
  // Known keys become text cut to 31 units, floats stay finite numbers, others are left out.
  json given = json::parse(R"({"kingdom": 5, "class": "", "order": {"nested": 1}, "family": true,
      "genus": 2.5, "extra": "ignored", "float1": "12", "float2": 1.5, "float3": true})");
  given.update({{"phylum", forty}, {"species", std::string(1 << 20, 's')}, {"float4", NAN}});
  json kept = json::parse(R"({"kingdom": "5", "order": "{\"nested\":1}", "family": "1",
      "genus": "2.5", "float2": 1.5, "float3": true})");
  kept.update({{"phylum", forty.substr(0, 31)}, {"species", std::string(31, 's')}});
  const Case cases[] = {
      {given,
       "event",
       {},
       kept,
       {"PX_LOG: bad value (12) for float1", "PX_LOG: bad value (nan) for float4"}},
      {{{"kingdom", "k"}},
       "economy",
       {},
       nullptr,
       {"PX_LOG: spendCurrency is required",
        "PX_LOG: missing required value spendAmount for economy event",
        failed + "{\"kingdom\":\"k\"}, spendCurrency: (null), spendAmount: (null)"}},
      {{{"kingdom", "k"}},
       "economy",
       {.currency = "USD", .amount = "12"},
       nullptr,
       {"PX_LOG: bad value (12) for spendAmount",
        failed + "{\"kingdom\":\"k\"}, spendCurrency: USD, spendAmount: 12"}},
      {{},
       "economy",
       {.currency = "USD", .amount = -INFINITY},
       nullptr,
       {"PX_LOG: bad value (-inf) for spendAmount",
        failed + "<null>, spendCurrency: USD, spendAmount: -inf"}},
      {{},
       "economy",
       {.amount = 3},
       nullptr,
       {"PX_LOG: spendCurrency is required",
        failed + "<null>, spendCurrency: (null), spendAmount: 3"}},
      {{},
       "economy",
       {.currency = std::string(40, 'C'), .type = "gems", .amount = 9.99},
       {{"spend_currency", std::string(31, 'C')}, {"spend_amount", 9.99}, {"spend_type", "gems"}},
       {}},
      {{}, "Economy", {.amount = "not checked"}, json::object(), {}},
      {{{"kingdom", "k"}},
       "",
       {},
       nullptr,
       {"PX_LOG: failed to send event without a type, properties: {\"kingdom\":\"k\"}"}},
      {json::array({1, 2}),
       "odd",
       {},
       json::object(),
       {"PX_LOG: properties are not a dictionary ([1,2]); event odd recorded without them"}},
  };
  for (const Case& c : cases) {
    MemoryLogWriter log;
    json expected = c.recorded;
    if (!expected.is_null()) {
      expected["event_datetime"] = kNow;
      expected["type"] = c.type;
    }
    EXPECT_EQ(makeEventRecord(c.properties, c.type, c.spend, kNow).value_or(nullptr), expected)
        << c.type;
    EXPECT_EQ(log.texts(), c.lines) << c.type;
  }
}

TEST(TelemetryRecords, TextIsCutInUtf16UnitsNeverInsideACharacter) {
  const std::string a30(30, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {a30 + "😀", a30 + "😀"},  // 32 units: whole
      {a30 + "😀b", a30},       // the cut at 31 would split the pair
      {std::string(29, 'a') + "😀bc", std::string(29, 'a') + "😀"},  // the pair fits in 31
      {a30 + "éüb", a30 + "é"},  // two-byte characters are one unit
  };
  for (const auto& [given, kept] : cases) {
    EXPECT_EQ(trimString(given, kTaxonomyLimit), kept) << given;
  }
  EXPECT_EQ(trimString(std::nullopt, kTaxonomyLimit), std::nullopt);
}

// The literal line and its level are checked where the client sends them.
TEST(TelemetryRecords, LogLinesWithoutALevelHaveNoneAndOnlyJsonTextIsSendable) {
  EXPECT_FALSE(makeLogRecord("launch app", std::nullopt, kNow).contains("log_level"));
  EXPECT_EQ(unsendable(json{{"log_line", "ok"}, {"float1", 2.5}}), std::nullopt);
  EXPECT_NE(unsendable(json{{"float1", INFINITY}}), std::nullopt);
}

}  // namespace
}  // namespace zorva
