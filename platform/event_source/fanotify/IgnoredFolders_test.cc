#include "platform/event_source/fanotify/IgnoredFolders.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/event_source/fanotify/testing/MockFanotifyApi.h"
#include "platform/event_source/fanotify/testing/PrefixRoots.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Return;
using ::testing::SetErrnoAndReturn;

constexpr int kGroup = 3;
constexpr int kEntries = 4;

// Every kernel call is expected: a mark or flush too many is as much a fault as one missing.
class IgnoredFoldersTest : public ::testing::Test {
 protected:
  IgnoredFoldersTest() { ignored.setWatchedFolders(&roots); }

  void expectMark(const std::string& folder, int times = 1) {
    EXPECT_CALL(api,
                mark(kGroup, IgnoredFolders::kMarkFlags, IgnoredFolders::kIgnoredEvents, folder))
        .Times(times)
        .WillRepeatedly(Return(0));
    EXPECT_CALL(api,
                mark(kEntries, IgnoredFolders::kMarkFlags, IgnoredFolders::kIgnoredEntries, folder))
        .Times(times)
        .WillRepeatedly(Return(0));
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
