#include "tracking/WatchRegistry.h"

#include <gtest/gtest.h>

#include "platform/settings/testing/MemorySettingsStore.h"

namespace zorva {
namespace {

TEST(WatchRegistry, RootsAreLowerCasedWithOneTrailingSeparator) {
  EXPECT_EQ(WatchRegistry::watchRoot("/Volumes/USB"), "/volumes/usb/");
  EXPECT_EQ(WatchRegistry::watchRoot("/Volumes/USB/"), "/volumes/usb/");
  EXPECT_EQ(WatchRegistry::watchRoot("/a//b//"), "/a//b//");
  EXPECT_EQ(WatchRegistry::watchRoot(""), "/");
  EXPECT_EQ(WatchRegistry::watchRoot("/MÉDIA/Ünï"), "/média/ünï/");
}

TEST(WatchRegistry, LooksUpAmongManyNestedRootsByComponents) {
  MemorySettingsStore settings;
  WatchRegistry registry(settings);
  WatchRegistry::Reader reader(registry);
  EXPECT_EQ(reader.isWatching("/media/volume-1/a"), nullptr);
  for (int i = 0; i < 1000; ++i) {
    registry.add(false, "/media/volume-" + std::to_string(i) + "/", i);
  }
  registry.add(false, "/media/volume-1/inner/", 2000);
  registry.add(false, "/", 3000);
  EXPECT_EQ(reader.size(), 1002u) << "a reader sees registrations made after it was created";
  EXPECT_EQ(reader.isWatching("/media/volume-512/a/b")->volumeId, 512);
  EXPECT_EQ(reader.isWatching("/media/volume-1/inner/a")->volumeId, 2000) << "the longest root";
  EXPECT_EQ(reader.isWatching("/media/volume-1/innerx/a")->volumeId, 1);
  EXPECT_EQ(reader.isWatching("/media/volume-1000/a")->volumeId, 3000);
  EXPECT_EQ(reader.isWatching("/media/volume-5")->volumeId, 3000)
      << "a root holds no folder of its own name";
  EXPECT_EQ(reader.isWatching("relative/a"), nullptr);
  EXPECT_EQ(reader.isWatching(""), nullptr);
}

// A client registering one root over and over must not grow the service: a replaced record lives
// only as long as something (an open-file record, a look-up in hand) still refers to it.
TEST(WatchRegistry, AReplacedRecordLivesOnlyWhileReferredTo) {
  MemorySettingsStore settings;
  WatchRegistry registry(settings);
  WatchRegistry::Reader reader(registry);
  std::weak_ptr<const WatchInfo> first = registry.add(false, "/media/usb/", 1);
  WatchRef held = reader.isWatching("/media/usb/a");
  for (int i = 2; i <= 1000; ++i) registry.add(false, "/media/usb/", i);
  EXPECT_EQ(reader.isWatching("/media/usb/a")->volumeId, 1000);
  EXPECT_FALSE(first.expired()) << "still referred to";
  EXPECT_EQ(held->volumeId, 1);
  held.reset();
  EXPECT_TRUE(first.expired());
  EXPECT_EQ(first.use_count(), 0);
}

}  // namespace
}  // namespace zorva
