#include <gtest/gtest.h>

#include <clocale>
#include <limits>

#include "platform/text/Format.h"
#include "platform/text/LowerCase.h"
#include "platform/text/Utf16.h"
#include "platform/text/Utf8.h"

namespace zorva {
namespace {

// A file named like a format must come out exactly as it is, whatever follows it.
TEST(Format, FillsEachPlaceholderKindAndNeverReadsArgumentsAsFormats) {
  EXPECT_EQ(formatMessage("app: %@ %@", std::string("1.2"), std::optional<std::string>()),
            "app: 1.2 (null)");
  EXPECT_EQ(formatMessage("%d|%d|%ld", -7, 4000000000u, std::numeric_limits<int64_t>::min()),
            "-7|4000000000|-9223372036854775808");
  EXPECT_EQ(formatMessage("%s and %@%@", "c string", 4, 2), "c string and 42");
  EXPECT_EQ(formatMessage("100%% of %@%%", std::string_view("it")), "100% of it%");
  EXPECT_EQ(formatMessage("copy %@ to %@", std::string("/usb/100%@ %d %s %n %%"),
                          std::string("/tmp/%ld")),
            "copy /usb/100%@ %d %s %n %% to /tmp/%ld");
  const std::string binary("line\nbreak\0nul", 14);
  EXPECT_EQ(formatMessage("%@", binary), binary);
}

TEST(Utf8, AcceptsWellFormedTextAndRejectsMalformedBytesWhereverTheyStand) {
  for (const std::string text : {"", "/media/usb/caf\xc3\xa9/\xe2\x82\xac.txt",
                                 "\xf0\x9f\x98\x80 emoji", "\xf4\x8f\xbf\xbf", "new\nline"}) {
    EXPECT_TRUE(isValidUtf8(text) && isValidUtf8(std::string(5000, 'a') + text)) << text;
    EXPECT_EQ(decodeUtf8(text), text);
  }
  // Never valid, overlong twice, a surrogate, past U+10FFFF, cut short twice, a bad continuation;
  // each alone, after an ASCII run long enough for the fast path, and at the very end.
  for (const std::string bytes : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                  "\xf4\x90\x80\x80", "\xc3", "\xe2\x82", "\xc3\x28"}) {
    const std::string folder = "/media/usb/folder/";
    EXPECT_FALSE(isValidUtf8(bytes) || isValidUtf8(folder + bytes + "/file.txt") ||
                 isValidUtf8(folder + bytes) || decodeUtf8(bytes));
  }
}

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

// U+0130 is longer in lower case: "i" and a combining dot. A Turkish locale must not change the
// mapping of "I", and bytes that are not UTF-8 stay as they are.
TEST(LowerCase, FullMappingIndependentOfLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "tr_TR.UTF-8");
  EXPECT_EQ(lowerCase("/USB/A.TXT/I"), "/usb/a.txt/i");
  EXPECT_EQ(lowerCase("/ÄÖ/ΣΟΦΙΑ/İS/é/I"), "/äö/σοφια/i\xcc\x87s/é/i");
  EXPECT_EQ(lowerCase("/é/\xff"), "/é/\xff");
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
}  // namespace zorva
