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

std::string under(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

class DriveTest : public ProductTest {
 protected:
  RigOptions rigOptions() override {
    RigOptions options;
    options.loopDrive = true;
    return options;
  }

  // What the test runs, and the audit events it expects: destination -> source below the root.
  struct Plan {
    std::vector<std::vector<std::string>> commands;
    std::map<std::string, std::string> expected;
  };

  // A name no other file of the test has, telling the way and the destination.
  std::string fresh(const std::string& way, const std::string& where) {
    return way + "-" + where + "-" + std::to_string(++names_);
  }

  // A file on the watched folder whose copy is expected at `to`.
  std::string source(const std::string& way, const std::string& where, const std::string& to,
                     Plan& plan) {
    std::string name = fresh(way, where);
    makeFile(rig->watched(name));
    plan.expected[under(to, name)] = "/" + name;
    return name;
  }

  // A folder of three files on the watched folder.
  std::vector<std::string> folder(const std::string& name) {
    std::filesystem::create_directories(rig->watched(name));
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
      files.push_back("f" + std::to_string(i) + ".txt");
      makeFile(under(rig->watched(name), files.back()));
    }
    return files;
  }

  // Each way once, from the watched folder into `to`, which `where` names.
  void planEachWay(const std::string& where, const std::string& to, Plan& plan) {
    std::string f = source("cp", where, to, plan);
    plan.commands.push_back({"cp", rig->watched(f), to + "/"});
    f = source("mv", where, to, plan);
    plan.commands.push_back({"mv", rig->watched(f), to + "/"});
    for (const std::string shell : {"bash", "dash"}) {
      f = source(shell, where, to, plan);
      plan.commands.push_back(
          {shell, "-c", "cat \"$1\" > \"$2\"", shell, rig->watched(f), under(to, f)});
    }
    f = source("dd", where, to, plan);  // a copier that exits at once
    plan.commands.push_back({"dd", "if=" + rig->watched(f), "of=" + under(to, f), "status=none"});
    f = source("rsync", where, to, plan);
    plan.commands.push_back({"rsync", rig->watched(f), under(to, f)});

    const std::string moved = fresh("dir", where);
    const auto movedFiles = folder(moved);
    plan.commands.push_back({"mv", rig->watched(moved), to + "/"});
    if (where == "drive") {
      plan.expected[under(to, moved)] = "/" + moved;  // one rename takes the folder along
    } else {
      for (const auto& name : movedFiles) {
        plan.expected[under(under(to, moved), name)] = under("/" + moved, name);
      }
    }
    const std::string synced = fresh("rsync-dir", where);
    const std::string packed = fresh("tar", where);
    for (const std::string& tree : {synced, packed}) {
      for (const auto& name : folder(tree)) {
        plan.expected[under(under(to, tree), name)] = under("/" + tree, name);
      }
      std::filesystem::create_directories(under(to, tree));
    }
    plan.commands.push_back({"rsync", "-a", rig->watched(synced) + "/", under(to, synced) + "/"});
    plan.commands.push_back({"sh", "-c", "tar -cf - -C \"$1\" . | tar -xf - -C \"$2\"", "sh",
                             rig->watched(packed), under(to, packed)});
  }

 private:
  int names_ = 0;
};

TEST_F(DriveTest, EachCommonWayOfTakingFilesOffADriveIsReportedOnce) {
  Plan plan;
  for (int round = 0; round < 2; ++round) {
    planEachWay("tmpfs", rig->onTmpfs(), plan);
    planEachWay("drive", rig->onDrive(), plan);
  }
  for (const auto& command : plan.commands) run(command);
  const auto marker = rig->markerCopy();
  ASSERT_TRUE(marker) << "the marker copy was not reported";
  const auto& expected = plan.expected;

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

// Every kind of filesystem drives come with that this machine can mount. Where the kernel cannot
// watch a whole filesystem for renames (FUSE, a subvolume, an overlay), folders under the roots
// are watched one by one: a move within the drive is caught there as well.
class DriveKindTest : public ProductTest, public ::testing::WithParamInterface<DriveKind> {
 protected:
  RigOptions rigOptions() override {
    RigOptions options;
    options.loopDrive = true;
    options.driveKind = GetParam();
    return options;
  }
};

TEST_P(DriveKindTest, ACopyAMoveACatAndAMoveWithinTheDriveAreOneAuditEventEach) {
  // An overlay cannot say where a file moved within it went: its own mount point stands in.
  const std::string movedWithin = GetParam() == DriveKind::Overlay
                                      ? rig->drive().mountPoint() + "/"
                                      : rig->onDrive("moved-within.txt");
  std::map<std::string, std::string> expected = {
      {rig->onTmpfs("copied.txt"), "/copied.txt"},
      {rig->onTmpfs("catted.txt"), "/catted.txt"},
      {movedWithin, "/later/moved-within.txt"},
  };
  // A FUSE driver forgets a removed file, and the kernel opens each event's file only as the event
  // is read: mv's reads of a file it then removes are lost whenever mv is quicker than the
  // service (as under AddressSanitizer). Reported or not there, never wrongly.
  const DriveKind kind = GetParam();
  const bool fuse =
      kind == DriveKind::FuseFat || kind == DriveKind::FuseNtfs || kind == DriveKind::FuseExfat;
  const std::string movedAway = rig->onTmpfs("moved.txt");
  expected[movedAway] = "/moved.txt";
  // A folder made after the service started is watched as well as those it found.
  std::filesystem::create_directories(rig->watched("later"));
  run({"cp", makeFile(rig->watched("copied.txt")), rig->onTmpfs() + "/"});
  run({"mv", makeFile(rig->watched("moved.txt")), rig->onTmpfs() + "/"});
  run({"sh", "-c", "cat \"$1\" > \"$2\"", "sh", makeFile(rig->watched("catted.txt")),
       rig->onTmpfs("catted.txt")});
  run({"mv", makeFile(rig->watched("later/moved-within.txt")), rig->onDrive("moved-within.txt")});
  const auto marker = rig->markerCopy();
  ASSERT_TRUE(marker) << "the marker copy was not reported";

  std::map<std::string, std::string> reported;
  for (const AuditEvent& event : rig->backend().delivered()) {
    if (event.dest == *marker) continue;
    EXPECT_FALSE(reported.contains(event.dest)) << "reported twice: " << event.dest;
    reported[event.dest] = event.source;
  }
  if (fuse && !reported.contains(movedAway)) expected.erase(movedAway);
  EXPECT_EQ(reported, expected);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DriveKindTest,
                         // Not fusefat: it forgets a removed file at once, and a file it has just
                         // written reads back unlike its copy now and then, so what is caught there
                         // varies from run to run (see the README and the disabled case below).
                         ::testing::Values(DriveKind::Ext4, DriveKind::Xfs,
                                           DriveKind::BtrfsSubvolume, DriveKind::Tmpfs,
                                           DriveKind::Overlay, DriveKind::FuseNtfs,
                                           DriveKind::FuseExfat),
                         [](const auto& info) { return std::string(driveKindName(info.param)); });
// Run by hand: e2e_test --gtest_also_run_disabled_tests --gtest_filter='*Unsteady*'
INSTANTIATE_TEST_SUITE_P(DISABLED_Unsteady, DriveKindTest, ::testing::Values(DriveKind::FuseFat),
                         [](const auto& info) { return std::string(driveKindName(info.param)); });

}  // namespace
}  // namespace zorva::e2e
