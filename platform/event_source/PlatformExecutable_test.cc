#include "platform/event_source/PlatformExecutable.h"

#include <gtest/gtest.h>

#include <tuple>

namespace zorva {
namespace {

TEST(PlatformExecutable, OnlyRootOwnedUnwritableFilesInSystemFolders) {
  const std::tuple<const char*, uid_t, mode_t, bool> cases[] = {
      {"/usr/bin/cp", 0, 0755, true},     {"/bin/sh", 0, 0755, true},
      {"/sbin/init", 0, 0700, true},      {"/lib64/ld-linux-x86-64.so.2", 0, 0755, true},
      {"/usr/bin/cp", 1000, 0755, false}, {"/usr/bin/cp", 0, 0775, false},
      {"/usr/bin/cp", 0, 0757, false},    {"/home/u/usr/bin/cp", 0, 0755, false},
      {"/usrlocal/x", 0, 0755, false},
  };
  for (const auto& [path, owner, mode, platform] : cases) {
    EXPECT_EQ(isPlatformExecutable(path, owner, mode), platform)
        << path << " " << owner << " " << mode;
  }
}

}  // namespace
}  // namespace zorva
