// Taking files off a removable drive with the tools people use, on a loop-mounted ext4 image:
// to another filesystem (a tmpfs) and to a folder of the same drive outside the watched one. Each
// way, a few times: exactly one audit event per file, with its source below the root, the name
// the copy ends with and the volume's id; nothing for what stays on the watched folder.

#include <gmock/gmock.h>

#include <filesystem>
#include <map>

#include "e2e/ProductTest.h"

namespace zorva::e2e {
namespace {

using ::testing::IsEmpty;

class DriveTest : public ProductTest {
 protected:
  RigOptions rigOptions() override {
    RigOptions options;
    options.loopDrive = true;
    return options;
  }

  // A folder of `count` files with contents no other file has; returns their names.
  std::vector<std::string> makeFolder(const std::string& folder, int count) {
    std::filesystem::create_directories(folder);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      names.push_back("f" + std::to_string(i) + ".txt");
      makeFile(folder + "/" + names.back());
    }
    return names;
  }
};

TEST_F(DriveTest, EachCommonWayOfTakingFilesOffADriveIsReportedOnce) {
  // Expected audit events: destination -> source below the root.
  std::map<std::string, std::string> expected;
  std::vector<std::vector<std::string>> commands;
  const std::vector<std::pair<std::string, std::string>> destinations = {{"tmpfs", rig->onTmpfs()},
                                                                         {"drive", rig->onDrive()}};
  int n = 0;
  for (int round = 0; round < 2; ++round) {
    for (const auto& [where, to] : destinations) {
      auto name = [&](const std::string& way) {
        return way + "-" + where + "-" + std::to_string(++n);
      };
      auto file = [&](const std::string& way) {
        const std::string base = name(way);
        makeFile(rig->watched(base));
        expected[to + "/" + base] = "/" + base;
        return base;
      };
      std::string f = file("cp");
      commands.push_back({"cp", rig->watched(f), to + "/"});
      f = file("mv");
      commands.push_back({"mv", rig->watched(f), to + "/"});
      f = file("bash");
      commands.push_back(
          {"bash", "-c", "cat \"$1\" > \"$2\"", "bash", rig->watched(f), to + "/" + f});
      f = file("dash");
      commands.push_back(
          {"dash", "-c", "cat \"$1\" > \"$2\"", "dash", rig->watched(f), to + "/" + f});
      f = file("dd");  // a copier that exits at once
      commands.push_back({"dd", "if=" + rig->watched(f), "of=" + to + "/" + f, "status=none"});
      f = file("rsync");
      commands.push_back({"rsync", rig->watched(f), to + "/" + f});

      const std::string folder = name("dir");
      const auto names = makeFolder(rig->watched(folder), 3);
      commands.push_back({"mv", rig->watched(folder), to + "/"});
      if (where == "drive") {
        expected[to + "/" + folder] = "/" + folder;  // one rename takes the folder along
      } else {
        for (const auto& each : names)
          expected[to + "/" + folder + "/" + each] = "/" + folder + "/" + each;
      }
      for (const std::string way : {"rsync-dir", "tar"}) {
        const std::string tree = name(way);
        for (const auto& each : makeFolder(rig->watched(tree), 3)) {
          expected[to + "/" + tree + "/" + each] = "/" + tree + "/" + each;
        }
        std::filesystem::create_directories(to + "/" + tree);
        if (std::string(way) == "tar") {
          commands.push_back({"sh", "-c", "tar -cf - -C \"$1\" . | tar -xf - -C \"$2\"", "sh",
                              rig->watched(tree), to + "/" + tree});
        } else {
          commands.push_back({"rsync", "-a", rig->watched(tree) + "/", to + "/" + tree + "/"});
        }
      }
    }
  }
  for (const auto& command : commands) run(command);
  const auto marker = rig->markerCopy();
  ASSERT_TRUE(marker) << "the marker copy was not reported";

  std::vector<std::string> missed;
  for (const auto& [dest, source] : expected) {
    SCOPED_TRACE(dest);
    const auto events = eventsTo(dest);
    if (events.empty()) {
      missed.push_back(dest);
      continue;
    }
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, source);
    EXPECT_EQ(events[0].volumeId, ProductRig::kVolume);
  }
  EXPECT_THAT(missed, IsEmpty());
  std::vector<std::string> unexpected;
  for (const AuditEvent& event : rig->backend().delivered()) {
    if (event.dest != *marker && !expected.contains(event.dest)) unexpected.push_back(event.dest);
  }
  EXPECT_THAT(unexpected, IsEmpty()) << "temporary names, or transfers that were none";
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
}

TEST_F(DriveTest, WhatIsNotACopyOffTheDriveIsNotReported) {
  const std::string read = makeFile(rig->watched("read.txt"));
  const auto size = std::to_string(std::filesystem::file_size(read));
  // Read a watched file, then write one of the same size with other bytes: sizes match, bytes
  // do not.
  run({"sh", "-c", "cat \"$1\" >/dev/null; head -c \"$2\" /dev/urandom > \"$3\"", "sh", read, size,
       rig->onTmpfs("same-size.txt")});
  run({"cp", makeFile(rig->onTmpfs("incoming.txt")), rig->watched("incoming.txt")});
  run({"cp", makeFile(rig->watched("within.txt")), rig->watched("within-copy.txt")});
  run({"mv", makeFile(rig->watched("moved.txt")), rig->watched("moved-within.txt")});
  const auto marker = rig->markerCopy();
  ASSERT_TRUE(marker);
  std::vector<std::string> dests;
  for (const AuditEvent& event : rig->backend().delivered()) dests.push_back(event.dest);
  EXPECT_EQ(dests, std::vector<std::string>{*marker});
}

// The service keeps the drive's files open only for a moment after they are closed, so the drive
// can be unmounted right after a copy.
TEST_F(DriveTest, TheDriveUnmountsWithinTwoSecondsOfACopy) {
  const std::string dest = rig->onTmpfs("last.txt");
  run({"cp", makeFile(rig->watched("last.txt")), dest});
  EXPECT_TRUE(waitFor([&] { return rig->drive().unmount(); }, 2s, 50ms))
      << "the drive was still busy 2 s after the copy";
  EXPECT_TRUE(rig->backend().waitForDelivery(dest, kDeadline)) << "and the copy is still reported";
}

}  // namespace
}  // namespace zorva::e2e
