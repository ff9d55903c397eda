#include "platform/text/Format.h"

#include <gtest/gtest.h>

#include <limits>

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

}  // namespace
}  // namespace zorva
