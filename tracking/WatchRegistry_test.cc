#include "tracking/WatchRegistry.h"

#include <gtest/gtest.h>

#include "platform/settings/MemorySettingsStore.h"

namespace zorva {
namespace {

TEST(WatchRegistry, RootsAreLowerCasedWithOneTrailingSeparator) {
  EXPECT_EQ(WatchRegistry::watchRoot("/Volumes/USB"), "/volumes/usb/");
  EXPECT_EQ(WatchRegistry::watchRoot("/Volumes/USB/"), "/volumes/usb/");
  EXPECT_EQ(WatchRegistry::watchRoot("/a//b//"), "/a//b//");
  EXPECT_EQ(WatchRegistry::watchRoot(""), "/");
  EXPECT_EQ(WatchRegistry::watchRoot("/MÉDIA/Ünï"), "/média/ünï/");
}

TEST(WatchRegistry, ManyRootsStillFindTheRightOne) {
  MemorySettingsStore settings;
  WatchRegistry registry(settings);
  for (int i = 0; i < 300; ++i) {
    registry.add(std::make_shared<const WatchInfo>(
        WatchInfo{false, "/media/volume-" + std::to_string(i) + "/", i}));
  }
  EXPECT_EQ(registry.isWatching("/media/volume-212/a/b")->volumeId, 212);
  EXPECT_EQ(registry.isWatching("/media/volume-300/a"), nullptr);
  EXPECT_EQ(registry.isWatching("/"), nullptr);
  EXPECT_EQ(registry.isWatching(""), nullptr);
}

}  // namespace
}  // namespace zorva
