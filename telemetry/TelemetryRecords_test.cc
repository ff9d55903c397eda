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
  const std::string failed = "failed to send event with type: economy and properties: ";
  const std::string k = R"({"kingdom":"k"})";
  struct Case {
    json properties;
    std::string type;
    Spend spend;
    json recorded;                   // null: refused
    std::vector<std::string> lines;  // after "PX_LOG: "
  };
  // Known keys become text cut to 31 units, floats stay finite numbers, others are left out.
  json given = json::parse(R"({"kingdom": 5, "class": "", "order": {"nested": 1}, "family": true,
      "genus": 2.5, "extra": "ignored", "float1": "12", "float2": 1.5, "float3": true})");
  given.update({{"phylum", forty}, {"species", std::string(1 << 20, 's')}, {"float4", NAN}});
  json kept = json::parse(R"({"kingdom": "5", "order": "{\"nested\":1}", "family": "1",
      "genus": "2.5", "float2": 1.5, "float3": true})");
  kept.update({{"phylum", forty.substr(0, 31)}, {"species", std::string(31, 's')}});
  const json economy = {
      {"spend_currency", std::string(31, 'C')}, {"spend_amount", 9.99}, {"spend_type", "gems"}};
  const Case cases[] = {
      {given, "event", {}, kept, {"bad value (12) for float1", "bad value (nan) for float4"}},
      {json{{"kingdom", "k"}},
       "economy",
       {},
       nullptr,
       {"spendCurrency is required", "missing required value spendAmount for economy event",
        failed + k + ", spendCurrency: (null), spendAmount: (null)"}},
      {json{{"kingdom", "k"}},
       "economy",
       {.currency = "USD", .amount = "12"},
       nullptr,
       {"bad value (12) for spendAmount", failed + k + ", spendCurrency: USD, spendAmount: 12"}},
      {{},
       "economy",
       {.currency = "USD", .amount = -INFINITY},
       nullptr,
       {"bad value (-inf) for spendAmount",
        failed + "<null>, spendCurrency: USD, spendAmount: -inf"}},
      {{},
       "economy",
       {.amount = 3},
       nullptr,
       {"spendCurrency is required", failed + "<null>, spendCurrency: (null), spendAmount: 3"}},
      {{},
       "economy",
       {.currency = std::string(40, 'C'), .type = "gems", .amount = 9.99},
       economy,
       {}},
      {{}, "Economy", {.amount = "not checked"}, json::object(), {}},
      {json{{"kingdom", "k"}},
       "",
       {},
       nullptr,
       {"failed to send event without a type, properties: " + k}},
      {json::array({1, 2}),
       "odd",
       {},
       json::object(),
       {"properties are not a dictionary ([1,2]); event odd recorded without them"}},
  };
  for (const Case& c : cases) {
    MemoryLogWriter log;
    json expected = c.recorded;
    if (!expected.is_null()) expected.update({{"event_datetime", kNow}, {"type", c.type}});
    EXPECT_EQ(makeEventRecord(c.properties, c.type, c.spend, kNow).value_or(nullptr), expected)
        << c.type;
    std::vector<std::string> lines;
    for (const auto& line : c.lines) lines.push_back("PX_LOG: " + line);
    EXPECT_EQ(log.texts(), lines) << c.type;
  }
}

TEST(TelemetryRecords, TextIsCutInUtf16UnitsNeverInsideACharacter) {
  const std::string a29(29, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {a29 + "a😀", a29 + "a😀"},    // 32 units: whole
      {a29 + "a😀b", a29 + "a"},    // the cut at 31 would split the pair
      {a29 + "😀bc", a29 + "😀"},    // the pair fits in 31
      {a29 + "aéüb", a29 + "aé"},  // two-byte characters are one unit
  };
  for (const auto& [given, kept] : cases) EXPECT_EQ(trimString(given, kTaxonomyLimit), kept);
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
