#include "platform/text/Utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

// "é" is one unit in two bytes; "😀" (U+1F600) two units, a surrogate pair, in four bytes.
TEST(Utf16, LengthCountsCodeUnits) {
  EXPECT_EQ(utf16Length(""), 0u);
  EXPECT_EQ(utf16Length("abc"), 3u);
  EXPECT_EQ(utf16Length("é"), 1u);
  EXPECT_EQ(utf16Length("中"), 1u);
  EXPECT_EQ(utf16Length("😀"), 2u);
  EXPECT_EQ(utf16Length("a😀é"), 4u);
  EXPECT_EQ(utf16Length("\xff\xfe"), 2u) << "each ill-formed byte counts as a replacement";
  EXPECT_EQ(utf16Length("\xf0\x9f\x98"), 1u) << "a cut-off sequence counts once";
}

TEST(Utf16, PrefixNeverSplitsACharacter) {
  struct Case {
    std::string text;
    size_t units;
    std::string prefix;
  };
  const Case cases[] = {
      {"abcdef", 3, "abc"},
      {"abc", 10, "abc"},
      {"abc", 0, ""},
      {"aé😀b", 2, "aé"},
      {"aé😀b", 3, "aé"},
      {"aé😀b", 4, "aé😀"},
      {"😀😀", 1, ""},
      {"😀😀", 3, "😀"},
      {"a\xff"
       "b",
       2, "a\xff"},
      {"中文字", 2, "中文"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf16Prefix(c.text, c.units), c.prefix) << c.text << " / " << c.units;
  }
}

}  // namespace
}  // namespace zorva
