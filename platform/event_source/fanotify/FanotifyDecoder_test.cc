// Decoding and translation from byte buffers laid out as the kernel lays them out, with the
// system calls behind a mock: no kernel needed.

#include "platform/event_source/fanotify/FanotifyDecoder.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fanotify.h>

#include <cstring>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/fanotify/FanotifyTranslator.h"
#include "platform/event_source/fanotify/IgnoredFolders.h"
#include "platform/event_source/fanotify/MountTable.h"
#include "platform/event_source/fanotify/ProcessTable.h"
#include "platform/event_source/fanotify/testing/MockFanotifyApi.h"
#include "platform/event_source/fanotify/testing/PrefixRoots.h"
#include "platform/event_source/fanotify/testing/RecordedBuffers.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAre;
using testing::Records;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::SetErrnoAndReturn;

// What decodes well is checked through the translator below.
TEST(FanotifyDecoder, BrokenBuffersNeverReadOutsideAndHandBackTheirDescriptors) {
  const std::vector<std::byte> file = Records().file(FAN_OPEN, 9).bytes();
  const std::vector<std::byte> entry = Records().entry(FAN_DELETE, 1, "x").bytes();
  constexpr size_t kInfo = sizeof(fanotify_event_metadata);
  std::vector<std::byte> cut(file.begin(), file.end() - 4);
  std::vector<std::byte> lying = entry;  // an info record longer than its record
  std::memset(lying.data() + kInfo + 2, 0xff, 2);
  std::vector<std::byte> unterminated = entry;  // a name without its NUL inside the record
  std::memset(unterminated.data() + kInfo + 24, 'y', unterminated.size() - kInfo - 24);
  for (const auto& broken : {cut, lying, unterminated}) {
    FanotifyBatch batch = decodeFanotifyBuffer(broken);
    EXPECT_TRUE(batch.records.empty());
    EXPECT_EQ(batch.malformed, 1u);
  }

  // Every prefix and every single-byte corruption of a valid buffer decodes without crashing.
  std::vector<std::byte> all = Records().file(FAN_OPEN, 3).entry(FAN_CREATE, 1, "n").bytes();
  for (size_t length = 0; length <= all.size(); ++length) {
    decodeFanotifyBuffer(std::span<const std::byte>(all.data(), length));
  }
  for (size_t at = 0; at < all.size(); ++at) {
    std::vector<std::byte> copy = all;
    copy[at] = std::byte{0xff};
    for (int fd : decodeFanotifyBuffer(copy).strayFds) EXPECT_EQ(fd, 3);
  }
}

// ---- Translation

class FanotifyTranslatorTest : public ::testing::Test {
 protected:
  FanotifyTranslatorTest() {
    translator.setWanted(~uint64_t{0});
    translator.setMount(42, "/media");
    ON_CALL(api, openPath("/media")).WillByDefault(Return(500));
    // Tests expect the calls they care about; the rest answer with the defaults below.
    EXPECT_CALL(api, readLink(_)).Times(::testing::AnyNumber());
    EXPECT_CALL(api, stat(_, _)).Times(::testing::AnyNumber());
    // Directory handles 1 and 2 open as descriptors 601 and 602, which name two folders.
    ON_CALL(api, openByHandle(500, _)).WillByDefault([](int, const std::vector<unsigned char>& h) {
      return 600 + h[8];
    });
    ON_CALL(api, readLink("/proc/self/fd/601")).WillByDefault(Return("/media/usb"));
    ON_CALL(api, readLink("/proc/self/fd/602")).WillByDefault(Return("/home/u"));
    ON_CALL(api, readFile("/proc/100/stat"))
        .WillByDefault(Return("100 (cp (copy) x) R 99 1 1 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 555 0"));
    ON_CALL(api, readLink("/proc/100/exe")).WillByDefault(Return("/usr/bin/cp"));
  }

  void translate(const Records& records) {
    FanotifyBatch batch = decodeFanotifyBuffer(records.span());
    translator.translate(batch);
    translator.flush();
  }

  static std::string describe(const es_message_t& m) {
    const es_events_t& e = m.event;
    const auto p = [](const es_file_t* file) { return std::string(file->path.data); };
    switch (m.event_type) {
      case ES_EVENT_TYPE_NOTIFY_OPEN:
        return "open " + p(e.open.file);
      case ES_EVENT_TYPE_NOTIFY_CLOSE:
        return (e.close.modified ? "modified close " : "close ") + p(e.close.target);
      case ES_EVENT_TYPE_NOTIFY_RENAME:
        return "rename " + p(e.rename.source) + " to " + p(e.rename.destination.new_path.dir) +
               "|" + e.rename.destination.new_path.filename.data;
      case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
        return "exchange " + p(e.exchangedata.file1) + " " + p(e.exchangedata.file2);
      case ES_EVENT_TYPE_NOTIFY_UNLINK:
        return "unlink " + p(e.unlink.target);
      default:  // LINK
        return "link " + p(e.link.target_dir) + "|" + e.link.target_filename.data;
    }
  }

  MemoryLogWriter log;
  ManualClock clock;
  ::testing::NiceMock<MockFanotifyApi> api;
  ProcessTable processes{api, clock};  // not started: answers from /proc
  std::vector<std::string> delivered;
  std::vector<std::string> actors;  // parent and executable of each delivered event
  FanotifyTranslator translator{
      api, processes, /*ownPid=*/4242, [this](const es_message_t& m) {
        delivered.push_back(describe(m));
        actors.push_back(std::to_string(m.process->ppid) + " " + m.process->executable->path.data);
      }};
};

TEST_F(FanotifyTranslatorTest, MergedRecordsGiveTheirEventsInOrderAndAWriteAfterTheOpensBehindIt) {
  struct stat status {};
  status.st_mode = S_IFREG | 0644;
  status.st_nlink = 1;
  EXPECT_CALL(api, readLink("/proc/self/fd/7")).WillOnce(Return("/media/usb/a.txt"));
  EXPECT_CALL(api, fstat(7, _)).WillOnce(DoAll(SetArgPointee<1>(status), Return(0)));
  EXPECT_CALL(api, readLink("/proc/self/fd/8")).WillOnce(Return("/media/usb/b.txt"));
  EXPECT_CALL(api, fstat(8, _)).WillOnce(DoAll(SetArgPointee<1>(status), Return(0)));
  EXPECT_CALL(api, close(7)).Times(1);
  EXPECT_CALL(api, close(8)).Times(1);
  translate(Records()
                .file(FAN_OPEN | FAN_CLOSE_NOWRITE | FAN_CLOSE_WRITE, 7)
                .file(FAN_OPEN | FAN_CLOSE_NOWRITE, 8));
  // The write merged into its open happened after the opens queued behind it.
  EXPECT_THAT(delivered, ElementsAre("open /media/usb/a.txt", "close /media/usb/a.txt",
                                     "open /media/usb/b.txt", "close /media/usb/b.txt",
                                     "modified close /media/usb/a.txt"));
  // The parent comes from /proc/<pid>/stat, whatever the process's name holds.
  EXPECT_THAT(actors, ::testing::Each("99 /usr/bin/cp"));
}

TEST_F(FanotifyTranslatorTest, DescriptorsAreClosedOnEveryPath) {
  EXPECT_CALL(api, close(8));   // the service's own event
  EXPECT_CALL(api, close(9));   // a path that cannot be read
  EXPECT_CALL(api, close(10));  // a file removed before its event was read
  EXPECT_CALL(api, readLink("/proc/self/fd/9")).WillOnce(Return(std::nullopt));
  struct stat gone {};
  gone.st_mode = S_IFREG;
  EXPECT_CALL(api, readLink("/proc/self/fd/10")).WillOnce(Return("/media/usb/tmp (deleted)"));
  EXPECT_CALL(api, fstat(10, _)).WillOnce(DoAll(SetArgPointee<1>(gone), Return(0)));
  translate(Records().file(FAN_OPEN, 8, 4242).file(FAN_OPEN, 9).file(FAN_CLOSE_WRITE, 10));
  EXPECT_THAT(delivered, ElementsAre("modified close /media/usb/tmp"));
}

TEST_F(FanotifyTranslatorTest, RenamesDeletionsLinksAndExchanges) {
  struct stat linked {};
  linked.st_mode = S_IFREG | 0644;
  linked.st_nlink = 2;
  EXPECT_CALL(api, stat("/home/u/l", _)).WillOnce(DoAll(SetArgPointee<1>(linked), Return(0)));
  translate(Records()
                .rename(1, "a.txt", 2, "b.txt")
                .entry(FAN_DELETE, 1, "gone")
                .entry(FAN_CREATE, 2, "l")
                // An exchange is two renames back to back by one process, of different files...
                .rename(1, "x", 2, "y", 7)
                .rename(2, "y", 1, "x", 8)
                // ...while one file moved there and back is two renames.
                .rename(1, "p", 2, "q", 9)
                .rename(2, "q", 1, "p", 9));
  EXPECT_THAT(delivered,
              ElementsAre("rename /media/usb/a.txt to /home/u|b.txt", "unlink /media/usb/gone",
                          "link /home/u|l", "exchange /media/usb/x /home/u/y",
                          "rename /media/usb/p to /home/u|q", "rename /home/u/q to /media/usb|p"));
}

// The translator with the folder filter on, its files regular ones.
class FilteringTranslatorTest : public FanotifyTranslatorTest {
 protected:
  FilteringTranslatorTest() {
    ignored.setWatchedFolders(&roots);
    translator.setIgnoredFolders(&ignored);
    status.st_mode = S_IFREG | 0644;
    ON_CALL(api, fstat(_, _)).WillByDefault(DoAll(SetArgPointee<1>(status), Return(0)));
  }

  testing::PrefixRoots roots{{"/media"}};
  IgnoredFolders ignored{api, 3, 4};
  struct stat status {};
};

// Opens and unmodified closes outside every root have their folder marked; a modified close
// never does (a copy's destination can be anywhere), and a folder moved under a root unmarks all.
// What comes of new names outside the roots is not looked into.
TEST_F(FilteringTranslatorTest, QuietEventsOutsideTheRootsHaveTheirFolderMarked) {
  ON_CALL(api, readLink("/proc/self/fd/7")).WillByDefault(Return("/home/u/a.txt"));
  ON_CALL(api, readLink("/proc/self/fd/8")).WillByDefault(Return("/media/usb/b.txt"));
  ON_CALL(api, readLink("/proc/self/fd/9")).WillByDefault(Return("/tmp/copy"));
  ON_CALL(api, readLink("/proc/self/fd/10")).WillByDefault(Return("/top"));
  // Each folder is marked in both groups once in the batch, from its first quiet event.
  for (const char* folder : {"/home/u", "/"}) {
    EXPECT_CALL(api, mark(3, IgnoredFolders::kMarkFlags, IgnoredFolders::kIgnoredEvents, folder));
    EXPECT_CALL(api, mark(4, IgnoredFolders::kMarkFlags, IgnoredFolders::kIgnoredEntries, folder));
  }
  EXPECT_CALL(api, mark(3, FAN_MARK_FLUSH, 0, _));
  EXPECT_CALL(api, mark(4, FAN_MARK_FLUSH, 0, _));
  // A new name outside the roots is not even looked at to tell a link from a new file.
  struct stat linked = status;
  linked.st_nlink = 2;
  EXPECT_CALL(api, stat("/home/u/l", _)).Times(0);
  EXPECT_CALL(api, stat("/media/usb/l", _)).WillOnce(DoAll(SetArgPointee<1>(linked), Return(0)));
  translate(Records()
                .entry(FAN_CREATE, 2, "l")
                .entry(FAN_CREATE, 1, "l")
                .file(FAN_OPEN, 7)
                .file(FAN_CLOSE_NOWRITE, 8)
                .file(FAN_CLOSE_WRITE, 9)
                .file(FAN_OPEN | FAN_OPEN_EXEC, 10)
                .rename(2, "away", 2, "elsewhere", 5, /*folder=*/true)
                .rename(2, "in", 1, "in", 6, /*folder=*/true));
  EXPECT_THAT(delivered, ElementsAre("link /media/usb|l", "open /home/u/a.txt",
                                     "close /media/usb/b.txt", "modified close /tmp/copy",
                                     "open /top", "rename /home/u/away to /home/u|elsewhere",
                                     "rename /home/u/in to /media/usb|in"));
}

// While nothing could come of a write, one alone is dropped before its path is read; a write
// merged with its open still comes, as the open does.
TEST_F(FilteringTranslatorTest, WritesAreDroppedUnreadWhileNothingCouldComeOfThem) {
  ON_CALL(api, readLink("/proc/self/fd/7")).WillByDefault(Return("/tmp/a"));
  ON_CALL(api, readLink("/proc/self/fd/8")).WillByDefault(Return("/tmp/b"));
  EXPECT_CALL(api, readLink("/proc/self/fd/7")).Times(1);
  EXPECT_CALL(api, close(_)).Times(::testing::AnyNumber());
  EXPECT_CALL(api, close(7)).Times(2);  // dropped or not, its descriptor is let go
  roots.setWritesMatter(false);
  translate(Records().file(FAN_CLOSE_WRITE, 7).file(FAN_OPEN | FAN_CLOSE_WRITE, 8));
  roots.setWritesMatter(true);
  translate(Records().file(FAN_CLOSE_WRITE, 7));
  EXPECT_THAT(delivered,
              ElementsAre("open /tmp/b", "modified close /tmp/b", "modified close /tmp/a"));
}

TEST_F(FanotifyTranslatorTest, UnresolvedFoldersAndOverflowsAreLoggedAndTheRestGoesOn) {
  // A folder removed before its events were read (rm -r) is counted quietly; a handle that fails
  // for any other reason is a fault worth a line.
  EXPECT_CALL(api, openByHandle(500, _))
      .WillOnce(SetErrnoAndReturn(ESTALE, -1))
      .WillOnce(SetErrnoAndReturn(EACCES, -1))
      .WillRepeatedly(Return(601));
  translate(Records()
                .entry(FAN_DELETE, 1, "a")
                .file(FAN_Q_OVERFLOW, FAN_NOFD, 0)
                .entry(FAN_DELETE, 3, "c")
                .entry(FAN_DELETE, 2, "b"));
  EXPECT_THAT(delivered, ElementsAre("unlink /media/usb/b"));
  EXPECT_EQ(translator.overflows(), 1u);
  EXPECT_EQ(translator.staleHandles(), 1u);
  EXPECT_THAT(log.texts(),
              ElementsAre("ZORVA_LOG: fanotify: 1 events named a folder removed before they were "
                          "read",
                          "ZORVA_LOG: ERROR: fanotify: the kernel's event queue overflowed and "
                          "events were lost (1 so far)",
                          "ZORVA_LOG: ERROR: fanotify: a directory handle could not be resolved "
                          "(1 so far)"));
}

// ---- Processes and mounts

// Escapes, pseudo filesystems and lines that are not mounts; and whether a second mount of a
// filesystem gives its folders other paths than its mount at / does: only then can an ignore mark
// taken for one path silence another.
TEST(MountTable, ParsesTheTableAndTellsASecondWayInFromAFolderBoundOntoItself) {
  auto mounts = parseMountInfo(
      "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
      "50 27 254:0 /var/lib/zorva /var/lib/zorva rw - ext4 /dev/vda rw\n"
      "51 27 254:0 /home /home ro - ext4 /dev/vda rw\n"
      "52 27 254:0 /srv/data /home/ann/data rw - ext4 /dev/vda rw\n"
      "53 27 254:0 /srv/data /mnt/data rw - ext4 /dev/vda rw\n"
      "54 27 254:0 /srv/My\\040Data /srv/My\\040Data rw - ext4 /dev/vda rw\n"
      "40 27 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
      "60 27 8:17 / /media/My\\040Drive rw,nosuid shared:1 master:2 - vfat /dev/sdb1 rw\n"
      "61 27 8:17 /photos /mnt/photos rw - vfat /dev/sdb1 rw\n"
      "garbage\n");
  ASSERT_EQ(mounts.size(), 9u);
  EXPECT_EQ(mounts[5].root, "/srv/My Data");
  EXPECT_EQ(mounts[7].mountPoint, "/media/My Drive");
  EXPECT_EQ(mounts[7].fsType, "vfat");
  for (const auto& [type, holds] :
       {std::pair{"ext4", true}, {"tmpfs", true}, {"cgroup2", false}, {"proc", false}}) {
    EXPECT_EQ(canHoldUserFiles(type), holds) << type;
  }
  for (const auto& [other, same] :
       {std::pair{1, true}, {2, true}, {3, false}, {4, false}, {5, true}}) {
    EXPECT_EQ(pathMapping(mounts[other]) == pathMapping(mounts[0]), same) << mounts[other].root;
  }
  EXPECT_NE(pathMapping(mounts[3]), pathMapping(mounts[4]));
  EXPECT_NE(pathMapping(mounts[8]), pathMapping(mounts[7]));  // /media/My Drive/photos, /mnt/photos
}

}  // namespace
}  // namespace zorva
