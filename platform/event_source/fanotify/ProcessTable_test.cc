// The process table from recorded connector messages and fanotify buffers, as the reader thread
// drives it: each batch of file events is read, the process events sent before then applied, the
// batch translated, and the table settled once the groups are empty.

#include "platform/event_source/fanotify/ProcessTable.h"

#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/fanotify/FanotifyTranslator.h"
#include "platform/event_source/fanotify/testing/MockFanotifyApi.h"
#include "platform/event_source/fanotify/testing/RecordedBuffers.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using testing::execMessage;
using testing::exitMessage;
using testing::forkMessage;
using ::testing::HasSubstr;
using ::testing::NiceMock;
using testing::Records;
using ::testing::Return;

constexpr int kConnector = 50;

// A dynamically linked program names a loader; the loader and a static program name none.
std::string elf(bool namesLoader) {
  std::string bytes(sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr), '\0');
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_phoff = sizeof(Elf64_Ehdr);
  header.e_phentsize = sizeof(Elf64_Phdr);
  header.e_phnum = 1;
  Elf64_Phdr program{};
  program.p_type = namesLoader ? PT_INTERP : PT_LOAD;
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, &program, sizeof program);
  return bytes;
}

class ProcessTableTest : public ::testing::Test {
 protected:
  ProcessTableTest() {
    translator.setWanted(~uint64_t{0});
    ON_CALL(api, openProcessConnector()).WillByDefault(Return(kConnector));
    ON_CALL(api, monotonicNanoseconds()).WillByDefault([this] { return now; });
    ON_CALL(api, processIds()).WillByDefault(Return(std::vector<pid_t>{1, 100}));
    proc(1, 0, "/usr/lib/systemd/systemd");
    proc(100, 1, "/usr/bin/bash");
    ON_CALL(api, receive(kConnector, _, _)).WillByDefault([this](int, void* buffer, size_t size) {
      if (datagrams.empty()) {
        errno = EAGAIN;
        return ssize_t{-1};
      }
      std::vector<std::byte> next = std::move(datagrams.front());
      datagrams.pop_front();
      if (next.empty()) {
        errno = ENOBUFS;
        return ssize_t{-1};
      }
      std::memcpy(buffer, next.data(), std::min(size, next.size()));
      return static_cast<ssize_t>(next.size());
    });
    // Each descriptor names a file; fstat says root owns it, as a system program is owned.
    ON_CALL(api, readLink(_)).WillByDefault([this](const std::string& path) {
      auto found = links.find(path);
      return found == links.end() ? std::nullopt : std::optional(found->second);
    });
    ON_CALL(api, fstat(_, _)).WillByDefault([](int, struct stat* status) {
      *status = {};
      status->st_mode = S_IFREG | 0755;
      status->st_size = 100;
      return 0;
    });
    ON_CALL(api, readAt(_, _, _, _))
        .WillByDefault([this](int fd, void* buffer, size_t size, off_t offset) {
          const std::string& bytes = contents[fd];
          if (static_cast<size_t>(offset) >= bytes.size()) return ssize_t{0};
          const size_t length = std::min(size, bytes.size() - static_cast<size_t>(offset));
          std::memcpy(buffer, bytes.data() + offset, length);
          return static_cast<ssize_t>(length);
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
    table.receive();
    table.advanceTo(at);
    FanotifyBatch decoded = decodeFanotifyBuffer(records.span());
    translator.translate(decoded);
    translator.flush();
    table.settle(at);
  }

  // Who the table says acted in each delivered message: "pid<ppid<grandparent<great exe".
  std::vector<std::string> acted;
  MemoryLogWriter log;
  ManualClock clock;
  NiceMock<MockFanotifyApi> api;
  ProcessTable table{api, clock};
  FanotifyTranslator translator{
      api, table, /*ownPid=*/4242, [this](const es_message_t& m) {
        const es_process_t& p = *m.process;
        acted.push_back(std::to_string(p.pid) + "<" + std::to_string(p.ppid) + "<" +
                        std::to_string(p.grandparent) + "<" + std::to_string(p.great_grandparent) +
                        " " + p.executable->path.data);
      }};
  std::deque<std::vector<std::byte>> datagrams;  // an empty one: ENOBUFS
  std::map<std::string, std::string> links;
  std::map<int, std::string> contents;
  int nextFd = 10;
  uint64_t now = 1000;
};

// `sh -c 'cat a > b'` in a terminal's bash, and gone before its events are read: the lineage and
// the programs come from what the kernel reported, not from /proc, which no longer has them.
TEST_F(ProcessTableTest, ForksExecsAndExitsNameWhoActedAfterTheyAreGone) {
  table.start();
  datagrams = {forkMessage(100, 200, 2000), forkMessage(200, 201, 3000), execMessage(201, 3500),
               exitMessage(201, 4000), exitMessage(200, 4100)};
  batch(5000, Records()
                  .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/dash", elf(true)), 200)
                  .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/lib/ld.so", elf(false)), 200)
                  .file(FAN_OPEN, file("/tmp/b"), 200)
                  .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/cat", elf(true)), 201)
                  .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/lib/ld.so", elf(false)), 201)
                  .file(FAN_OPEN | FAN_CLOSE_NOWRITE, file("/media/usb/a"), 201)
                  .file(FAN_CLOSE_WRITE, file("/tmp/b"), 200));
  EXPECT_THAT(acted, ElementsAre("200<100<1<0 /usr/bin/dash", "200<100<1<0 /usr/bin/dash",
                                 "200<100<1<0 /usr/bin/dash", "201<200<100<1 /usr/bin/cat",
                                 "201<200<100<1 /usr/bin/cat", "201<200<100<1 /usr/bin/cat",
                                 "201<200<100<1 /usr/bin/cat", "200<100<1<0 /usr/bin/dash"));
  EXPECT_EQ(table.counts().processes, 2u) << "both exits applied once their events were handled";
  EXPECT_EQ(table.counts().procReads, 0u);
}

// A process that did not exec runs its parent's program; a script is its own program, whatever
// interpreter and loader the kernel opens for it next; an exec after an ordinary open is new.
TEST_F(ProcessTableTest, ProgramsFollowForksScriptsAndExecsAfterOpens) {
  table.start();
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
      acted, ElementsAre("300<100<1<0 /usr/bin/bash", "300<100<1<0 /usr/local/bin/tool.sh",
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
  table.start();
  datagrams = {forkMessage(100, 400, 2000), exitMessage(400, 4000), forkMessage(500, 400, 6000)};
  batch(5000, Records().file(FAN_CLOSE_WRITE, file("/tmp/old"), 400));
  batch(7000, Records().file(FAN_OPEN, file("/tmp/new"), 400));
  EXPECT_THAT(acted, ElementsAre("400<100<1<0 /usr/bin/bash", "400<500<1<0 /usr/sbin/cron"));
}

// Lost messages are said once with a count, processes the table never heard of are looked up
// in /proc, and what /proc no longer lists is dropped, so a later process cannot inherit it.
TEST_F(ProcessTableTest, LostMessagesFallBackToProcAndResync) {
  table.start();
  datagrams = {forkMessage(100, 600, 2000), {}, {}};  // then two overflows, which lost 600's exit
  proc(700, 100, "/usr/bin/cp");
  batch(3000, Records().file(FAN_OPEN, file("/tmp/x"), 600).file(FAN_OPEN, file("/tmp/y"), 700));
  EXPECT_THAT(acted, ElementsAre("600<100<1<0 /usr/bin/bash", "700<100<1<0 /usr/bin/cp"));
  EXPECT_THAT(log.texts(),
              ElementsAre(HasSubstr("overflowed and some were lost (1 times so far)")));
  EXPECT_EQ(table.counts().losses, 2u);
  EXPECT_EQ(table.counts().procReads, 1u);
  // The resync kept 700, which /proc lists, and dropped 600, which it does not.
  EXPECT_CALL(api, processIds()).WillRepeatedly(Return(std::vector<pid_t>{1, 100, 700}));
  datagrams = {{}};
  batch(3'000'000'000, Records());
  EXPECT_EQ(table.counts().processes, 3u);
}

TEST_F(ProcessTableTest, WithoutTheConnectorEverythingComesFromProc) {
  EXPECT_CALL(api, openProcessConnector()).WillOnce([] {
    errno = EPERM;
    return -1;
  });
  table.start();
  EXPECT_THAT(log.texts(), ElementsAre(HasSubstr("process events cannot be read")));
  proc(800, 100, "/usr/bin/tar");
  batch(2000, Records()
                  .file(FAN_OPEN, file("/tmp/a"), 800)
                  .file(FAN_OPEN | FAN_OPEN_EXEC, file("/usr/bin/xz", elf(false)), 800)
                  .file(FAN_OPEN, file("/tmp/b"), 900));  // gone before it was looked up
  EXPECT_THAT(acted,
              ElementsAre("800<100<1<0 /usr/bin/tar", "800<100<1<0 /usr/bin/xz", "900<900<0<0 "));
  EXPECT_FALSE(table.counts().connected);
}

// Threads starting and ending are not processes; messages cut short or of other kinds decode to
// nothing and never read past their datagram.
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
  const std::vector<std::byte> whole = forkMessage(1, 2, 10);
  for (size_t length = 0; length < whole.size(); ++length) {
    events.clear();
    decodeProcessEvents(std::span<const std::byte>(whole.data(), length), events);
    EXPECT_TRUE(events.empty()) << length;
  }
}

}  // namespace
}  // namespace zorva
