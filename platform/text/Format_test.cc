#include "platform/text/Format.h"

#include <gtest/gtest.h>

#include <limits>

namespace zorva {
namespace {

TEST(Format, FillsEachPlaceholderKind) {
  std::optional<std::string> none;
  EXPECT_EQ(formatMessage("launch app: %@", std::string("1.2.3")), "launch app: 1.2.3");
  EXPECT_EQ(formatMessage("launch app: %@", none), "launch app: (null)");
  EXPECT_EQ(formatMessage("%d|%d", -7, 4000000000u), "-7|4000000000");
  EXPECT_EQ(formatMessage("%ld", std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(formatMessage("%s and %@", "c string", 42), "c string and 42");
  EXPECT_EQ(formatMessage("100%% of %@%%", std::string_view("it")), "100% of it%");
  EXPECT_EQ(formatMessage("no placeholders"), "no placeholders");
  EXPECT_EQ(formatMessage("%@%@", 1, 2), "12");
}

TEST(Format, ArgumentsAreNeverReadAsFormats) {
  // A file named like a format must come out exactly as it is, whatever follows it.
  std::string path = "/media/usb/100%@ %d %s %n %%.txt";
  EXPECT_EQ(formatMessage("copy %@ to %@", path, std::string("/tmp/%ld")),
            "copy /media/usb/100%@ %d %s %n %%.txt to /tmp/%ld");
  EXPECT_EQ(formatMessage("%@", std::string("line\nbreak\0nul", 14)),
            std::string("line\nbreak\0nul", 14));
}

}  // namespace
}  // namespace zorva
