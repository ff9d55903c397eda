#include "platform/text/Utf8.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

TEST(Utf8, AcceptsWellFormedTextOfEveryLength) {
  for (const char* text : {"", "/tmp/a.txt", "/media/usb/caf\xc3\xa9/\xe2\x82\xac.txt",
                           "\xf0\x9f\x98\x80 emoji", "\xf4\x8f\xbf\xbf", "new\nline"}) {
    EXPECT_TRUE(isValidUtf8(text)) << text;
  }
  std::string longAscii(5000, 'a');
  EXPECT_TRUE(isValidUtf8(longAscii));
  EXPECT_EQ(decodeUtf8("/tmp/x"), std::optional<std::string>("/tmp/x"));
}

TEST(Utf8, RejectsMalformedBytesWhereverTheyStand) {
  const std::string bad[] = {
      "\xff",              // never valid
      "\xc0\xaf",          // overlong "/"
      "\xe0\x80\xaf",      // overlong
      "\xed\xa0\x80",      // surrogate
      "\xf4\x90\x80\x80",  // past U+10FFFF
      "\xc3",              // cut short
      "\xe2\x82",          // cut short
      "\xc3\x28",          // bad continuation
  };
  for (const std::string& bytes : bad) {
    EXPECT_FALSE(isValidUtf8(bytes)) << "alone";
    // After an ASCII run long enough for the fast path, and at the very end.
    EXPECT_FALSE(isValidUtf8("/media/usb/folder/" + bytes + "/file.txt"));
    EXPECT_FALSE(isValidUtf8("/media/usb/folder/" + bytes));
    EXPECT_EQ(decodeUtf8(bytes), std::nullopt);
  }
}

}  // namespace
}  // namespace zorva
