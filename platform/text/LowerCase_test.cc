#include "platform/text/LowerCase.h"

#include <gtest/gtest.h>

#include <clocale>

namespace zorva {
namespace {

TEST(LowerCase, FullMappingIndependentOfLocale) {
  EXPECT_EQ(lowerCase("/Volumes/USB/Docs/A.TXT"), "/volumes/usb/docs/a.txt");
  EXPECT_EQ(lowerCase("/media/ÄÖÜ/ΣΟΦΙΑ"), "/media/äöü/σοφια");
  // Longer in lower case: U+0130 becomes "i" and a combining dot.
  EXPECT_EQ(lowerCase("/media/İSTANBUL/"), "/media/i\xcc\x87stanbul/");
  // A Turkish locale must not change the mapping of "I".
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  std::setlocale(LC_ALL, "tr_TR.UTF-8");
  EXPECT_EQ(lowerCase("/MEDIA/I"), "/media/i");
  EXPECT_EQ(lowerCase("/média/I"), "/média/i");
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(lowerCase("/media/\xff"), "/media/\xff") << "bytes that are not UTF-8 stay as they are";
}

}  // namespace
}  // namespace zorva
