// The fanotify backend without a kernel: buffers laid out byte for byte as the kernel hands them
// over, and every system call behind a mock.

#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/fanotify.h>
#include <linux/netlink.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/PlatformExecutable.h"
#include "platform/event_source/fanotify/FanotifyDecoder.h"
#include "platform/event_source/fanotify/FanotifyTranslator.h"
#include "platform/event_source/fanotify/IgnoredFolders.h"
#include "platform/event_source/fanotify/MountTable.h"
#include "platform/event_source/fanotify/ProcessTable.h"
#include "platform/event_source/fanotify/testing/PrefixRoots.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using namespace ::testing;
using zorva::testing::PrefixRoots;

class MockFanotifyApi : public FanotifyApi {
 public:
  MOCK_METHOD(int, init, (unsigned, unsigned), (override));
  MOCK_METHOD(int, mark, (int, unsigned, uint64_t, const std::string&), (override));
  MOCK_METHOD(ssize_t, read, (int, void*, size_t), (override));
  MOCK_METHOD(int, close, (int), (override));
  MOCK_METHOD(int, fstat, (int, struct stat*), (override));
  MOCK_METHOD(int, stat, (const std::string&, struct stat*), (override));
  MOCK_METHOD(int, openByHandle, (int, const std::vector<unsigned char>&), (override));
  MOCK_METHOD(int, openPath, (const std::string&), (override));
  MOCK_METHOD(std::optional<std::string>, readLink, (const std::string&), (override));
  MOCK_METHOD(std::optional<std::string>, readFile, (const std::string&), (override));
  MOCK_METHOD(std::optional<uint64_t>, filesystemId, (int), (override));
  MOCK_METHOD(std::optional<std::vector<unsigned char>>, handleOf, (const std::string&),
              (override));
  MOCK_METHOD(std::optional<std::vector<std::string>>, subfolders, (const std::string&),
              (override));
  MOCK_METHOD(ssize_t, readAt, (int, void*, size_t, off_t), (override));
  MOCK_METHOD(int, openProcessConnector, (), (override));
  MOCK_METHOD(ssize_t, receive, (int, void*, size_t), (override));
  MOCK_METHOD(std::optional<std::vector<pid_t>>, processIds, (), (override));
  MOCK_METHOD(uint64_t, monotonicNanoseconds, (), (override));
};

using Bytes = std::vector<std::byte>;

template <typename T>
void put(Bytes& to, const T& value) {
  const auto* raw = reinterpret_cast<const std::byte*>(&value);
  to.insert(to.end(), raw, raw + sizeof value);
}

// Builds a buffer of records as read(2) returns them from a fanotify group. Directory-entry
// records are all by process 100 on filesystem 42; a handle number stands for one file or folder.
class Records {
 public:
  Records& file(uint64_t mask, int fd, int pid = 100) { return record(mask, fd, pid, {}); }
  Records& entry(uint64_t mask, uint32_t dir, const std::string& name, int fd = FAN_NOFD) {
    return record(mask, fd, 100, {{FAN_EVENT_INFO_TYPE_DFID_NAME, dir, name}});
  }
  // A folder's move; `handle` is the folder's own.
  Records& moved(uint32_t fromDir, const std::string& from, uint32_t toDir, const std::string& to,
                 uint32_t handle) {
    return record(FAN_RENAME | FAN_ONDIR, FAN_NOFD, 100,
                  {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, fromDir, from},
                   {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, toDir, to},
                   {FAN_EVENT_INFO_TYPE_FID, handle, ""}});
  }

  const Bytes& bytes() const { return _bytes; }

 private:
  using Info = std::tuple<uint8_t, uint32_t, std::string>;  // type, handle, name

  // Each info record: header, filesystem id 42, a 4-byte handle of type 1, the name, padding.
  Records& record(uint64_t mask, int fd, int pid, const std::vector<Info>& infos) {
    Bytes body;
    for (const auto& [type, handle, name] : infos) {
      const size_t length = (24 + name.size() + !name.empty() + 3) / 4 * 4;
      put(body, fanotify_event_info_header{type, 0, static_cast<uint16_t>(length)});
      for (uint32_t word : {42u, 0u, 4u, 1u, handle}) put(body, word);  // little-endian
      for (char c : name) body.push_back(std::byte(c));
      body.resize(body.size() + length - 24 - name.size());
    }
    put(_bytes, fanotify_event_metadata{
                    static_cast<uint32_t>(sizeof(fanotify_event_metadata) + body.size()),
                    FANOTIFY_METADATA_VERSION, 0, sizeof(fanotify_event_metadata), mask, fd, pid});
    _bytes.insert(_bytes.end(), body.begin(), body.end());
    return *this;
  }

  Bytes _bytes;
};

// One datagram of the process connector: netlink header, connector header, process event.
Bytes connectorMessage(enum proc_event::what what, uint64_t timeNs,
                       const decltype(proc_event::event_data)& data) {
  Bytes bytes;
  put(bytes, nlmsghdr{NLMSG_HDRLEN + sizeof(cn_msg) + sizeof(proc_event), NLMSG_DONE, 0, 0, 0});
  put(bytes, cn_msg{{CN_IDX_PROC, CN_VAL_PROC}, 0, 0, sizeof(proc_event), 0});
  proc_event event{};
  std::tie(event.what, event.timestamp_ns, event.event_data) = std::tuple(what, timeNs, data);
  put(bytes, event);
  return bytes;
}

Bytes forkMessage(pid_t parent, pid_t child, uint64_t timeNs, pid_t childThread = 0) {
  return connectorMessage(proc_event::PROC_EVENT_FORK, timeNs,
                          {.fork = {parent, parent, childThread ? childThread : child, child}});
}
Bytes execMessage(pid_t pid, uint64_t timeNs) {
  return connectorMessage(proc_event::PROC_EVENT_EXEC, timeNs, {.exec = {pid, pid}});
}
Bytes exitMessage(pid_t pid, uint64_t timeNs, pid_t thread = 0) {
  return connectorMessage(proc_event::PROC_EVENT_EXIT, timeNs,
                          {.exit = {thread ? thread : pid, pid, 0, 0, 0, 0}});
}

// Crashes and reads past the end are the fuzzer's; what decodes well is checked below.
TEST(FanotifyDecoder, BrokenBuffersNeverReadOutsideAndHandBackTheirDescriptors) {
  const Bytes file = Records().file(FAN_OPEN, 9).bytes();
  constexpr size_t kInfo = sizeof(fanotify_event_metadata);
  Bytes cut(file.begin(), file.end() - 4);
  Bytes lying = Records().entry(FAN_DELETE, 1, "x", 9).bytes();  // an info record too long
  std::memset(lying.data() + kInfo + 2, 0xff, 2);
  Bytes unterminated = Records().entry(FAN_DELETE, 1, "x").bytes();  // a name without its NUL
  std::memset(unterminated.data() + kInfo + 24, 'y', unterminated.size() - kInfo - 24);
  Bytes longer = file;  // a record longer than the buffer
  longer[0] = std::byte{0xff};
  for (const auto& [broken, stray] :
       {std::pair{cut, std::vector<int>{}}, {longer, {9}}, {lying, {9}}, {unterminated, {}}}) {
    FanotifyBatch batch = decodeFanotifyBuffer(broken);
    EXPECT_EQ(std::tuple(batch.records.size(), batch.malformed, batch.strayFds),
              std::tuple(0u, 1u, stray));
  }
}

constexpr int kConnector = 50;

// The translator and the process table on a mock kernel. Directory handle n on filesystem 42
// opens as descriptor 600 + n; 601 names /media/usb, the one root, and 602 /home/u. Processes 1
// and 100 run when the table starts; every file is root's, as a system program is.
class FanotifyTest : public ::testing::Test {
 protected:
  FanotifyTest() {
    translator.setWanted(~uint64_t{0});
    translator.setMount(42, "/media");
    roots.add("/media/usb");
    ignored.setWatchedFolders(&roots);
    ON_CALL(api, openPath("/media")).WillByDefault(Return(500));
    // Tests expect the calls they care about; the rest answer with the defaults below.
    EXPECT_CALL(api, readLink(_)).Times(AnyNumber());
    EXPECT_CALL(api, stat(_, _)).Times(AnyNumber());
    ON_CALL(api, openByHandle(500, _)).WillByDefault([](int, auto& h) { return 600 + h[8]; });
    ON_CALL(api, readLink(_)).WillByDefault([this](auto& path) {
      return links.contains(path) ? std::optional(links[path]) : std::nullopt;
    });
    struct stat status {};
    std::tie(status.st_mode, status.st_size) = std::tuple(S_IFREG | 0755, 100);
    ON_CALL(api, fstat(_, _)).WillByDefault(DoAll(SetArgPointee<1>(status), Return(0)));
    status.st_nlink = 2;  // a name made in a root is a link
    ON_CALL(api, stat(_, _)).WillByDefault(DoAll(SetArgPointee<1>(status), Return(0)));
    ON_CALL(api, readAt(_, _, _, _)).WillByDefault([this](int fd, void* to, size_t size, off_t at) {
      const std::string& bytes = contents[fd];
      return static_cast<ssize_t>(
          bytes.copy(static_cast<char*>(to), size, std::min(bytes.size(), size_t(at))));
    });
    ON_CALL(api, openProcessConnector()).WillByDefault(Return(kConnector));
    ON_CALL(api, monotonicNanoseconds()).WillByDefault([this] { return now; });
    ON_CALL(api, processIds()).WillByDefault(Return(std::vector<pid_t>{1, 100}));
    ON_CALL(api, receive(kConnector, _, _)).WillByDefault([this](int, void* buffer, size_t size) {
      const Bytes next = datagrams.empty() ? Bytes() : datagrams.front();
      errno = datagrams.empty() ? EAGAIN : ENOBUFS;
      if (!datagrams.empty()) datagrams.pop_front();
      if (!next.empty()) std::memcpy(buffer, next.data(), std::min(size, next.size()));
      return next.empty() ? ssize_t{-1} : static_cast<ssize_t>(next.size());
    });
    proc(1, 0, "/usr/lib/systemd/systemd");
    proc(100, 1, "/usr/bin/bash");
  }

  // A process /proc knows of; its name holds parentheses, as a process can name itself.
  void proc(pid_t pid, pid_t ppid, const std::string& exe) {
    const std::string dir = "/proc/" + std::to_string(pid);
    ON_CALL(api, readFile(dir + "/stat"))
        .WillByDefault(Return(std::to_string(pid) + " (a (b) c) S " + std::to_string(ppid) +
                              " 1 1 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 77 0"));
    links[dir + "/exe"] = exe;
  }
  // A descriptor fanotify hands over for the file at `path` holding `bytes`.
  int file(const std::string& path, std::string bytes = "data") {
    links["/proc/self/fd/" + std::to_string(nextFd)] = path;
    contents[nextFd] = std::move(bytes);
    return nextFd++;
  }
  // One turn of the reader: a batch read at `at`, handled, then the groups found empty.
  void translate(const Records& records, uint64_t at = 1000) {
    now = at;
    processes.receive();
    processes.advanceTo(at);
    FanotifyBatch batch = decodeFanotifyBuffer(records.bytes());
    translator.translate(batch);
    translator.flush();
    processes.settle(at);
  }
  // Every mark is expected: one too many is as much a fault as one missing.
  void expectMarks(const std::string& folder, int times = 1) {
    for (auto [group, mask] :
         {std::pair{3, IgnoredFolders::kIgnoredEvents}, {4, IgnoredFolders::kIgnoredEntries}}) {
      EXPECT_CALL(api, mark(group, IgnoredFolders::kMarkFlags, mask, folder)).Times(times);
    }
  }
  void expectFlushes(int times) {
    for (int group : {3, 4}) EXPECT_CALL(api, mark(group, FAN_MARK_FLUSH, 0, _)).Times(times);
  }

  static std::string describe(const es_message_t& m) {
    const es_events_t& e = m.event;
    const auto p = [](const es_file_t* file) { return std::string(file->path.data); };
    const auto& to = e.rename.destination.new_path;
    if (m.event_type == ES_EVENT_TYPE_NOTIFY_OPEN) return "open " + p(e.open.file);
    if (m.event_type == ES_EVENT_TYPE_NOTIFY_CLOSE) {
      return (e.close.modified ? "modified close " : "close ") + p(e.close.target);
    }
    if (m.event_type == ES_EVENT_TYPE_NOTIFY_RENAME) {
      return "rename " + p(e.rename.source) + " to " + p(to.dir) + "|" + to.filename.data;
    }
    if (m.event_type == ES_EVENT_TYPE_NOTIFY_UNLINK) return "unlink " + p(e.unlink.target);
    return "link " + p(e.link.target_dir) + "|" + e.link.target_filename.data;
  }

  MemoryLogWriter log;
  ManualClock clock;
  NiceMock<MockFanotifyApi> api;
  PrefixRoots roots;
  IgnoredFolders ignored{api, 3, 4};
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
  std::deque<Bytes> datagrams;  // an empty one: ENOBUFS
  std::map<std::string, std::string> links{{"/proc/self/fd/601", "/media/usb"},
                                           {"/proc/self/fd/602", "/home/u"}};
  std::map<int, std::string> contents;
  int nextFd = 10;
  uint64_t now = 1000;
};

// A write merged into its open happened after the opens queued behind it. Every descriptor is
// closed, whatever becomes of its record: the service's own event (8), a file removed before its
// event was read, a path that cannot be read (9, noted with unresolved handles, so last). A folder
// removed before its events were read (rm -r) is counted quietly; any other failed handle is a
// fault worth a line.
TEST_F(FanotifyTest, RecordsGiveTheirEventsInOrderOrAreCountedAndHandBackTheirDescriptors) {
  const int a = file("/media/usb/a.txt"), b = file("/media/usb/b.txt");
  const int gone = file("/media/usb/tmp (deleted)");
  EXPECT_CALL(api, close(_)).Times(AnyNumber());
  for (int fd : {8, 9, gone}) EXPECT_CALL(api, close(fd));
  translate(Records()
                .file(FAN_OPEN | FAN_CLOSE_NOWRITE | FAN_CLOSE_WRITE, a)
                .file(FAN_OPEN | FAN_CLOSE_NOWRITE, b)
                .file(FAN_OPEN, 8, 4242)
                .file(FAN_CLOSE_WRITE, gone));
  EXPECT_CALL(api, openByHandle(500, _))
      .WillOnce(SetErrnoAndReturn(ESTALE, -1))
      .WillOnce(SetErrnoAndReturn(EACCES, -1))
      .WillRepeatedly(Return(601));
  translate(Records()
                .entry(FAN_DELETE, 1, "a")
                .file(FAN_Q_OVERFLOW, FAN_NOFD, 0)
                .entry(FAN_DELETE, 3, "c")
                .entry(FAN_DELETE, 2, "b")
                .file(FAN_OPEN, 9));
  EXPECT_THAT(delivered, ElementsAre("open /media/usb/a.txt", "close /media/usb/a.txt",
                                     "open /media/usb/b.txt", "close /media/usb/b.txt",
                                     "modified close /media/usb/tmp",
                                     "modified close /media/usb/a.txt", "unlink /media/usb/b"));
  EXPECT_THAT(actors, Each("100<1<0<0 /usr/bin/bash"));
  EXPECT_EQ(std::pair(translator.overflows(), translator.staleHandles()), std::pair(1ul, 1ul));
  EXPECT_THAT(log.texts(),
              ElementsAre("ZORVA_LOG: fanotify: 1 events named a folder removed before they were "
                          "read",
                          "ZORVA_LOG: ERROR: fanotify: the kernel's event queue overflowed and "
                          "events were lost (1 so far)",
                          "ZORVA_LOG: ERROR: fanotify: a directory handle could not be resolved "
                          "(1 so far)"));
}

// Opens and unmodified closes outside every root have their folder marked; a modified close
// never does (a copy's destination can be anywhere), and a folder moved under a root unmarks all.
// What comes of new names outside the roots is not looked into.
TEST_F(FanotifyTest, QuietEventsOutsideTheRootsHaveTheirFolderMarked) {
  translator.setIgnoredFolders(&ignored);
  const int a = file("/home/u/a.txt"), b = file("/media/usb/b.txt"), copy = file("/tmp/copy");
  // Each folder is marked in both groups once in the batch, from its first quiet event.
  expectMarks("/home/u");
  expectMarks("/");
  expectFlushes(1);
  // A new name outside the roots is not even looked at to tell a link from a new file.
  EXPECT_CALL(api, stat("/home/u/l", _)).Times(0);
  translate(Records()
                .entry(FAN_CREATE, 2, "l")
                .entry(FAN_CREATE, 1, "l")
                .file(FAN_OPEN, a)
                .file(FAN_CLOSE_NOWRITE, b)
                .file(FAN_CLOSE_WRITE, copy)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/top"))
                .moved(2, "away", 2, "elsewhere", 5)
                .moved(2, "in", 1, "in", 6));
  EXPECT_THAT(delivered, ElementsAre("link /media/usb|l", "open /home/u/a.txt",
                                     "close /media/usb/b.txt", "modified close /tmp/copy",
                                     "open /top", "rename /home/u/away to /home/u|elsewhere",
                                     "rename /home/u/in to /media/usb|in"));
}

// While nothing could come of a write, one alone is dropped before its path is read; a write
// merged with its open still comes, as the open does.
TEST_F(FanotifyTest, WritesAreDroppedUnreadWhileNothingCouldComeOfThem) {
  translator.setIgnoredFolders(&ignored);
  const int a = file("/tmp/a"), b = file("/tmp/b");
  EXPECT_CALL(api, readLink("/proc/self/fd/" + std::to_string(a))).Times(1);
  EXPECT_CALL(api, close(_)).Times(AnyNumber());
  EXPECT_CALL(api, close(a)).Times(2);  // dropped or not, its descriptor is let go
  roots.setWritesMatter(false);
  translate(Records().file(FAN_CLOSE_WRITE, a).file(FAN_OPEN | FAN_CLOSE_WRITE, b));
  roots.setWritesMatter(true);
  translate(Records().file(FAN_CLOSE_WRITE, a));
  EXPECT_THAT(delivered,
              ElementsAre("open /tmp/b", "modified close /tmp/b", "modified close /tmp/a"));
}

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
  EXPECT_EQ(std::tuple(mounts[5].root, mounts[7].mountPoint, mounts[7].fsType),
            std::tuple("/srv/My Data", "/media/My Drive", "vfat"));
  std::vector<bool> user, same;
  for (auto type : {"ext4", "tmpfs", "cgroup2", "proc"}) user.push_back(canHoldUserFiles(type));
  for (int i = 1; i <= 5; ++i) same.push_back(pathMapping(mounts[i]) == pathMapping(mounts[0]));
  EXPECT_EQ(user, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(same, (std::vector<bool>{true, true, false, false, true}));
  EXPECT_NE(pathMapping(mounts[3]), pathMapping(mounts[4]));
  EXPECT_NE(pathMapping(mounts[8]), pathMapping(mounts[7]));  // /media/My Drive/photos, /mnt/photos
}

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

// The process table as the reader thread drives it (see translate()). Processes 200 and 400 end,
// and 400's id goes to a new process, while their last events still wait to be read: those are
// named from what the kernel reported, not /proc, and keep the old lineage, because process events
// sent after a batch was read wait for the next batch. The ended go once their events are handled.
TEST_F(FanotifyTest, ExitsApplyOnceTheEventsBeforeThemAreHandledAndAReusedIdIsANewProcess) {
  proc(500, 1, "/usr/sbin/cron");
  EXPECT_CALL(api, processIds()).WillRepeatedly(Return(std::vector<pid_t>{1, 100, 500}));
  processes.start();
  // Threads starting and ending, and execs, change no process.
  datagrams = {forkMessage(100, 200, 2000),      forkMessage(100, 400, 2000),
               forkMessage(200, 200, 2500, 201), execMessage(200, 2600),
               exitMessage(100, 3000, 101),      exitMessage(200, 4000),
               exitMessage(400, 4000),           forkMessage(500, 400, 6000)};
  translate(
      Records().file(FAN_OPEN, file("/tmp/b"), 200).file(FAN_CLOSE_WRITE, file("/tmp/old"), 400),
      5000);
  EXPECT_EQ(std::pair(processes.counts().processes, processes.counts().procReads),
            std::pair(3ul, 0ul));
  EXPECT_THAT(log.texts(), IsEmpty());
  translate(Records().file(FAN_OPEN, file("/tmp/new"), 400), 7000);
  EXPECT_THAT(actors, ElementsAre("200<100<1<0 /usr/bin/bash", "400<100<1<0 /usr/bin/bash",
                                  "400<500<1<0 /usr/sbin/cron"));
}

// A process that did not exec runs its parent's program; a script is its own program, whatever
// interpreter and loader the kernel opens for it next; an exec after an ordinary open is new.
TEST_F(FanotifyTest, ProgramsFollowForksScriptsAndExecsAfterOpens) {
  processes.start();
  datagrams = {forkMessage(100, 300, 2000)};
  translate(Records()
                .file(FAN_OPEN, file("/etc/passwd"), 300)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/local/bin/tool.sh", "#!/bin/sh\n"), 300)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/dash", elf(true)), 300)
                .file(FAN_CLOSE_NOWRITE, file("/usr/local/bin/tool.sh"), 300)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/lib/ld.so", elf(false)), 300)
                .file(FAN_OPEN, file("/etc/ld.so.cache"), 300)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/static", elf(false)), 300)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/next", elf(false)), 300),
            3000);
  const std::string script = "300<100<1<0 /usr/local/bin/tool.sh";
  EXPECT_THAT(actors,
              ElementsAre("300<100<1<0 /usr/bin/bash", script, script, script, script, script,
                          "300<100<1<0 /usr/bin/static", "300<100<1<0 /usr/bin/next"));
}

// Lost messages are said once with a count, processes the table never heard of are looked up
// in /proc, and what /proc no longer lists is dropped, so a later process cannot inherit it.
TEST_F(FanotifyTest, LostMessagesFallBackToProcAndResync) {
  processes.start();
  datagrams = {forkMessage(100, 600, 2000), {}, {}};  // then two overflows, which lost 600's exit
  proc(700, 100, "/usr/bin/cp");
  translate(Records().file(FAN_OPEN, file("/tmp/x"), 600).file(FAN_OPEN, file("/tmp/y"), 700),
            3000);
  EXPECT_THAT(actors, ElementsAre("600<100<1<0 /usr/bin/bash", "700<100<1<0 /usr/bin/cp"));
  EXPECT_THAT(log.texts(),
              ElementsAre(HasSubstr("overflowed and some were lost (1 times so far)")));
  EXPECT_EQ(std::pair(processes.counts().losses, processes.counts().procReads),
            std::pair(2ul, 1ul));
  // The resync keeps 700, which /proc lists, and drops 600, which it does not.
  EXPECT_CALL(api, processIds()).WillRepeatedly(Return(std::vector<pid_t>{1, 100, 700}));
  datagrams = {{}};
  translate(Records(), 3'000'000'000);
  EXPECT_EQ(processes.counts().processes, 3u);
}

TEST_F(FanotifyTest, WithoutTheConnectorEverythingComesFromProc) {
  EXPECT_CALL(api, openProcessConnector()).WillOnce(SetErrnoAndReturn(EPERM, -1));
  processes.start();
  EXPECT_THAT(log.texts(), ElementsAre(HasSubstr("process events cannot be read")));
  proc(800, 100, "/usr/bin/tar");
  translate(Records()
                .file(FAN_OPEN, file("/tmp/a"), 800)
                .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/xz", elf(false)), 800)
                .file(FAN_OPEN, file("/tmp/b"), 900),  // gone before it was looked up
            2000);
  EXPECT_THAT(actors,
              ElementsAre("800<100<1<0 /usr/bin/tar", "800<100<1<0 /usr/bin/xz", "900<900<0<0 "));
  EXPECT_FALSE(processes.counts().connected);
}

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

// Folders that hold no watched file are marked, once per batch. Whatever may have put a marked
// folder under a root takes every mark off, before the root is in force; nothing else costs a
// flush, and a folder that could not be marked leaves none to take.
TEST_F(FanotifyTest, OnlyFoldersThatHoldNoWatchedFileAreMarkedUntilOneMayComeUnderARoot) {
  EXPECT_CALL(api, mark(_, IgnoredFolders::kMarkFlags, _, "/home/gone"))
      .Times(2)
      .WillRepeatedly(SetErrnoAndReturn(ENOENT, -1));
  ignored.setAliased({9}, {77});
  ignored.quietEvent("/home/gone", 1);  // removed since
  ignored.folderMoved("/media");
  ignored.flush();
  ignored.endBatch();
  expectMarks("/home/u", 7);
  expectMarks("/home/v");
  expectMarks("/home/w");
  expectFlushes(5);
  ignored.quietEvent("/home/u", 1);
  ignored.quietEvent("/home/u", 1);          // the batch's later events of the same folder
  ignored.quietEvent("/media/usb", 1);       // the root itself
  ignored.quietEvent("/media/usb/docs", 1);  // below it
  ignored.quietEvent("/srv/share", 9);       // reachable through another mount too
  ignored.quietEntry("/home/v", 42);         // a name made or removed there
  ignored.quietEntry("/srv/other", 77);      // reachable through another mount too
  ignored.endBatch();
  ignored.quietEvent("/home/u", 1);        // queued before the mark, or evicted since
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

TEST_F(FanotifyTest, AKernelThatRefusesTheFlagsKeepsReportingEverythingAndSaysSoOnce) {
  EXPECT_CALL(api, mark(3, IgnoredFolders::kMarkFlags, _, "/"))
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
