#include "service/EventDispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/event_source/testing/MessageBuilders.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "tracking/testing/MockPathTracker.h"

namespace zorva {
namespace {

using namespace testing;  // the message builders
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::Field;
using ::testing::InSequence;
using ::testing::StrictMock;
using Str = std::optional<std::string>;

const Str kCp = "/usr/bin/cp";
const Lineage kActor{101, 100, 0, 0};

// An event's open file, as a backend hands it over; the tracker decides whether to keep it.
class FakeEventFile final : public EventFile {
 public:
  SharedOpenFile retain() const override { return nullptr; }
};

class EventDispatcherTest : public ::testing::Test {
 protected:
  void dispatch(const std::unique_ptr<OwnedMessage>& msg) { dispatcher.handle(msg->message()); }

  MemoryLogWriter log;
  StrictMock<MockPathTracker> tracker;  // any call not expected below fails the test
  EventDispatcher dispatcher{tracker};
};

// The acting process and its forebears are passed on, and so is the event's open file.
TEST_F(EventDispatcherTest, OpenAndClosePassRawPathStatLineageFlagsAndTheOpenFile) {
  const Actor grandchild{.pid = 301, .ppid = 201, .grandparent = 200, .greatGrandparent = 100};
  FakeEventFile file;
  auto open = makeOpen("/media/usb/a.txt");
  auto openFile = makeMessage(ES_EVENT_TYPE_NOTIFY_OPEN, grandchild);
  struct stat status {};
  status.st_mode = S_IFREG | 0644;
  status.st_size = 5;
  openFile->message().event.open = {openFile->file("/media/usb/b.txt", status, &file), 2};
  InSequence order;
  EXPECT_CALL(tracker,
              open(Eq("/media/usb/a.txt"), Field(&stat::st_size, 1000), kActor, kCp, 1u, nullptr));
  EXPECT_CALL(tracker, open(Eq("/media/usb/b.txt"), Field(&stat::st_size, 5),
                            Lineage{301, 201, 200, 100}, kCp, 2u, &file));
  EXPECT_CALL(tracker, close(Eq("/media/usb/a.txt"), Field(&stat::st_size, 1000), kActor, kCp, true,
                             nullptr));
  EXPECT_CALL(tracker, close(Eq("/media/usb/a.txt"), _, kActor, kCp, false, nullptr));
  dispatch(open);
  dispatch(openFile);
  dispatch(makeClose("/media/usb/a.txt", true));
  dispatch(makeClose("/media/usb/a.txt", false));
}

TEST_F(EventDispatcherTest, DirectoryOpenAndCloseAreDroppedButSinglePathChangesAreNot) {
  InSequence order;
  EXPECT_CALL(tracker, modify(Str("/media/usb/dir"), kCp, Eq("UNLINK")));
  EXPECT_CALL(tracker, modify(Str("/media/usb/dir"), kCp, Eq("TRUNCATE")));
  EXPECT_CALL(tracker, modify(Str("/tmp/link"), kCp, Eq("LINK")));  // the link, not its target
  dispatch(makeOpen("/media/usb/dir", S_IFDIR | 0755));
  dispatch(makeClose("/media/usb/dir", true, S_IFDIR | 0755));
  dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/media/usb/dir", S_IFDIR | 0755));
  dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/media/usb/dir", S_IFDIR | 0755));
  dispatch(makeLink("/media/usb/original", "/tmp", "link"));
  EXPECT_THAT(log.texts(), ElementsAre());
}

// Joined destinations collapse nothing: "/" and "b" make "//b".
TEST_F(EventDispatcherTest, TransferEventsCarryTheirBooleansTypeWordsAndWholeJoinedPaths) {
  const std::string longDir = "/media/usb/" + std::string(8000, 'd');  // beyond PATH_MAX
  InSequence order;
  EXPECT_CALL(tracker,
              source(Eq("/v/a"), Str("/tmp/b"), true, true, kCp, Eq("EXCHANGEDATA"), kActor));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), false, true, kCp, Eq("RENAME"), kActor))
      .Times(2);
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str("/tmp/b"), false, false, kCp, Eq("CLONE"), kActor));
  EXPECT_CALL(tracker,
              source(Eq("/v/a"), Str("/tmp/b"), false, false, kCp, Eq("COPYFILE"), kActor));
  EXPECT_CALL(tracker, source(_, Str("//b"), false, false, _, Eq("CLONE"), _));
  EXPECT_CALL(tracker, source(_, Str("//b"), false, false, _, Eq("COPYFILE"), _));
  EXPECT_CALL(tracker, source(_, Str("/tmp//./b"), false, true, _, Eq("RENAME"), _));
  EXPECT_CALL(tracker, source(Eq(longDir + "/a"), Str(longDir + "/b"), false, true, _, _, _));
  dispatch(makeExchange("/v/a", "/tmp/b"));
  dispatch(makeRenameToExisting("/v/a", "/tmp/b"));
  dispatch(makeRenameToNew("/v/a", "/tmp", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/tmp", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/tmp", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/", "b"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/", "b"));
  dispatch(makeRenameToNew("/v/a", "/tmp/", "./b"));
  dispatch(makeRenameToNew(longDir + "/a", longDir, "b"));
}

// The raw first path is passed as it is; decoded paths and the executable become nothing.
TEST_F(EventDispatcherTest, BytesThatAreNotUtf8) {
  InSequence order;
  EXPECT_CALL(tracker, open(Eq("/v/\xff"), _, kActor, Str(), 1u, nullptr));
  EXPECT_CALL(tracker, source(Eq("/v/\xff"), Str(), false, true, kCp, Eq("RENAME"), kActor));
  EXPECT_CALL(tracker, source(Eq("/v/a"), Str(), false, false, kCp, Eq("COPYFILE"), kActor));
  EXPECT_CALL(tracker, modify(Str(), kCp, Eq("UNLINK")));
  dispatch(makeOpen("/v/\xff", S_IFREG | 0644, 1000, 1, Actor{.executable = "/usr/bin/\xfe"}));
  dispatch(makeRenameToNew("/v/\xff", "/tmp", "\xc0\xaf"));
  dispatch(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/tmp/\xff", "b"));
  dispatch(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/\xed\xa0\x80"));
}

// Which processes are ignored is the filter's own test; here, that no event type slips past it.
TEST_F(EventDispatcherTest, IgnoredProcessesMakeNoCallAndNoLine) {
  const Actor client{.executable = "/opt/zorva-client/bin/client", .platform = false};
  for (const auto& message :
       {makeOpen("/v/a", S_IFREG | 0644, 10, 0, client),
        makeClose("/v/a", true, S_IFREG, 10, client), makeExchange("/v/a", "/t/b", client),
        makeLink("/v/a", "/t", "b", client), makeRenameToNew("/v/a", "/t", "b", client),
        makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/a", S_IFREG, client),
        makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/v/a", S_IFREG, client),
        makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/v/a", "/t", "b", client),
        makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/v/a", "/t", "b", client)}) {
    dispatch(message);
  }
  EXPECT_THAT(log.texts(), ElementsAre());
}

TEST_F(EventDispatcherTest, AnUnknownEventTypeIsLoggedWithItsNumberAndDropped) {
  dispatch(makeMessage(999));
  dispatch(makeMessage(4294967295u));
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: ERROR: Unexpected event type encountered: 999\n",
                                       "ZORVA_LOG: ERROR: Unexpected event type encountered: "
                                       "4294967295\n"));
}

}  // namespace
}  // namespace zorva
