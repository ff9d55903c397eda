// Decoding and translation from byte buffers laid out as the kernel lays them out, with the
// system calls behind a mock: no kernel needed.

#include "platform/event_source/fanotify/FanotifyDecoder.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fanotify.h>

#include <cstring>

#include "platform/dispatch/ManualClock.h"
#include "platform/event_source/fanotify/FanotifyTranslator.h"
#include "platform/event_source/fanotify/MockFanotifyApi.h"
#include "platform/event_source/fanotify/MountTable.h"
#include "platform/event_source/fanotify/ProcessInfoCache.h"
#include "platform/log/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAre;
using ::testing::Return;
using ::testing::SetArgPointee;

// Builds a buffer of records as read(2) returns them from a fanotify group.
class Records {
 public:
  Records& file(uint64_t mask, int fd, int pid) { return record(mask, fd, pid, {}); }

  struct Entry {
    uint8_t type;
    uint64_t fsid;
    uint32_t handle;  // stands for a directory; 4 bytes of handle data
    std::string name;
  };
  Records& entries(uint64_t mask, int pid, std::vector<Entry> infos) {
    return record(mask, FAN_NOFD, pid, std::move(infos));
  }

  std::vector<std::byte> bytes() const { return bytes_; }
  std::span<const std::byte> span() const { return bytes_; }

 private:
  Records& record(uint64_t mask, int fd, int pid, std::vector<Entry> infos) {
    std::vector<std::byte> body;
    for (const Entry& info : infos) {
      std::vector<std::byte> part(sizeof(fanotify_event_info_header) + 8 + 8 + 4 +
                                  (info.name.empty() ? 0 : info.name.size() + 1));
      part.resize((part.size() + 3) / 4 * 4);  // the kernel pads info records
      fanotify_event_info_header header{info.type, 0, static_cast<uint16_t>(part.size())};
      unsigned int handleBytes = 4;
      int handleType = 1;
      std::byte* at = part.data();
      std::memcpy(at, &header, sizeof header);
      std::memcpy(at + 4, &info.fsid, 8);
      std::memcpy(at + 12, &handleBytes, 4);
      std::memcpy(at + 16, &handleType, 4);
      std::memcpy(at + 20, &info.handle, 4);
      std::memcpy(at + 24, info.name.data(), info.name.size());
      body.insert(body.end(), part.begin(), part.end());
    }
    fanotify_event_metadata metadata{};
    metadata.event_len = static_cast<uint32_t>(sizeof metadata + body.size());
    metadata.vers = FANOTIFY_METADATA_VERSION;
    metadata.metadata_len = sizeof metadata;
    metadata.mask = mask;
    metadata.fd = fd;
    metadata.pid = pid;
    const auto* raw = reinterpret_cast<const std::byte*>(&metadata);
    bytes_.insert(bytes_.end(), raw, raw + sizeof metadata);
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    return *this;
  }

  std::vector<std::byte> bytes_;
};

TEST(FanotifyDecoder, DecodesFileAndEntryRecordsAndTheOverflowRecord) {
  Records records;
  records.file(FAN_OPEN | FAN_CLOSE_NOWRITE, 7, 100)
      .entries(FAN_RENAME, 101,
               {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 42, 1, "a.txt"},
                {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 42, 2, "b.txt"}})
      .file(FAN_Q_OVERFLOW, FAN_NOFD, 0);
  FanotifyBatch batch = decodeFanotifyBuffer(records.span());
  ASSERT_EQ(batch.records.size(), 3u);
  EXPECT_EQ(batch.malformed, 0u);
  EXPECT_EQ(batch.records[0].fd, 7);
  EXPECT_EQ(batch.records[0].mask, uint64_t{FAN_OPEN | FAN_CLOSE_NOWRITE});
  const auto& rename = batch.records[1];
  ASSERT_EQ(rename.infos.size(), 2u);
  EXPECT_EQ(rename.infos[0].name, "a.txt");
  EXPECT_EQ(rename.infos[1].name, "b.txt");
  EXPECT_EQ(rename.infos[1].fsid, 42u);
  EXPECT_EQ(rename.infos[1].handle.size(), 12u);  // handle_bytes, handle_type, 4 bytes
  EXPECT_TRUE(batch.records[2].isOverflow());
}

TEST(FanotifyDecoder, BrokenBuffersNeverReadOutsideAndHandBackTheirDescriptors) {
  Records good;
  good.file(FAN_OPEN, 9, 100);
  std::vector<std::byte> bytes = good.bytes();

  // Cut short: nothing decoded, counted as malformed.
  std::vector<std::byte> cut(bytes.begin(), bytes.end() - 4);
  FanotifyBatch batch = decodeFanotifyBuffer(cut);
  EXPECT_TRUE(batch.records.empty());
  EXPECT_EQ(batch.malformed, 1u);

  // An info record claiming more bytes than the record holds: the record's fd is handed back.
  Records entry;
  entry.entries(FAN_DELETE, 5, {{FAN_EVENT_INFO_TYPE_DFID_NAME, 1, 1, "x"}});
  std::vector<std::byte> lying = entry.bytes();
  uint16_t huge = 0xffff;
  std::memcpy(lying.data() + sizeof(fanotify_event_metadata) + 2, &huge, 2);
  batch = decodeFanotifyBuffer(lying);
  EXPECT_TRUE(batch.records.empty());
  EXPECT_EQ(batch.malformed, 1u);

  // A name without its NUL inside the record.
  std::vector<std::byte> unterminated = entry.bytes();
  std::memset(unterminated.data() + sizeof(fanotify_event_metadata) + 24, 'y',
              unterminated.size() - sizeof(fanotify_event_metadata) - 24);
  EXPECT_TRUE(decodeFanotifyBuffer(unterminated).records.empty());

  // Every prefix and every single-byte corruption of a valid buffer decodes without crashing.
  Records mixed;
  mixed.file(FAN_OPEN, 3, 1).entries(FAN_CREATE, 2, {{FAN_EVENT_INFO_TYPE_DFID_NAME, 1, 1, "n"}});
  std::vector<std::byte> all = mixed.bytes();
  for (size_t length = 0; length <= all.size(); ++length) {
    decodeFanotifyBuffer(std::span<const std::byte>(all.data(), length));
  }
  for (size_t at = 0; at < all.size(); ++at) {
    std::vector<std::byte> copy = all;
    copy[at] = std::byte{0xff};
    batch = decodeFanotifyBuffer(copy);
    for (int fd : batch.strayFds) EXPECT_EQ(fd, 3);
  }
}

// ---- Translation

struct Delivered {
  es_event_type_t type;
  std::string path;
  std::string second;  // destination directory + name, or the exchange partner
  bool modified = false;
  pid_t ppid = 0;
  std::string executable;
};

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

  static Delivered copy(const es_message_t& m) {
    Delivered d{m.event_type, "", "", false, m.process->ppid, m.process->executable->path.data};
    switch (m.event_type) {
      case ES_EVENT_TYPE_NOTIFY_OPEN:
        d.path = m.event.open.file->path.data;
        break;
      case ES_EVENT_TYPE_NOTIFY_CLOSE:
        d.path = m.event.close.target->path.data;
        d.modified = m.event.close.modified;
        break;
      case ES_EVENT_TYPE_NOTIFY_RENAME:
        d.path = m.event.rename.source->path.data;
        d.second = std::string(m.event.rename.destination.new_path.dir->path.data) + "|" +
                   m.event.rename.destination.new_path.filename.data;
        break;
      case ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA:
        d.path = m.event.exchangedata.file1->path.data;
        d.second = m.event.exchangedata.file2->path.data;
        break;
      case ES_EVENT_TYPE_NOTIFY_UNLINK:
        d.path = m.event.unlink.target->path.data;
        break;
      case ES_EVENT_TYPE_NOTIFY_LINK:
        d.path = std::string(m.event.link.target_dir->path.data) + "|" +
                 m.event.link.target_filename.data;
        break;
      default:
        break;
    }
    return d;
  }

  MemoryLogWriter log;
  ManualClock clock;
  ::testing::NiceMock<MockFanotifyApi> api;
  ProcessInfoCache processes{api, clock};
  std::vector<Delivered> delivered;
  FanotifyTranslator translator{api, processes, /*ownPid=*/4242,
                                [this](const es_message_t& m) { delivered.push_back(copy(m)); }};
};

TEST_F(FanotifyTranslatorTest, AMergedRecordGivesItsEventsInOrderAndClosesItsDescriptor) {
  struct stat status {};
  status.st_mode = S_IFREG | 0644;
  status.st_size = 1000;
  status.st_nlink = 1;
  EXPECT_CALL(api, readLink("/proc/self/fd/7")).WillOnce(Return("/media/usb/a.txt"));
  EXPECT_CALL(api, fstat(7, _)).WillOnce(DoAll(SetArgPointee<1>(status), Return(0)));
  EXPECT_CALL(api, close(7)).Times(1);
  translate(Records().file(FAN_OPEN | FAN_CLOSE_NOWRITE | FAN_CLOSE_WRITE, 7, 100));
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[0].type, ES_EVENT_TYPE_NOTIFY_OPEN);
  EXPECT_EQ(delivered[1].type, ES_EVENT_TYPE_NOTIFY_CLOSE);
  EXPECT_FALSE(delivered[1].modified);
  EXPECT_TRUE(delivered[2].modified) << "the modified close comes last";
  for (const Delivered& d : delivered) {
    EXPECT_EQ(d.path, "/media/usb/a.txt");
    EXPECT_EQ(d.ppid, 99) << "from /proc/<pid>/stat, whatever the process's name holds";
    EXPECT_EQ(d.executable, "/usr/bin/cp");
  }
}

TEST_F(FanotifyTranslatorTest, DescriptorsAreClosedOnEveryPath) {
  EXPECT_CALL(api, close(8));   // the service's own event
  EXPECT_CALL(api, close(9));   // a path that cannot be read
  EXPECT_CALL(api, close(10));  // a file removed before its event was read
  EXPECT_CALL(api, readLink("/proc/self/fd/9")).WillOnce(Return(std::nullopt));
  struct stat gone {};
  gone.st_mode = S_IFREG;
  gone.st_size = 5;
  EXPECT_CALL(api, readLink("/proc/self/fd/10")).WillOnce(Return("/media/usb/tmp (deleted)"));
  EXPECT_CALL(api, fstat(10, _)).WillOnce(DoAll(SetArgPointee<1>(gone), Return(0)));
  translate(
      Records().file(FAN_OPEN, 8, 4242).file(FAN_OPEN, 9, 100).file(FAN_CLOSE_WRITE, 10, 100));
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].path, "/media/usb/tmp") << "the kernel's mark on a removed name goes";
}

TEST_F(FanotifyTranslatorTest, RenamesDeletionsLinksAndExchanges) {
  struct stat linked {};
  linked.st_mode = S_IFREG | 0644;
  linked.st_nlink = 2;
  EXPECT_CALL(api, stat("/home/u/l", _)).WillOnce(DoAll(SetArgPointee<1>(linked), Return(0)));
  translate(Records()
                .entries(FAN_RENAME, 100,
                         {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 42, 1, "a.txt"},
                          {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 42, 2, "b.txt"}})
                .entries(FAN_DELETE, 100, {{FAN_EVENT_INFO_TYPE_DFID_NAME, 42, 1, "gone"}})
                .entries(FAN_CREATE, 100, {{FAN_EVENT_INFO_TYPE_DFID_NAME, 42, 2, "l"}})
                // An exchange: x to y, then y to x, back to back by one process, moving two
                // different files (handles 7 and 8)...
                .entries(FAN_RENAME, 100,
                         {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 42, 1, "x"},
                          {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 42, 2, "y"},
                          {FAN_EVENT_INFO_TYPE_FID, 42, 7, ""}})
                .entries(FAN_RENAME, 100,
                         {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 42, 2, "y"},
                          {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 42, 1, "x"},
                          {FAN_EVENT_INFO_TYPE_FID, 42, 8, ""}})
                // ...while one file moved there and back is two renames.
                .entries(FAN_RENAME, 100,
                         {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 42, 1, "p"},
                          {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 42, 2, "q"},
                          {FAN_EVENT_INFO_TYPE_FID, 42, 9, ""}})
                .entries(FAN_RENAME, 100,
                         {{FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 42, 2, "q"},
                          {FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 42, 1, "p"},
                          {FAN_EVENT_INFO_TYPE_FID, 42, 9, ""}}));
  ASSERT_EQ(delivered.size(), 6u);
  EXPECT_EQ(delivered[0].type, ES_EVENT_TYPE_NOTIFY_RENAME);
  EXPECT_EQ(delivered[0].path, "/media/usb/a.txt");
  EXPECT_EQ(delivered[0].second, "/home/u|b.txt");
  EXPECT_EQ(delivered[1].type, ES_EVENT_TYPE_NOTIFY_UNLINK);
  EXPECT_EQ(delivered[1].path, "/media/usb/gone");
  EXPECT_EQ(delivered[2].type, ES_EVENT_TYPE_NOTIFY_LINK);
  EXPECT_EQ(delivered[2].path, "/home/u|l");
  EXPECT_EQ(delivered[3].type, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA);
  EXPECT_EQ(delivered[3].path, "/media/usb/x");
  EXPECT_EQ(delivered[3].second, "/home/u/y");
  EXPECT_EQ(delivered[4].type, ES_EVENT_TYPE_NOTIFY_RENAME);
  EXPECT_EQ(delivered[5].type, ES_EVENT_TYPE_NOTIFY_RENAME);
  EXPECT_EQ(delivered[5].path, "/home/u/q");
}

TEST_F(FanotifyTranslatorTest, StaleHandlesAndOverflowsAreLoggedAndTheRestGoesOn) {
  EXPECT_CALL(api, openByHandle(500, _)).WillOnce(Return(-1)).WillRepeatedly(Return(601));
  translate(Records()
                .entries(FAN_DELETE, 100, {{FAN_EVENT_INFO_TYPE_DFID_NAME, 42, 1, "a"}})
                .file(FAN_Q_OVERFLOW, FAN_NOFD, 0)
                .entries(FAN_DELETE, 100, {{FAN_EVENT_INFO_TYPE_DFID_NAME, 42, 2, "b"}}));
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].path, "/media/usb/b");
  EXPECT_EQ(translator.overflows(), 1u);
  EXPECT_THAT(log.texts(),
              ElementsAre("ZORVA_LOG: ERROR: fanotify: a directory handle could not be resolved "
                          "(1 so far)",
                          "ZORVA_LOG: ERROR: fanotify: the kernel's event queue overflowed and "
                          "events were lost (1 so far)"));
}

// ---- Processes and mounts

TEST(ProcessInfoCache, ReadsProcOncePerSecondAndFollowsExecsAndExits) {
  ManualClock clock;
  ::testing::StrictMock<MockFanotifyApi> api;
  ProcessInfoCache cache(api, clock);
  EXPECT_CALL(api, readFile("/proc/7/stat"))
      .WillOnce(Return("7 (sh) S 1 7 7 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 900 0"))
      .WillOnce(Return("7 (sh) S 1 7 7 0 -1 0 0 0 0 0 0 0 0 20 0 1 0 900 0"))
      .WillOnce(Return(std::nullopt));
  EXPECT_CALL(api, readLink("/proc/7/exe")).WillOnce(Return("/usr/bin/sh"));
  EXPECT_CALL(api, stat("/usr/bin/sh", _)).WillOnce(Return(-1));
  EXPECT_EQ(cache.lookup(7).executable, "/usr/bin/sh");
  EXPECT_EQ(cache.lookup(7).ppid, 1);  // cached: no /proc read
  clock.advance(std::chrono::seconds(2));
  EXPECT_EQ(cache.lookup(7).executable, "/usr/bin/sh");  // same start time: exe not read again
  clock.advance(std::chrono::seconds(2));
  EXPECT_EQ(cache.lookup(7).executable, "/usr/bin/sh") << "gone: what was learned stays";

  EXPECT_CALL(api, readFile("/proc/8/stat")).WillOnce(Return(std::nullopt));
  EXPECT_EQ(cache.lookup(8).ppid, 8) << "unknown parent: grouped with nobody else";
}

TEST(MountTable, ParsesEscapesAndSkipsPseudoFilesystems) {
  auto mounts = parseMountInfo(
      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "40 27 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
      "90 27 7:0 / /media/My\\040Drive rw,nosuid shared:1 master:2 - vfat /dev/loop0 rw\n"
      "garbage\n");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[2].mountPoint, "/media/My Drive");
  EXPECT_EQ(mounts[2].fsType, "vfat");
  EXPECT_TRUE(canHoldUserFiles("ext4"));
  EXPECT_TRUE(canHoldUserFiles("tmpfs"));
  EXPECT_FALSE(canHoldUserFiles("cgroup2"));
  EXPECT_FALSE(canHoldUserFiles("proc"));
}

}  // namespace
}  // namespace zorva
