#include "platform/event_source/PlatformExecutable.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

TEST(PlatformExecutable, OnlyRootOwnedUnwritableFilesInSystemFolders) {
  EXPECT_TRUE(isPlatformExecutable("/usr/bin/cp", 0, 0755));
  EXPECT_TRUE(isPlatformExecutable("/bin/sh", 0, 0755));
  EXPECT_TRUE(isPlatformExecutable("/sbin/init", 0, 0700));
  EXPECT_TRUE(isPlatformExecutable("/lib/systemd/systemd", 0, 0755));
  EXPECT_TRUE(isPlatformExecutable("/lib64/ld-linux-x86-64.so.2", 0, 0755));

  EXPECT_FALSE(isPlatformExecutable("/usr/bin/cp", 1000, 0755)) << "not root's";
  EXPECT_FALSE(isPlatformExecutable("/usr/bin/cp", 0, 0775)) << "group may write";
  EXPECT_FALSE(isPlatformExecutable("/usr/bin/cp", 0, 0757)) << "others may write";
  EXPECT_FALSE(isPlatformExecutable("/opt/tool/bin/tool", 0, 0755));
  EXPECT_FALSE(isPlatformExecutable("/home/u/usr/bin/cp", 0, 0755));
  EXPECT_FALSE(isPlatformExecutable("/usrlocal/x", 0, 0755));
}

}  // namespace
}  // namespace zorva
