#include "platform/settings/SettingValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace zorva {

void PrintTo(const SettingValue& value, std::ostream* out) { *out << encodeSettingValue(value); }

namespace {

using namespace std::literals;
using Array = SettingValue::Array;
using Date = SettingValue::Date;
using Dictionary = SettingValue::Dictionary;

SettingValue nested(int depth, SettingValue inner) {
  while (depth-- > 0) inner = Array{std::move(inner)};
  return inner;
}
std::string brackets(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Equality includes the type, so 1, 1.0, true and "1" must each come back as themselves.
TEST(SettingValueCodec, EveryValueRoundTripsWithItsType) {
  const SettingValue values[] = {
      true, false, 0, INT64_MIN, INT64_MAX, 1.0, -0.5, 1e300, 5e-324 /* the smallest double */, "",
      "1", "quote \" slash \\ nul \0 end"sv, "caf\u00e9 \U0001F600", Date(), Date::min(),
      Date::max(), std::chrono::system_clock::now(),
      Dictionary{{"mixed", Array{1, 1.0, true, "1", Date(), SettingValue(Array{})}},
                 {"inner", Dictionary{{"list", Array{Dictionary{{"a", 2.5}}}}}},
                 {"", Dictionary{}}},
      // Keys that look like tags, including one shaped exactly like a date.
      Dictionary{{"$date", 5}}, Dictionary{{"$", 1}, {"$$", 2}, {"$$date", Date()}},
      nested(kMaxSettingDepth, Date())};
  for (const SettingValue& v : values) EXPECT_EQ(decodeSettingValue(encodeSettingValue(v)), v);
  EXPECT_TRUE(decodeSettingValue(brackets(kMaxSettingDepth)));
  // Brackets inside a string, after an escaped quote, are text and do not count as depth.
  EXPECT_EQ(decodeSettingValue("\"\\\"" + std::string(500, '[') + "\""),
            SettingValue("\"" + std::string(500, '[')));
  // Bad UTF-8 is replaced rather than refused.
  EXPECT_EQ(decodeSettingValue(encodeSettingValue(Dictionary{{"k\xff", "a\xc3 b"}})),
            SettingValue(Dictionary{{"k\uFFFD", "a\uFFFD b"}}));
}

// Neither side may accept what the other could not read back, nor texts it never writes.
TEST(SettingValueCodec, RefusesWhatCannotRoundTrip) {
  EXPECT_EQ(encodeSettingValue(Array{1, -HUGE_VAL}), "");
  EXPECT_EQ(encodeSettingValue(nested(kMaxSettingDepth + 1, 1)), "");
  const std::string_view texts[] = {"",         "null",        "[1, null]", "[1,",
                                    "{\"a\":}", "\"open",      "[1] 2",     "NaN",
                                    "[1e999]",  "\"\\ud800\"", "\"\xff\"",  "\"a\0b\""sv};
  const std::string_view unwritten[] = {
      "9223372036854775808",      "{\"$date\": 1.5}", "{\"$date\": 9223372036854775808}",
      "{\"$date\": 1, \"b\": 2}", "{\"$other\": 1}",  "{\"$\": 1}"};
  for (std::string_view text : texts) EXPECT_FALSE(decodeSettingValue(text)) << text;
  for (std::string_view text : unwritten) EXPECT_FALSE(decodeSettingValue(text)) << text;
  EXPECT_FALSE(decodeSettingValue(brackets(kMaxSettingDepth + 1)) ||
               decodeSettingValue(std::string(500'000, '{')));
}

// Damaged text that still decodes must be storable again, or the value could never be written.
TEST(SettingValueCodec, SurvivesTruncatedAndDamagedInput) {
  std::string encoded = encodeSettingValue(
      Dictionary{{"list", Array{1, 2.5, "three", Date()}}, {"$key", Dictionary{{"f", false}}}});
  for (size_t length = 0; length < encoded.size(); ++length) {
    EXPECT_FALSE(decodeSettingValue(encoded.substr(0, length))) << length;
  }
  std::mt19937 random(42);
  for (int round = 0; round < 3000; ++round) {
    std::string text = encoded;
    for (char& c : text) c = random() % 20 ? c : static_cast<char>(random());
    std::optional<SettingValue> decoded = decodeSettingValue(text);
    EXPECT_TRUE(!decoded || decodeSettingValue(encodeSettingValue(*decoded)) == decoded) << text;
  }
}

}  // namespace
}  // namespace zorva
