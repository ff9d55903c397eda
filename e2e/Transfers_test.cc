// Taking files off a removable drive with the tools people use: to another filesystem (a tmpfs),
// to the machine's own disk and to a folder of the same drive outside the watched one, each way
// twice. Exactly one audit event per file, with its source below the root, the name the copy ends
// with, the volume's id and the time; nothing for what keeps the data on watched folders.
// "Exactly one" is asserted after a marker copy made last has arrived: everything detected before
// it has been handled by then.

#include <filesystem>
#include <map>

#include "e2e/ProductTest.h"

namespace zorva::e2e {
namespace {

using ::testing::AnyOf;
using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string under(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

std::string utcNow() { return runCommand({"date", "-u", "+%Y-%m-%dT%H:%M:%SZ"}).out.substr(0, 20); }

class TransferTest : public ProductTest {
 protected:
  RigOptions rigOptions() override { return {.drive = "ext4"}; }

  // A fresh file (or folder of three files) on the watched folder, each of whose copies in `to`
  // is expected with the source below the root; a renamed copy is called "copy of" the source.
  std::string source(const std::string& way, const std::string& to, bool folder = false,
                     bool renamed = false) {
    const std::string name = "Way " + way + " " + std::to_string(++_names);
    if (!folder) {
      makeFile(rig->watched(name));
      expected[under(to, renamed ? "copy of " + name : name)] = "/" + name;
      return name;
    }
    std::filesystem::create_directories(rig->watched(name));
    for (const char* file : {"f0.txt", "f1.txt", "f2.txt"}) {
      makeFile(under(rig->watched(name), file));
      expected[under(under(to, name), file)] = under("/" + name, file);
      std::filesystem::create_directories(under(to, name));
    }
    return name;
  }

  // Each way once, from the watched folder into `to`.
  void takeEachWay(const std::string& to) {
    std::string f = source("cp", to, false, true);
    run({"cp", rig->watched(f), under(to, "copy of " + f)});
    f = source("cp -p", to);
    run({"cp", "-p", rig->watched(f), to + "/"});
    f = source("mv", to);
    run({"mv", rig->watched(f), to + "/"});
    for (const std::string shell : {"bash", "dash"}) {
      f = source(shell, to);
      run({shell, "-c", "cat \"$1\" > \"$2\"", shell, rig->watched(f), under(to, f)});
    }
    f = source("dd", to);  // a copier that exits at once
    run({"dd", "if=" + rig->watched(f), "of=" + under(to, f), "status=none"});
    f = source("rsync", to);  // writes a temporary name, then renames it into place
    run({"rsync", rig->watched(f), under(to, f)});
    f = source("rsync -a", to, true);
    run({"rsync", "-a", rig->watched(f) + "/", under(to, f) + "/"});
    f = source("tar", to, true);
    run({"sh", "-c", "tar -cf - -C \"$1\" . | tar -xf - -C \"$2\"", "sh", rig->watched(f),
         under(to, f)});
    f = source("mv folder", to, true);
    std::filesystem::remove_all(under(to, f));
    run({"mv", rig->watched(f), to + "/"});
    if (to == rig->onDrive()) {
      // Within the drive one rename takes the folder along, and is one event.
      for (const char* file : {"f0.txt", "f1.txt", "f2.txt"})
        expected.erase(under(under(to, f), file));
      expected[under(to, f)] = "/" + f;
    }
  }

  // What was accepted before a marker copy made now (destination -> source), each once.
  std::map<std::string, std::string> reported() {
    const auto marker = rig->markerCopy();
    EXPECT_TRUE(marker) << "the marker copy was not reported";
    std::map<std::string, std::string> out;
    for (const AuditEvent& event : rig->backend().delivered()) {
      if (event.dest == marker) continue;
      EXPECT_TRUE(out.emplace(event.dest, event.source).second) << "reported twice: " << event.dest;
    }
    return out;
  }

  std::map<std::string, std::string> expected;  // destination -> source below the root

 private:
  int _names = 0;
};

// Each common way off the drive, to each place, once each.
TEST_F(TransferTest, EachWayOfTakingFilesOffADriveIsReportedOnce) {
  const std::string before = utcNow();
  // Twice to each place: the kernel's quieting of folders that held nothing watched must not
  // hide the second round.
  for (int round = 0; round < 2; ++round) {
    for (const std::string& to : {rig->onTmpfs(), rig->outside(), rig->onDrive()}) takeEachWay(to);
  }

  EXPECT_EQ(reported(), expected);
  const std::string after = utcNow();
  for (const AuditEvent& event : rig->backend().delivered()) {
    EXPECT_EQ(event.volumeId, ProductRig::kVolume) << event.dest;
    EXPECT_GE(event.createTime, before);
    EXPECT_LE(event.createTime, after);
  }
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
  // The rig gives the service no bus on purpose, which costs it its listener.
  EXPECT_THAT(rig->service().logLines("ERROR"),
              Each(AnyOf(HasSubstr("XPC: threw:"), EndsWith("XPC: no listener"))));
}

// What keeps the data on watched folders, and what is no copy at all.
TEST_F(TransferTest, WhatKeepsTheDataOnWatchedFoldersIsNotReported) {
  const std::string read = makeFile(rig->watched("read.txt"));
  run({"sh", "-c", "cat \"$1\" >/dev/null; head -c \"$2\" /dev/urandom > \"$3\"", "sh", read,
       std::to_string(std::filesystem::file_size(read)), rig->onTmpfs("same size.txt")});
  // A hard link is a second name for the same data on the same filesystem: a change, never a
  // transfer.
  run({"ln", makeFile(rig->watched("linked.txt")), rig->onDrive("linked-out.txt")});
  run({"rm", makeFile(rig->watched("removed.txt"))});
  const std::string copied = makeFile(rig->watched("copied.txt"));
  run({"cp", copied, rig->watched2("copied.txt")});   // to another watched volume
  run({"cp", copied, rig->watched("copied-2.txt")});  // within the volume
  run({"mv", makeFile(rig->watched("moved.txt")), rig->watched2("moved.txt")});
  run({"mv", makeFile(rig->watched("moved-within.txt")), rig->watched("moved-2.txt")});
  run({"cp", makeFile(rig->outside("incoming.txt")), rig->watched("incoming.txt")});
  run({"mv", makeFile(rig->onTmpfs("moved-in.txt")), rig->watched("moved-in.txt")});

  EXPECT_THAT(reported(), IsEmpty());
}

// The drive's files are held only a moment after each close: it unmounts right after a copy.
TEST_F(TransferTest, TheDriveUnmountsWithinTwoSecondsOfACopy) {
  const std::string last = rig->onTmpfs("last.txt");
  run({"cp", makeFile(rig->watched("last.txt")), last});
  EXPECT_TRUE(waitFor([&] { return rig->drive().unmount(); }, 2s, 50ms))
      << "the drive was still busy 2 s after the copy";
  EXPECT_TRUE(rig->backend().waitForDelivery(last, kDeadline)) << "and the copy is still reported";
}

// Every other kind of filesystem drives come with that this machine can mount. Where the kernel
// cannot watch a whole filesystem for renames (FUSE, a subvolume, an overlay), folders under the
// roots are watched one by one: a move within the drive is caught there as well.
class DriveKindTest : public TransferTest, public ::testing::WithParamInterface<std::string> {
 protected:
  RigOptions rigOptions() override { return {.drive = GetParam()}; }
};

TEST_P(DriveKindTest, ACopyAMoveACatAndAMoveWithinTheDriveAreOneAuditEventEach) {
  const std::string kind = GetParam();
  // An overlay cannot say where a file moved within it went: its own mount point stands in.
  const std::string movedWithin =
      kind == "overlay" ? rig->drive().mountPoint() + "/" : rig->onDrive("moved-within.txt");
  const std::string movedAway = rig->onTmpfs("moved.txt");
  std::map<std::string, std::string> expected = {
      {rig->onTmpfs("copied.txt"), "/copied.txt"},
      {rig->onTmpfs("catted.txt"), "/catted.txt"},
      {movedWithin, "/later/moved-within.txt"},
      {movedAway, "/moved.txt"},
  };
  // A folder made after the service started is watched as well as those it found, from when the
  // service has seen it made: until then a file read there goes unseen.
  std::filesystem::create_directories(rig->watched("later"));
  const std::string probe = makeFile(rig->watched("later/probe.txt"));
  ASSERT_TRUE(waitFor(
      [&] {
        return readFile(probe) != "" &&
               rig->service().log().find("later/probe.txt exec:") != std::string::npos;
      },
      kDeadline));
  run({"cp", makeFile(rig->watched("copied.txt")), rig->onTmpfs() + "/"});
  run({"mv", makeFile(rig->watched("moved.txt")), rig->onTmpfs() + "/"});
  run({"sh", "-c", "cat \"$1\" > \"$2\"", "sh", makeFile(rig->watched("catted.txt")),
       rig->onTmpfs("catted.txt")});
  run({"mv", makeFile(rig->watched("later/moved-within.txt")), rig->onDrive("moved-within.txt")});
  const auto reported = TransferTest::reported();
  // A FUSE driver forgets a removed file, and the kernel opens each event's file only as the event
  // is read: mv's reads of a file it then removes are lost whenever mv is quicker than the
  // service (as under AddressSanitizer). Reported or not there, never wrongly.
  if (kind.starts_with("fuse") && !reported.contains(movedAway)) expected.erase(movedAway);
  EXPECT_EQ(reported, expected);
}

// ext4 is the drive of TransferTest. Not fusefat: it forgets a removed file at once, and a file it
// has just written reads back unlike its copy now and then, so what is caught there varies from
// run to run (see the README and the disabled case below).
INSTANTIATE_TEST_SUITE_P(Kinds, DriveKindTest,
                         ::testing::Values("xfs", "btrfs_subvolume", "tmpfs", "overlay",
                                           "fuse_ntfs", "fuse_exfat"),
                         [](const auto& info) { return info.param; });
// Run by hand: e2e_test --gtest_also_run_disabled_tests --gtest_filter='*Unsteady*'
INSTANTIATE_TEST_SUITE_P(DISABLED_Unsteady, DriveKindTest, ::testing::Values("fuse_fat"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace zorva::e2e
