#include "tracking/CasedPath.h"

#include <gtest/gtest.h>

#include "platform/text/LowerCase.h"

namespace zorva {
namespace {

TEST(CasedPath, RestoresEveryPathExactly) {
  const std::string paths[] = {
      "/media/usb/a.txt",                                // already lower case
      "/Volumes/USB/Docs/Report FINAL.PDF",              // ASCII capitals only: a bit mask
      "/media/usb/" + std::string(300, 'X') + "/Q.txt",  // a mask too long for the inline buffer
      "/media/ÄÖÜ/Straße.TXT",                           // capitals outside ASCII
      "/media/İSTANBUL/Rapor.pdf",                       // lower case longer than the path
      "/MEDIA/K",                                        // K (Kelvin sign) is not an ASCII capital
  };
  for (const std::string& path : paths) {
    std::string lower = lowerCase(path);
    EXPECT_EQ(CasedPath(path, lower).restore(lower), path);
  }
}

}  // namespace
}  // namespace zorva
