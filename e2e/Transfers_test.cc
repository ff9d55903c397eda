// Taking files off a removable drive with the tools people use, each way twice, to another
// filesystem (a tmpfs), the machine's own disk and a folder of the same drive: one audit event per
// file, with its source, destination, volume and time; none for what keeps the data on watched
// folders. Counted once a marker copy made last has arrived: all before it has been handled then.

#include <filesystem>
#include <map>

#include "e2e/ProductTest.h"

namespace zorva::e2e {
namespace {

using ::testing::AnyOf;
using ::testing::Each;
using ::testing::EndsWith;

std::string utcNow() { return runCommand({"date", "-u", "+%Y-%m-%dT%H:%M:%SZ"}).out.substr(0, 20); }

// A way of taking files off the drive: {s} stands for the source, {t} for the folder taken to,
// {n} for the source's name. cp's copy is found by content under another name; dd exits at once;
// rsync writes a temporary name and renames it into place.
struct Way {
  std::string name;
  bool folder;  // of three files
  std::vector<std::string> argv;
};
const std::vector<Way> kWays = {
    {"cp", false, {"cp", "{s}", "{t}/copy of {n}"}},
    {"cp -p", false, {"cp", "-p", "{s}", "{t}/"}},
    {"mv", false, {"mv", "{s}", "{t}/"}},
    {"bash", false, {"bash", "-c", "cat \"$0\" > \"$1\"", "{s}", "{t}/{n}"}},
    {"dash", false, {"dash", "-c", "cat \"$0\" > \"$1\"", "{s}", "{t}/{n}"}},
    {"dd", false, {"dd", "if={s}", "of={t}/{n}", "status=none"}},
    {"rsync", false, {"rsync", "{s}", "{t}/{n}"}},
    {"rsync -a", true, {"rsync", "-a", "{s}/", "{t}/{n}/"}},
    {"tar", true, {"sh", "-c", "tar -cf - -C \"$0\" . | tar -xf - -C \"$1\"", "{s}", "{t}/{n}"}},
    {"mv folder", true, {"mv", "{s}", "{t}/"}},
};

class TransferTest : public ProductTest {
 protected:
  RigOptions rigOptions() override { return {.drive = "ext4"}; }

  // Each way once, from the watched folder into `to`, with what it must be reported as.
  void takeEachWay(const std::string& to) {
    for (const Way& way : kWays) {
      const std::string name = "Way " + way.name + " " + std::to_string(++_names);
      const std::string from = rig->watched(name), dest = to + "/" + name;
      std::vector<std::string> argv;
      for (std::string arg : way.argv) {
        for (const auto& [mark, value] : {std::pair{"{s}", from}, {"{t}", to}, {"{n}", name}}) {
          if (size_t at = arg.find(mark); at != std::string::npos) arg.replace(at, 3, value);
        }
        argv.push_back(arg);
      }
      // Within the drive one rename takes a folder along, and is one event.
      const bool whole = !way.folder || (way.argv[0] == "mv" && to == rig->onDrive());
      if (whole) expected[way.name == "cp" ? to + "/copy of " + name : dest] = "/" + name;
      if (!way.folder) makeFile(from);
      for (int i = 0; way.folder && i < 3; ++i) {
        const std::string file = "/f" + std::to_string(i) + ".txt";
        std::filesystem::create_directories(from);
        if (way.argv[0] != "mv") std::filesystem::create_directories(dest);
        makeFile(from + file);
        if (!whole) expected[dest + file] = "/" + name + file;
      }
      run(argv);
    }
  }

  // What was accepted before a marker copy made now (destination -> source), each once.
  std::map<std::string, std::string> reported() {
    const auto marker = rig->markerCopy();
    EXPECT_TRUE(marker) << "the marker copy was not reported";
    std::map<std::string, std::string> out;
    for (const AuditEvent& e : rig->backend().delivered())
      EXPECT_TRUE(e.dest == marker || out.emplace(e.dest, e.source).second) << "twice: " << e.dest;
    return out;
  }

  std::map<std::string, std::string> expected;  // destination -> source below the root

 private:
  int _names = 0;
};

TEST_F(TransferTest, EachWayOfTakingFilesOffADriveIsReportedOnce) {
  const std::string before = utcNow();
  // Twice to each place: the kernel's quieting of folders that held nothing watched must not
  // hide the second round.
  for (int round = 0; round < 2; ++round)
    for (const std::string& to : {rig->onTmpfs(), rig->outside(), rig->onDrive()}) takeEachWay(to);

  EXPECT_EQ(reported(), expected);
  const std::string after = utcNow();
  for (const AuditEvent& e : rig->backend().delivered())
    EXPECT_TRUE(e.volumeId == ProductRig::kVolume && before <= e.createTime &&
                e.createTime <= after)
        << e.dest << " " << e.volumeId << " " << e.createTime;
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
  // The rig gives the service no bus on purpose, which costs it its listener.
  EXPECT_THAT(rig->logLines("ERROR"),
              Each(AnyOf(HasSubstr("XPC: threw:"), EndsWith("XPC: no listener"))));
}

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
      kind == "overlay" ? rig->drive().mountPoint + "/" : rig->onDrive("moved-within.txt");
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
      [&] { return readFile(probe) != "" && !rig->logLines("later/probe.txt exec:").empty(); },
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

// ext4 is TransferTest's. Not fusefat: it forgets a removed file at once and now and then reads a
// file it has just written back unlike its copy, so what is caught varies (see the README).
INSTANTIATE_TEST_SUITE_P(Kinds, DriveKindTest,
                         ::testing::Values("xfs", "btrfs_subvolume", "tmpfs", "overlay",
                                           "fuse_ntfs", "fuse_exfat"),
                         [](const auto& info) { return info.param; });
// Run by hand: e2e_test --gtest_also_run_disabled_tests --gtest_filter='*Unsteady*'
INSTANTIATE_TEST_SUITE_P(DISABLED_Unsteady, DriveKindTest, ::testing::Values("fuse_fat"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace zorva::e2e
