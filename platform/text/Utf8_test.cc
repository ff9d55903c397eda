#include "platform/text/Utf8.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

TEST(Utf8, AcceptsWellFormedTextAndRejectsMalformedBytesWhereverTheyStand) {
  for (const std::string text : {"", "/media/usb/caf\xc3\xa9/\xe2\x82\xac.txt",
                                 "\xf0\x9f\x98\x80 emoji", "\xf4\x8f\xbf\xbf", "new\nline"}) {
    EXPECT_TRUE(isValidUtf8(text) && isValidUtf8(std::string(5000, 'a') + text)) << text;
    EXPECT_EQ(decodeUtf8(text), text);
  }
  // Never valid, overlong twice, a surrogate, past U+10FFFF, cut short twice, a bad continuation.
  for (const std::string bytes : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                  "\xf4\x90\x80\x80", "\xc3", "\xe2\x82", "\xc3\x28"}) {
    // Alone, after an ASCII run long enough for the fast path, and at the very end.
    EXPECT_FALSE(isValidUtf8(bytes));
    EXPECT_FALSE(isValidUtf8("/media/usb/folder/" + bytes + "/file.txt"));
    EXPECT_FALSE(isValidUtf8("/media/usb/folder/" + bytes));
    EXPECT_EQ(decodeUtf8(bytes), std::nullopt);
  }
}

}  // namespace
}  // namespace zorva
