#include "platform/text/Utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace zorva {
namespace {

// "é" is one unit in two bytes; "😀" (U+1F600) two units, a surrogate pair, in four bytes. Each
// ill-formed byte, and a cut-off sequence, counts once, as the U+FFFD that stands in for it.
TEST(Utf16, LengthCountsCodeUnitsAndAPrefixNeverSplitsACharacter) {
  const std::pair<std::string, size_t> lengths[] = {
      {"", 0}, {"abc", 3}, {"中", 1}, {"a😀é", 4}, {"\xff\xfe", 2}, {"\xf0\x9f\x98", 1}};
  for (const auto& [text, units] : lengths) EXPECT_EQ(utf16Length(text), units) << text;
  const std::tuple<std::string, size_t, std::string> prefixes[] = {
      {"abcdef", 3, "abc"},      {"abc", 10, "abc"},   {"abc", 0, ""}, {"aé😀b", 2, "aé"},
      {"aé😀b", 3, "aé"},         {"aé😀b", 4, "aé😀"},   {"😀😀", 1, ""},  {"😀😀", 3, "😀"},
      {"a\xff\x62", 2, "a\xff"}, {"中文字", 2, "中文"}};
  for (const auto& [text, units, prefix] : prefixes) {
    EXPECT_EQ(utf16Prefix(text, units), prefix) << text << " / " << units;
  }
}

}  // namespace
}  // namespace zorva
