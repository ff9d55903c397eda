#include "service/EventDispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/event_source/MessageBuilders.h"
#include "platform/log/MemoryLogWriter.h"
#include "tracking/MockPathTracker.h"

namespace zorva {
namespace {

using ::testing::_;
using testing::Actor;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::Field;
using ::testing::InSequence;
using testing::makeClose;
using testing::makeCopy;
using testing::makeExchange;
using testing::makeLink;
using testing::makeModify;
using testing::makeOpen;
using testing::makeRenameToExisting;
using testing::makeRenameToNew;
using ::testing::StrictMock;
using Str = std::optional<std::string>;

const Str kCp = "/usr/bin/cp";

class EventDispatcherTest : public ::testing::Test {
 protected:
  void dispatch(const std::unique_ptr<OwnedMessage>& message) {
    dispatcher.handle(message->message());
  }

  MemoryLogWriter log;
  StrictMock<MockPathTracker> tracker;  // any call not expected below fails the test
  EventDispatcher dispatcher{tracker};
};

TEST_F(EventDispatcherTest, OpenAndClosePassRawPathStatParentPidAndFlags) {
  InSequence order;
  EXPECT_CALL(tracker, open(Eq("/media/usb/a.txt"), Field(&stat::st_size, 1000), 100, kCp, 1u));
  EXPECT_CALL(tracker, close(Eq("/media/usb/a.txt"), Field(&stat::st_size, 1000), 100, kCp, true));
  EXPECT_CALL(tracker, close(Eq("/media/usb/a.txt"), _, 100, kCp, false));
  dispatch(makeOpen("/media/usb/a.txt"));
  dispatch(makeClose("/media/usb/a.txt", true));
  dispatch(makeClose("/media/usb/a.txt", false));
}

TEST_F(EventDispatcherTest, TwoProcessesWithOneParentShareTheProcessNumber) {
  EXPECT_CALL(tracker, open(_, _, 77, _, _)).Times(2);
  dispatch(makeOpen("/a", S_IFREG | 0644, 10, 0, Actor{.pid = 1, .ppid = 77}));
  dispatch(makeOpen("/b", S_IFREG | 0644, 10, 0, Actor{.pid = 2, .ppid = 77}));
}

TEST_F(EventDispatcherTest, OpenAndCloseOfADirectoryAreDroppedButUnlinkAndTruncateAreNot) {
  EXPECT_CALL(tracker, modify(Str("/media/usb/dir"), kCp, Eq("UNLINK")));
  EXPECT_CALL(tracker, modify(Str("/media/usb/dir"), kCp, Eq("TRUNCATE")));
  dispatch(makeOpen("/media/usb/dir", S_IFDIR | 0755));
  dispatch(makeClose("/media/usb/dir", true, S_IFDIR | 0755));
  dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/media/usb/dir", S_IFDIR | 0755));
  dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/media/usb/dir", S_IFDIR | 0755));
  EXPECT_THAT(log.texts(), ElementsAre());
}

TEST_F(EventDispatcherTest, TransferEventsCarryTheirBooleansAndTypeWords) {
  InSequence order;
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), true, true, kCp, Eq("EXCHANGEDATA")));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), false, true, kCp, Eq("RENAME")));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), false, true, kCp, Eq("RENAME")));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), false, false, kCp, Eq("CLONE")));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), false, false, kCp, Eq("COPYFILE")));
  dispatch(makeExchange("/v/a", "/tmp/b"));
  dispatch(makeRenameToExisting("/v/a", "/tmp/b"));
  dispatch(makeRenameToNew("/v/a", "/tmp", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/tmp", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/tmp", "b"));
}

TEST_F(EventDispatcherTest, JoinedPathsCollapseNothing) {
  InSequence order;
  EXPECT_CALL(tracker, source(_, Str("//b"), false, false, _, Eq("CLONE")));
  EXPECT_CALL(tracker, source(_, Str("//b"), false, false, _, Eq("COPYFILE")));
  EXPECT_CALL(tracker, source(_, Str("/tmp//./b"), false, true, _, Eq("RENAME")));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/", "b"));
  dispatch(makeRenameToNew("/v/a", "/tmp/", "./b"));
}

TEST_F(EventDispatcherTest, LinkPassesTheNewLinkNeverTheLinkedFile) {
  EXPECT_CALL(tracker, modify(Str("/tmp/link"), kCp, Eq("LINK")));
  dispatch(makeLink("/media/usb/original", "/tmp", "link"));
}

TEST_F(EventDispatcherTest, BytesThatAreNotUtf8) {
  InSequence order;
  // The raw first path is passed as it is; decoded paths and the executable become nothing.
  EXPECT_CALL(tracker, open(Eq("/v/\xff"), _, 100, Str(), 1u));
  EXPECT_CALL(tracker, source(Eq("/v/\xff"), Str(), false, true, kCp, Eq("RENAME")));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str(), false, false, kCp, Eq("COPYFILE")));
  EXPECT_CALL(tracker, modify(Str(), kCp, Eq("UNLINK")));
  dispatch(makeOpen("/v/\xff", S_IFREG | 0644, 1000, 1, Actor{.executable = "/usr/bin/\xfe"}));
  dispatch(makeRenameToNew("/v/\xff", "/tmp", "\xc0\xaf"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/tmp/\xff", "b"));
  dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/\xed\xa0\x80"));
}

TEST_F(EventDispatcherTest, IgnoredProcessesMakeNoCallAndNoLine) {
  Actor client{.executable = "/opt/zorva-client/bin/client", .platform = false};
  Actor cupsd{.executable = "/usr/sbin/cupsd", .platform = true};
  for (const Actor& actor : {client, cupsd}) {
    dispatch(makeOpen("/v/a", S_IFREG | 0644, 10, 0, actor));
    dispatch(makeClose("/v/a", true, S_IFREG | 0644, 10, actor));
    dispatch(makeExchange("/v/a", "/t/b", actor));
    dispatch(makeLink("/v/a", "/t", "b", actor));
    dispatch(makeRenameToNew("/v/a", "/t", "b", actor));
    dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/a", S_IFREG, actor));
    dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/v/a", S_IFREG, actor));
    dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/t", "b", actor));
    dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/t", "b", actor));
  }
  EXPECT_THAT(log.texts(), ElementsAre());
}

TEST_F(EventDispatcherTest, AnUnknownEventTypeIsLoggedWithItsNumberAndDropped) {
  dispatch(testing::makeMessage(999));
  dispatch(testing::makeMessage(4294967295u));
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: ERROR: Unexpected event type encountered: 999\n",
                                       "ZORVA_LOG: ERROR: Unexpected event type encountered: "
                                       "4294967295\n"));
}

TEST_F(EventDispatcherTest, PathsOfPathMaxAndBeyondPassWhole) {
  std::string dir = "/media/usb/" + std::string(8000, 'd');
  EXPECT_CALL(tracker, source(Eq(dir + "/a"), Str(dir + "/b"), false, true, _, Eq("RENAME")));
  dispatch(makeRenameToNew(dir + "/a", dir, "b"));
}

}  // namespace
}  // namespace zorva
