#include "telemetry/TelemetryRecords.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using json = nlohmann::json;
constexpr const char* kNow = "2026-01-01T00:00:00Z";

// `lines` are the console lines after "PX_LOG: ", one per "|"; `recorded` null: refused.
void expectRecord(const json& properties, const std::string& type, const Spend& spend,
                  json recorded, const std::string& lines = "") {
  MemoryLogWriter log;
  if (!recorded.is_null()) recorded.update({{"event_datetime", kNow}, {"type", type}});
  EXPECT_EQ(makeEventRecord(properties, type, spend, kNow).value_or(nullptr), recorded) << type;
  std::string logged;
  for (const auto& text : log.texts()) logged += (logged.empty() ? "" : "|") + text.substr(8);
  EXPECT_EQ(logged, lines);
}

TEST(TelemetryRecords, EventsKeepKnownKeysAsTextOrFiniteNumbersAndRefuseBadEconomy) {
  // Known keys become text cut to 31 units, floats stay finite numbers, others are left out.
  json given = json::parse(R"({"kingdom": 5, "class": "", "order": {"nested": 1}, "family": true,
      "genus": 2.5, "extra": "ignored", "float1": "12", "float2": 1.5, "float3": true})");
  given.update(
      {{"phylum", std::string(40, 'p')}, {"species", std::string(1 << 20, 's')}, {"float4", NAN}});
  json kept = json::parse(R"({"kingdom": "5", "order": "{\"nested\":1}", "family": "1",
      "genus": "2.5", "float2": 1.5, "float3": true})");
  kept.update({{"phylum", std::string(31, 'p')}, {"species", std::string(31, 's')}});
  expectRecord(given, "event", {}, kept, "bad value (12) for float1|bad value (nan) for float4");

  const json k = {{"kingdom", "k"}};
  const std::string failed = "failed to send event with type: economy and properties: ";
  const std::string withK = failed + R"({"kingdom":"k"}, spendCurrency: )";
  expectRecord(k, "economy", {}, nullptr,
               "spendCurrency is required|missing required value spendAmount for economy event|" +
                   withK + "(null), spendAmount: (null)");
  expectRecord(k, "economy", {.currency = "USD", .amount = "12"}, nullptr,
               "bad value (12) for spendAmount|" + withK + "USD, spendAmount: 12");
  expectRecord({}, "economy", {.currency = "USD", .amount = -INFINITY}, nullptr,
               "bad value (-inf) for spendAmount|" + failed +
                   "<null>, spendCurrency: USD, spendAmount: -inf");
  expectRecord(
      {}, "economy", {.amount = 3}, nullptr,
      "spendCurrency is required|" + failed + "<null>, spendCurrency: (null), spendAmount: 3");
  expectRecord(
      {}, "economy", {.currency = std::string(40, 'C'), .type = "gems", .amount = 9.99},
      {{"spend_currency", std::string(31, 'C')}, {"spend_amount", 9.99}, {"spend_type", "gems"}});
  expectRecord({}, "Economy", {.amount = "not checked"}, json::object());
  expectRecord(k, "", {}, nullptr,
               R"(failed to send event without a type, properties: {"kingdom":"k"})");
  expectRecord(json::array({1, 2}), "odd", {}, json::object(),
               "properties are not a dictionary ([1,2]); event odd recorded without them");
}

// The literal log line and its level are checked where the client sends them.
TEST(TelemetryRecords, TextIsCutInUtf16UnitsLogLevelsAreOptionalAndOnlyJsonTextIsSendable) {
  const std::string a29(29, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {a29 + "a😀", a29 + "a😀"},    // 32 units: whole
      {a29 + "a😀b", a29 + "a"},    // the cut at 31 would split the pair
      {a29 + "😀bc", a29 + "😀"},    // the pair fits in 31
      {a29 + "aéüb", a29 + "aé"},  // two-byte characters are one unit
  };
  for (const auto& [given, kept] : cases) EXPECT_EQ(trimString(given, kTaxonomyLimit), kept);
  EXPECT_EQ(trimString(std::nullopt, kTaxonomyLimit), std::nullopt);
  EXPECT_FALSE(makeLogRecord("launch app", std::nullopt, kNow).contains("log_level"));
  EXPECT_EQ(unsendable(json{{"log_line", "ok"}, {"float1", 2.5}}), std::nullopt);
  EXPECT_NE(unsendable(json{{"float1", INFINITY}}), std::nullopt);
}

}  // namespace
}  // namespace zorva
