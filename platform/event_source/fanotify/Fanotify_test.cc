// The fanotify backend without a kernel: buffers laid out as the kernel lays them out, connector
// messages, and every system call behind a mock.

#include <elf.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fanotify.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <tuple>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/fanotify/FanotifyDecoder.h"
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
using testing::execMessage;
using testing::exitMessage;
using testing::forkMessage;
using ::testing::HasSubstr;
using ::testing::NiceMock;
using testing::Records;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::SetErrnoAndReturn;

// Crashes and reads past the end are the fuzzer's; what decodes well is checked below.
TEST(FanotifyDecoder, BrokenBuffersNeverReadOutsideAndHandBackTheirDescriptors) {
  const std::vector<std::byte> file = Records().file(FAN_OPEN, 9).bytes();
  const std::vector<std::byte> entry = Records().entry(FAN_DELETE, 1, "x").bytes();
  constexpr size_t kInfo = sizeof(fanotify_event_metadata);
  std::vector<std::byte> cut(file.begin(), file.end() - 4);
  std::vector<std::byte> lying = entry;  // an info record longer than its record
  std::memset(lying.data() + kInfo + 2, 0xff, 2);
  std::vector<std::byte> unterminated = entry;  // a name without its NUL inside the record
  std::memset(unterminated.data() + kInfo + 24, 'y', unterminated.size() - kInfo - 24);
  std::vector<std::byte> longer = file;  // a record longer than the buffer
  longer[0] = std::byte{0xff};
  const int fd = 9;
  std::memcpy(lying.data() + offsetof(fanotify_event_metadata, fd), &fd, sizeof fd);
  for (const auto& [broken, stray] :
       {std::pair{cut, std::vector<int>{}}, {longer, {9}}, {lying, {9}}, {unterminated, {}}}) {
    FanotifyBatch batch = decodeFanotifyBuffer(broken);
    EXPECT_TRUE(batch.records.empty());
    EXPECT_EQ(batch.malformed, 1u);
    EXPECT_EQ(batch.strayFds, stray);
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
    status.st_mode = S_IFREG | 0644;
    ON_CALL(api, fstat(_, _)).WillByDefault(DoAll(SetArgPointee<1>(status), Return(0)));
  }

  // The files that descriptors handed over name.
  void name(std::initializer_list<std::pair<int, const char*>> files) {
    for (auto [fd, path] : files) {
      ON_CALL(api, readLink("/proc/self/fd/" + std::to_string(fd))).WillByDefault(Return(path));
    }
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
      case ES_EVENT_TYPE_NOTIFY_UNLINK:
        return "unlink " + p(e.unlink.target);
      default:  // LINK
        return "link " + p(e.link.target_dir) + "|" + e.link.target_filename.data;
    }
  }

  struct stat status {};
  MemoryLogWriter log;
  ManualClock clock;
  ::testing::NiceMock<MockFanotifyApi> api;
  ProcessTable processes{api, clock};  // not started: answers from /proc
  std::vector<std::string> delivered;
  std::vector<std::string> actors;  // "pid<ppid<grandparent<great exe" of each delivered event
  FanotifyTranslator translator{
      api, processes, /*ownPid=*/4242, [this](const es_message_t& m) {
        delivered.push_back(describe(m));
        const es_process_t& p = *m.process;
        actors.push_back(std::to_string(p.pid) + "<" + std::to_string(p.ppid) + "<" +
                         std::to_string(p.grandparent) + "<" + std::to_string(p.great_grandparent) +
                         " " + p.executable->path.data);
      }};
};

TEST_F(FanotifyTranslatorTest, MergedRecordsGiveTheirEventsInOrderAndAWriteAfterTheOpensBehindIt) {
  name({{7, "/media/usb/a.txt"}, {8, "/media/usb/b.txt"}});
  translate(Records()
                .file(FAN_OPEN | FAN_CLOSE_NOWRITE | FAN_CLOSE_WRITE, 7)
                .file(FAN_OPEN | FAN_CLOSE_NOWRITE, 8));
  // The write merged into its open happened after the opens queued behind it.
  EXPECT_THAT(delivered, ElementsAre("open /media/usb/a.txt", "close /media/usb/a.txt",
                                     "open /media/usb/b.txt", "close /media/usb/b.txt",
                                     "modified close /media/usb/a.txt"));
  // The parent comes from /proc/<pid>/stat, whatever the process's name holds.
  EXPECT_THAT(actors, ::testing::Each("100<99<0<0 /usr/bin/cp"));
}

TEST_F(FanotifyTranslatorTest, DescriptorsAreClosedOnEveryPath) {
  EXPECT_CALL(api, close(8));                // the service's own event
  EXPECT_CALL(api, close(9));                // a path that cannot be read
  EXPECT_CALL(api, close(10));               // a file removed before its event was read
  name({{10, "/media/usb/tmp (deleted)"}});  // 9 names nothing
  translate(Records().file(FAN_OPEN, 8, 4242).file(FAN_OPEN, 9).file(FAN_CLOSE_WRITE, 10));
  EXPECT_THAT(delivered, ElementsAre("modified close /media/usb/tmp"));
}

// The translator with the folder filter on.
class FilteringTranslatorTest : public FanotifyTranslatorTest {
 protected:
  FilteringTranslatorTest() {
    ignored.setWatchedFolders(&roots);
    translator.setIgnoredFolders(&ignored);
  }

  testing::PrefixRoots roots{{"/media"}};
  IgnoredFolders ignored{api, 3, 4};
};

// Opens and unmodified closes outside every root have their folder marked; a modified close
// never does (a copy's destination can be anywhere), and a folder moved under a root unmarks all.
// What comes of new names outside the roots is not looked into.
TEST_F(FilteringTranslatorTest, QuietEventsOutsideTheRootsHaveTheirFolderMarked) {
  name({{7, "/home/u/a.txt"}, {8, "/media/usb/b.txt"}, {9, "/tmp/copy"}, {10, "/top"}});
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
  name({{7, "/tmp/a"}, {8, "/tmp/b"}});
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

// ---- Processes

// The process table from recorded connector messages and fanotify buffers, as the reader thread
// drives it: each batch of file events is read, the process events sent before then applied, the
// batch translated, and the table settled once the groups are empty.
constexpr int kConnector = 50;

// A dynamically linked program names a loader; the loader and a static program name none.
std::string elf(bool namesLoader) {
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  std::tie(header.e_phoff, header.e_phentsize, header.e_phnum) =
      std::tuple(sizeof header, sizeof(Elf64_Phdr), 1);
  Elf64_Phdr program{};
  program.p_type = namesLoader ? PT_INTERP : PT_LOAD;
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) +
         std::string(reinterpret_cast<const char*>(&program), sizeof program);
}

class ProcessTableTest : public FanotifyTranslatorTest {
 protected:
  ProcessTableTest() {
    ON_CALL(api, openProcessConnector()).WillByDefault(Return(kConnector));
    ON_CALL(api, monotonicNanoseconds()).WillByDefault([this] { return now; });
    ON_CALL(api, processIds()).WillByDefault(Return(std::vector<pid_t>{1, 100}));
    proc(1, 0, "/usr/lib/systemd/systemd");
    proc(100, 1, "/usr/bin/bash");
    ON_CALL(api, receive(kConnector, _, _)).WillByDefault([this](int, void* buffer, size_t size) {
      std::vector<std::byte> next =
          datagrams.empty() ? std::vector<std::byte>() : datagrams.front();
      errno = datagrams.empty() ? EAGAIN : ENOBUFS;
      if (!datagrams.empty()) datagrams.pop_front();
      std::memcpy(buffer, next.data(), std::min(size, next.size()));
      return next.empty() ? ssize_t{-1} : static_cast<ssize_t>(next.size());
    });
    // Each descriptor names a file; fstat says root owns it, as a system program is owned.
    ON_CALL(api, readLink(_)).WillByDefault([this](const std::string& path) {
      auto found = links.find(path);
      return found == links.end() ? std::nullopt : std::optional(found->second);
    });
    ON_CALL(api, fstat(_, _)).WillByDefault([](int, struct stat* status) {
      *status = {};
      std::tie(status->st_mode, status->st_size) = std::tuple(S_IFREG | 0755, 100);
      return 0;
    });
    ON_CALL(api, readAt(_, _, _, _))
        .WillByDefault([this](int fd, void* buffer, size_t size, off_t offset) {
          return static_cast<ssize_t>(contents[fd].copy(
              static_cast<char*>(buffer), size, std::min<size_t>(offset, contents[fd].size())));
        });
  }

  // A process /proc knows of.
  void proc(pid_t pid, pid_t ppid, const std::string& exe) {
    ON_CALL(api, readFile("/proc/" + std::to_string(pid) + "/stat"))
        .WillByDefault(Return(std::to_string(pid) + " (x) S " + std::to_string(ppid) +
                              " 1 1 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 77 0"));
    links["/proc/" + std::to_string(pid) + "/exe"] = exe;
  }
  // A descriptor fanotify hands over for the file at `path` holding `bytes`.
  int file(const std::string& path, std::string bytes = "data") {
    const int fd = nextFd++;
    links["/proc/self/fd/" + std::to_string(fd)] = path;
    contents[fd] = std::move(bytes);
    return fd;
  }

  // One turn of the reader: a batch read at `at`, handled, then the groups found empty.
  void batch(uint64_t at, const Records& records) {
    now = at;
    processes.receive();
    processes.advanceTo(at);
    FanotifyBatch decoded = decodeFanotifyBuffer(records.span());
    translator.translate(decoded);
    translator.flush();
    processes.settle(at);
  }

  std::deque<std::vector<std::byte>> datagrams;  // an empty one: ENOBUFS
  std::map<std::string, std::string> links;
  std::map<int, std::string> contents;
  int nextFd = 10;
  uint64_t now = 1000;
};

// A process gone before its events are read is named from what the kernel reported (the real
// kernel's case is in the integration test), and goes from the table once they are handled.
TEST_F(ProcessTableTest, ExitsApplyOnceTheEventsBeforeThemAreHandled) {
  processes.start();
  datagrams = {forkMessage(100, 200, 2000), exitMessage(200, 4000)};
  batch(5000, Records().file(FAN_OPEN, file("/tmp/b"), 200));
  EXPECT_THAT(actors, ElementsAre("200<100<1<0 /usr/bin/bash"));
  EXPECT_EQ(processes.counts().processes, 2u);
  EXPECT_EQ(processes.counts().procReads, 0u);
}

// A process that did not exec runs its parent's program; a script is its own program, whatever
// interpreter and loader the kernel opens for it next; an exec after an ordinary open is new.
TEST_F(ProcessTableTest, ProgramsFollowForksScriptsAndExecsAfterOpens) {
  processes.start();
  datagrams = {forkMessage(100, 300, 2000)};
  batch(3000,
        Records()
            .file(FAN_OPEN, file("/etc/passwd"), 300)
            .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/local/bin/tool.sh", "#!/bin/sh\n"), 300)
            .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/dash", elf(true)), 300)
            .file(FAN_CLOSE_NOWRITE, file("/usr/local/bin/tool.sh"), 300)
            .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/lib/ld.so", elf(false)), 300)
            .file(FAN_OPEN, file("/etc/ld.so.cache"), 300)
            .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/static", elf(false)), 300)
            .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/next", elf(false)), 300));
  EXPECT_THAT(
      actors,
      ElementsAre("300<100<1<0 /usr/bin/bash", "300<100<1<0 /usr/local/bin/tool.sh",
                  "300<100<1<0 /usr/local/bin/tool.sh", "300<100<1<0 /usr/local/bin/tool.sh",
                  "300<100<1<0 /usr/local/bin/tool.sh", "300<100<1<0 /usr/local/bin/tool.sh",
                  "300<100<1<0 /usr/bin/static", "300<100<1<0 /usr/bin/next"));
}

// Process 400 ends and its id goes to a new process while its last events still wait to be read:
// those keep the old lineage, because process events sent after a batch was read wait for the
// next batch.
TEST_F(ProcessTableTest, AReusedIdNamesTheOldProcessForTheOldOnesEvents) {
  proc(500, 1, "/usr/sbin/cron");
  EXPECT_CALL(api, processIds()).WillRepeatedly(Return(std::vector<pid_t>{1, 100, 500}));
  processes.start();
  datagrams = {forkMessage(100, 400, 2000), exitMessage(400, 4000), forkMessage(500, 400, 6000)};
  batch(5000, Records().file(FAN_CLOSE_WRITE, file("/tmp/old"), 400));
  batch(7000, Records().file(FAN_OPEN, file("/tmp/new"), 400));
  EXPECT_THAT(actors, ElementsAre("400<100<1<0 /usr/bin/bash", "400<500<1<0 /usr/sbin/cron"));
}

// Lost messages are said once with a count, processes the table never heard of are looked up
// in /proc, and what /proc no longer lists is dropped, so a later process cannot inherit it.
TEST_F(ProcessTableTest, LostMessagesFallBackToProcAndResync) {
  processes.start();
  datagrams = {forkMessage(100, 600, 2000), {}, {}};  // then two overflows, which lost 600's exit
  proc(700, 100, "/usr/bin/cp");
  batch(3000, Records().file(FAN_OPEN, file("/tmp/x"), 600).file(FAN_OPEN, file("/tmp/y"), 700));
  EXPECT_THAT(actors, ElementsAre("600<100<1<0 /usr/bin/bash", "700<100<1<0 /usr/bin/cp"));
  EXPECT_THAT(log.texts(),
              ElementsAre(HasSubstr("overflowed and some were lost (1 times so far)")));
  EXPECT_EQ(processes.counts().losses, 2u);
  EXPECT_EQ(processes.counts().procReads, 1u);
  // The resync kept 700, which /proc lists, and dropped 600, which it does not.
  EXPECT_CALL(api, processIds()).WillRepeatedly(Return(std::vector<pid_t>{1, 100, 700}));
  datagrams = {{}};
  batch(3'000'000'000, Records());
  EXPECT_EQ(processes.counts().processes, 3u);
}

TEST_F(ProcessTableTest, WithoutTheConnectorEverythingComesFromProc) {
  EXPECT_CALL(api, openProcessConnector()).WillOnce([] {
    errno = EPERM;
    return -1;
  });
  processes.start();
  EXPECT_THAT(log.texts(), ElementsAre(HasSubstr("process events cannot be read")));
  proc(800, 100, "/usr/bin/tar");
  batch(2000, Records()
                  .file(FAN_OPEN, file("/tmp/a"), 800)
                  .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/xz", elf(false)), 800)
                  .file(FAN_OPEN, file("/tmp/b"), 900));  // gone before it was looked up
  EXPECT_THAT(actors,
              ElementsAre("800<100<1<0 /usr/bin/tar", "800<100<1<0 /usr/bin/xz", "900<900<0<0 "));
  EXPECT_FALSE(processes.counts().connected);
}

// Threads starting and ending are not processes; messages cut short or of other kinds decode to
// nothing.
TEST(ProcessConnector, DecodesProcessEventsOnly) {
  std::vector<ProcessEvent> events;
  EXPECT_EQ(decodeProcessEvents(forkMessage(1, 2, 10), events), 0u);
  EXPECT_EQ(decodeProcessEvents(forkMessage(2, 2, 11, /*childThread=*/3), events), 0u);
  EXPECT_EQ(decodeProcessEvents(execMessage(2, 12), events), 0u);
  EXPECT_EQ(decodeProcessEvents(exitMessage(2, 13, /*thread=*/3), events), 0u);
  EXPECT_EQ(decodeProcessEvents(exitMessage(2, 14), events), 0u);
  EXPECT_THAT(events, ElementsAre(ProcessEvent{ProcessEvent::Kind::Fork, 2, 1, 10},
                                  ProcessEvent{ProcessEvent::Kind::Exec, 2, 0, 12},
                                  ProcessEvent{ProcessEvent::Kind::Exit, 2, 0, 14}));
}

// ---- Folder marks

constexpr int kGroup = 3;
constexpr int kEntries = 4;

// Every kernel call is expected: a mark or flush too many is as much a fault as one missing.
class IgnoredFoldersTest : public ::testing::Test {
 protected:
  IgnoredFoldersTest() { ignored.setWatchedFolders(&roots); }

  void expectMark(const std::string& folder, int times = 1) {
    for (auto [group, mask] : {std::pair{kGroup, IgnoredFolders::kIgnoredEvents},
                               {kEntries, IgnoredFolders::kIgnoredEntries}}) {
      EXPECT_CALL(api, mark(group, IgnoredFolders::kMarkFlags, mask, folder))
          .Times(times)
          .WillRepeatedly(Return(0));
    }
  }
  void expectFlushes(int times) {
    for (int group : {kGroup, kEntries}) {
      EXPECT_CALL(api, mark(group, FAN_MARK_FLUSH, 0, _)).Times(times).WillRepeatedly(Return(0));
    }
  }

  MemoryLogWriter log;
  ::testing::StrictMock<MockFanotifyApi> api;
  testing::PrefixRoots roots{{"/media/usb"}};
  IgnoredFolders ignored{api, kGroup, kEntries};
};

TEST_F(IgnoredFoldersTest, OnlyFoldersThatHoldNoWatchedFileAreMarkedOncePerBatch) {
  expectMark("/home/u", 2);
  expectMark("/home/v");
  EXPECT_CALL(api, mark(_, IgnoredFolders::kMarkFlags, _, "/home/gone"))
      .Times(2)
      .WillRepeatedly(SetErrnoAndReturn(ENOENT, -1));
  ignored.setAliased({9}, {77});
  ignored.quietEvent("/home/u", 1);
  ignored.quietEvent("/home/u", 1);          // the batch's later events of the same folder
  ignored.quietEvent("/media/usb", 1);       // the root itself
  ignored.quietEvent("/media/usb/docs", 1);  // below it
  ignored.quietEvent("/srv/share", 9);       // reachable through another mount too
  ignored.quietEvent("/home/gone", 1);       // removed since
  ignored.quietEntry("/home/v", 42);         // a name made or removed there
  ignored.quietEntry("/srv/other", 77);      // reachable through another mount too
  ignored.endBatch();
  ignored.quietEvent("/home/u", 1);  // queued before the mark, or evicted since
}

// Whatever may have put a marked folder under a root takes every mark off, before the root is in
// force; nothing else costs a flush, and a folder that could not be marked leaves none to take.
TEST_F(IgnoredFoldersTest, MarksGoWhenAMarkedFolderMayHaveComeUnderARoot) {
  EXPECT_CALL(api, mark(_, IgnoredFolders::kMarkFlags, _, "/home/gone"))
      .WillRepeatedly(SetErrnoAndReturn(ENOENT, -1));
  ignored.quietEvent("/home/gone", 1);
  ignored.folderMoved("/media");
  ignored.flush();
  ignored.endBatch();
  expectMark("/home/u", 6);
  expectMark("/home/w");
  expectFlushes(5);
  ignored.quietEvent("/home/u", 1);
  ignored.folderMoved("/home/elsewhere");  // still outside every root
  ignored.quietEvent("/home/w", 1);
  ignored.folderMoved("/media");  // holds a root now
  ignored.endBatch();
  ignored.quietEvent("/home/u", 1);
  ignored.folderMoved("/media/usb/in");  // under one
  ignored.endBatch();
  ignored.quietEvent("/home/u", 1);
  ignored.flush();  // a root was added
  ignored.endBatch();
  ignored.quietEvent("/home/u", 1);
  ignored.setAliased({1}, {});  // bound somewhere else as well
  ignored.endBatch();
  ignored.quietEvent("/home/u", 2);
  ignored.setAliased({1}, {});  // no new way in: nothing to flush
  ignored.endBatch();
  // Without anyone to ask, nothing is marked, and the marks still held go.
  ignored.quietEvent("/home/u", 2);
  ignored.setWatchedFolders(nullptr);
  ignored.endBatch();
  ignored.quietEvent("/home/u", 2);
}

TEST_F(IgnoredFoldersTest, AKernelThatRefusesTheFlagsKeepsReportingEverythingAndSaysSoOnce) {
  EXPECT_CALL(api, mark(kGroup, IgnoredFolders::kMarkFlags, _, "/"))
      .WillOnce(SetErrnoAndReturn(EINVAL, -1));
  EXPECT_FALSE(ignored.probe("/"));
  ignored.quietEvent("/home/u", 1);
  ignored.flush();
  EXPECT_THAT(log.texts(),
              ElementsAre("ZORVA_LOG: fanotify: kernel filtering is off, every open and close is "
                          "read: Invalid argument (evictable ignore marks need Linux 6.0 or "
                          "later)"));
}

}  // namespace
}  // namespace zorva
