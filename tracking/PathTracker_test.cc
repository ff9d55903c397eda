// Scenarios driven as the service drives the tracker: event messages through the dispatcher,
// audit events and change notifications recorded on the way out, time on a manual clock.

#include "tracking/PathTracker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/ManualClock.h"
#include "platform/event_source/MessageBuilders.h"
#include "platform/files/FakeContentComparator.h"
#include "platform/log/MemoryLogWriter.h"
#include "platform/settings/MemorySettingsStore.h"
#include "service/EventDispatcher.h"
#include "tracking/TrackerFakes.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using namespace testing;  // the message builders
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::Not;
using Event = RecordingAuditSink::Event;
using Change = RecordingNotifier::Change;
using Registry = WatchRegistry::Reader;

const std::string kUsb = "/Volumes/USB/";

class PathTrackerTest : public ::testing::Test {
 protected:
  PathTrackerTest() { restart(); }

  // A new tracker on the same settings, as after a restart of the service.
  void restart() {
    dispatcher.reset();
    tracker.reset();
    tracker = std::make_unique<PathTracker>(
        PathTracker::Dependencies{settings, clock, audit, notifier, comparator});
    dispatcher = std::make_unique<EventDispatcher>(*tracker);
  }

  void send(const std::unique_ptr<OwnedMessage>& msg) { dispatcher->handle(msg->message()); }
  void openFile(std::string_view path, off_t size, const Actor& actor = {}) {
    send(makeOpen(path, S_IFREG | 0644, size, 1, actor));
  }
  void closeFile(std::string_view path, off_t size, bool modified, const Actor& actor = {}) {
    send(makeClose(path, modified, S_IFREG | 0644, size, actor));
  }

  // Reads after every queue has run what the calls so far queued.
  std::vector<std::string> lines() {
    clock.settle();
    return log.texts();
  }
  void expectOutcome(const std::vector<Event>& events, const std::vector<Change>& changes) {
    clock.settle();
    EXPECT_EQ(audit.events(), events);
    EXPECT_EQ(notifier.changes(), changes);
  }
  size_t tableCount(size_t (OpenFileTable::*count)() const) {
    size_t result = 0;
    tracker->inspect([&](Registry&, const OpenFileTable& table) { result = (table.*count)(); });
    return result;
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  RecordingAuditSink audit;
  RecordingNotifier notifier;
  FakeContentComparator comparator;
  std::unique_ptr<PathTracker> tracker;
  std::unique_ptr<EventDispatcher> dispatcher;
};

TEST_F(PathTrackerTest, RootsAreSavedLowerCasedAndReloadedWithNotifyOffWhichStillRecords) {
  tracker->addVolume(6, "/Volumes/USB/", true);
  tracker->addVolume(7, "/Volumes/USB", true);  // the same root: the later one wins
  tracker->addVolume(9, "/media/Other/", false);
  clock.settle();
  auto saved = settings.getDictionary(WatchRegistry::kSettingsKey);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->size(), 2u);
  EXPECT_EQ(saved->at("/volumes/usb/"),
            SettingValue(SettingValue::Dictionary{{"path", "/volumes/usb/"}, {"volumeId", 7}}));

  restart();
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: PathTracker.init: load: 7: /volumes/usb/"));
  send(makeRenameToNew("/Volumes/USB/a", "/tmp", "a"));
  send(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/Volumes/USB/b"));
  expectOutcome({{"/a", "/tmp/a", 7}}, {});
}

TEST_F(PathTrackerTest, OddRegistrationsNeitherCrashNorLoseOthers) {
  tracker->addVolume(1, "/media/usb", false);
  tracker->addVolume(2, "", false);  // the root "/": every absolute path
  tracker->addVolume(3, "relative/dir", false);
  tracker->addVolume(4, "/media/../etc", false);
  tracker->addVolume(5, "/" + std::string(5000, 'x'), false);
  tracker->inspect([](Registry& registry, const OpenFileTable&) {
    EXPECT_EQ(registry.size(), 5u);
    EXPECT_EQ(registry.isWatching("/media/usb/a")->volumeId, 1);
    EXPECT_EQ(registry.isWatching("/home/a")->volumeId, 2);
    EXPECT_EQ(registry.isWatching("/media/../etc/passwd")->volumeId, 4);
  });
  restart();
  tracker->inspect(
      [](Registry& registry, const OpenFileTable&) { EXPECT_EQ(registry.size(), 5u); });
}

TEST_F(PathTrackerTest, UnreadableSavedEntriesAreSkippedWithAnError) {
  settings.set(
      WatchRegistry::kSettingsKey,
      SettingValue::Dictionary{{"/media/usb/", SettingValue::Dictionary{{"path", "/media/usb/"}}},
                               {"/media/bad/", "not a dictionary"},
                               {"/media/nopath/", SettingValue::Dictionary{{"volumeId", 3}}}});
  restart();
  EXPECT_THAT(lines(), IsSupersetOf({"ZORVA_LOG: PathTracker.init: load: 0: /media/usb/",
                                     "ZORVA_LOG: ERROR: PathTracker.init: skipping unreadable "
                                     "saved root /media/bad/"}));
}

TEST(PathBelowRoot, CutsAtTheRootsLastSeparatorWhateverLowerCasingDoes) {
  EXPECT_EQ(pathBelowRoot("/Volumes/USB/Docs/a.txt", "/volumes/usb/"), "/Docs/a.txt");
  EXPECT_EQ(pathBelowRoot("/home/a", "/"), "/home/a");
  // "İ" lower-cases to two characters: a count of characters would cut one too far.
  EXPECT_EQ(pathBelowRoot("/media/İSTANBUL/Rapor.pdf", "/media/i\xcc\x87stanbul/"), "/Rapor.pdf");
}

class TransferTest : public PathTrackerTest {
 protected:
  TransferTest() {
    tracker->addVolume(7, "/Volumes/USB", true);
    tracker->addVolume(8, "/media/other", false);
  }
};

TEST_F(TransferTest, RenameAndExchangeOutAreRecordedOnceAndNotifyTheWatchedSide) {
  send(makeRenameToNew("/Volumes/USB/Docs/a.txt", "/Users/u", "a.txt"));
  send(makeExchange("/Users/u/x", "/Volumes/USB/y"));  // recorded the other way round
  EXPECT_THAT(lines(), IsSupersetOf({"ZORVA_LOG: REMOTE: track: RENAME: /Volumes/USB/Docs/a.txt, "
                                     "/users/u/a.txt, /usr/bin/cp",
                                     "ZORVA_LOG: REMOTE: track-reverse: EXCHANGEDATA: "
                                     "/volumes/usb/y, /Users/u/x, /usr/bin/cp"}));
  expectOutcome({{"/Docs/a.txt", "/Users/u/a.txt", 7}, {"/y", "/Users/u/x", 7}},
                {{"/Volumes/USB/Docs/a.txt", 7}, {"/Volumes/USB/y", 7}});
}

TEST_F(TransferTest, CopiesOutAreRecordedWithoutNotifyButNothingIntoARootOrBetweenRoots) {
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/tmp", "a"));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/Volumes/USB/b", "/", "b"));
  send(makeRenameToNew("/Users/u/a.txt", "/Volumes/USB", "a.txt"));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/media/other", "a"));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/media/other/a", "/Volumes/USB", "b"));
  expectOutcome({{"/a", "/tmp/a", 7}, {"/b", "//b", 7}},
                {{"/Volumes/USB/a.txt", 7}, {"/Volumes/USB/b", 7}});
}

TEST_F(TransferTest, SinglePathChangesAndPathsThatDoNotDecodeNeverRecord) {
  send(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/Volumes/USB/gone"));
  send(makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/Volumes/USB/short"));
  send(makeLink("/Volumes/USB/short", "/Volumes/USB", "link"));
  send(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/tmp/elsewhere"));
  send(makeRenameToNew("/Volumes/USB/\xff", "/tmp", "a"));
  send(makeRenameToNew("/Volumes/USB/a", "/tmp", "\xff"));  // still a change at the source
  send(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/Volumes/USB/\xff"));
  expectOutcome({}, {{kUsb + "gone", 7}, {kUsb + "short", 7}, {kUsb + "link", 7}, {kUsb + "a", 7}});
}

TEST_F(TransferTest, ACopyReadFromARootAndWrittenOutsideIsConfirmedByContent) {
  comparator.setEqual("/Volumes/USB/report.pdf", "/home/u/report.pdf");
  openFile("/Volumes/USB/report.pdf", 1000);
  closeFile("/Volumes/USB/report.pdf", 1000, false);
  clock.advance(30s);
  closeFile("/home/u/report.pdf", 1000, true);
  EXPECT_THAT(lines(), IsSupersetOf({"ZORVA_LOG: PathTracker.open: tracking: "
                                     "/volumes/usb/report.pdf exec: /usr/bin/cp",
                                     "ZORVA_LOG: REMOTE: test: count(1) => /home/u/report.pdf, "
                                     "/usr/bin/cp",
                                     "ZORVA_LOG: REMOTE: test: found: /Volumes/USB/report.pdf => "
                                     "/home/u/report.pdf"}));
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/report.pdf", "/home/u/report.pdf", 7}));
}

TEST_F(TransferTest, OnlyTheSameParentAndTheSameSizeMakeACandidate) {
  openFile("/Volumes/USB/a", 1000, Actor{.pid = 601, .ppid = 600});
  openFile("/Volumes/USB/b", 999);
  closeFile("/home/u/a", 1000, true);
  openFile("/Volumes/USB/empty", 0);  // dropped before any table is touched
  EXPECT_THAT(lines(), Not(Contains(HasSubstr("test: count"))));
  EXPECT_THAT(comparator.calls(), IsEmpty());
  EXPECT_EQ(tableCount(&OpenFileTable::recordCount), 2u);
}

// One family: a shell 200 (parent 100) with children 201 and 202, and 201's child 301.
const Actor kShell{.executable = "/usr/bin/dash", .pid = 200, .ppid = 100};
const Actor kChild{.executable = "/usr/bin/cat", .pid = 201, .ppid = 200};
const Actor kGrandchild{.pid = 301, .ppid = 201};

TEST_F(TransferTest, ACopyBetweenParentAndChildIsFoundEitherWay) {
  // `sh -c 'cat a > b'`: the child reads, the shell makes the last close of what it opened.
  comparator.setEqual(kUsb + "a", "/tmp/b");
  openFile(kUsb + "a", 500, kChild);
  closeFile(kUsb + "a", 500, false, kChild);
  closeFile("/tmp/b", 500, true, kShell);
  // A program that reads and hands the data to a child to write.
  comparator.setEqual(kUsb + "c", "/tmp/d");
  openFile(kUsb + "c", 600, kChild);
  closeFile("/tmp/d", 600, true, kGrandchild);
  EXPECT_THAT(lines(), IsSupersetOf({"ZORVA_LOG: REMOTE: test: count(1) => /tmp/b, /usr/bin/dash",
                                     "ZORVA_LOG: REMOTE: test: count(1) => /tmp/d, /usr/bin/cp"}));
  expectOutcome({{"/a", "/tmp/b", 7}, {"/c", "/tmp/d", 7}}, {});
}

TEST_F(TransferTest, ProcessesOutsideParentAndChildFindNothing) {
  openFile(kUsb + "a", 500, kChild);
  openFile(kUsb + "b", 500, Actor{.pid = 202, .ppid = 200});  // the writer's parent's sibling
  const Actor strangers[] = {
      {.pid = 100, .ppid = 50},   // the reader's grandparent
      {.pid = 401, .ppid = 301},  // the reader's grandchild
      {.pid = 210, .ppid = 100},  // the shell's sibling
      {.pid = 900, .ppid = 800},  // unrelated
  };
  for (const Actor& stranger : strangers) closeFile("/tmp/x", 500, true, stranger);
  closeFile("/tmp/x", 500, true, kGrandchild);  // 201's own child: only 201's open counts
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: REMOTE: test: count(1) => /tmp/x, /usr/bin/cp"));
  EXPECT_EQ(std::ranges::count_if(log.texts(),
                                  [](const std::string& line) {
                                    return line.find("test: count") != std::string::npos;
                                  }),
            1);
  ASSERT_EQ(comparator.calls().size(), 1u);
  EXPECT_EQ(comparator.calls()[0].first, kUsb + "a");
}

TEST_F(TransferTest, TheSameParentsCandidatesComeBeforeTheRestOfTheFamilys) {
  openFile(kUsb + "x1", 500, Actor{.pid = 203, .ppid = 100});  // the shell's sibling
  openFile(kUsb + "x2", 500, kChild);
  openFile(kUsb + "report", 500, kChild);
  closeFile("/tmp/report", 500, true, kShell);
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: REMOTE: test: count(3) => /tmp/report, /usr/bin/dash"));
  std::vector<std::string> compared;
  for (const auto& call : comparator.calls()) compared.push_back(call.first);
  EXPECT_THAT(compared, ElementsAre(kUsb + "x1", kUsb + "report", kUsb + "x2"));
}

TEST_F(TransferTest, CandidatesWithTheClosedFilesNameAreComparedFirst) {
  for (const char* name : {"x1", "x2", "report", "x3"}) openFile(kUsb + name, 500);
  comparator.setEqual(kUsb + "x2", "/tmp/report");
  closeFile("/tmp/report", 500, true);
  expectOutcome({{"/x2", "/tmp/report", 7}}, {});
  ASSERT_FALSE(comparator.calls().empty());
  EXPECT_EQ(comparator.calls().front().first, kUsb + "report");
}

TEST_F(TransferTest, ThreeCandidatesRecordOnlyTheFirstEqualInOrder) {
  for (const char* name : {"a", "b", "c"}) openFile(kUsb + name, 500);
  // The table's own order decides which comes first: learn it, then make the last two equal.
  closeFile("/tmp/probe", 500, true);
  clock.settle();
  auto order = comparator.calls();
  ASSERT_EQ(order.size(), 3u);
  comparator.setEqual(order[1].first, "/tmp/new");
  comparator.setEqual(order[2].first, "/tmp/new");
  closeFile("/tmp/new", 500, true);
  expectOutcome({{order[1].first.substr(kUsb.size() - 1), "/tmp/new", 7}}, {});
  EXPECT_EQ(comparator.calls().back().first, order[1].first) << "comparing stops at a match";
}

TEST_F(TransferTest, RecordsCloseAfterSixtySecondsAndAreCulledAfterSixtyOne) {
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/a", 100, false);
  clock.advance(60s);
  comparator.setEqual("/Volumes/USB/a", "/tmp/a1");
  closeFile("/tmp/a1", 100, true);
  expectOutcome({{"/a", "/tmp/a1", 7}}, {});  // at exactly 60 s the record is a candidate

  clock.advance(1s);
  comparator.setEqual("/Volumes/USB/a", "/tmp/a2");
  closeFile("/tmp/a2", 100, true);
  // The manual clock starts at 1767225600, when the file was closed.
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: culling /volumes/usb/a, old_time: 1767225601, "
                                "lastClose: 1767225600"));
  EXPECT_EQ(audit.events().size(), 1u);
  EXPECT_EQ(tableCount(&OpenFileTable::processCount), 0u) << "an emptied table is removed";
  EXPECT_EQ(tableCount(&OpenFileTable::openerCount), 0u) << "and so is what pointed to it";
}

TEST_F(TransferTest, OpenFilesAndCountsThatNeverReturnToZeroAreNeverCulled) {
  openFile("/Volumes/USB/a", 100);
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/a", 100, false);  // count 1: still open
  openFile("/Volumes/USB/b", 200);
  closeFile("/Volumes/USB/b", 0, false);  // size 0: not counted
  clock.advance(1h);
  openFile("/Volumes/USB/a", 100, Actor{.pid = 102});  // a sibling's open takes the record over
  closeFile("/tmp/x", 300, true);
  clock.settle();
  EXPECT_EQ(tableCount(&OpenFileTable::recordCount), 2u);
  EXPECT_EQ(tableCount(&OpenFileTable::openerCount), 2u);
}

TEST_F(TransferTest, ModifiedCloseOfATrackedFileNotifiesWithItsOwnRecordWithoutAScan) {
  openFile("/Volumes/USB/a", 100);
  tracker->addVolume(70, "/Volumes/USB", false);  // replaces the root's record, not the file's
  closeFile("/Volumes/USB/a", 100, true);
  send(makeRenameToNew("/Volumes/USB/b", "/tmp", "b"));
  expectOutcome({{"/b", "/tmp/b", 70}}, {{"/Volumes/USB/a", 7}});
  EXPECT_THAT(comparator.calls(), IsEmpty());
}

TEST_F(TransferTest, ContentAndSingleEventPathsAgreeOnCopiesThatStayOnWatchedRoots) {
  // A copy within the root and one to another root, seen as content and as single events.
  comparator.setEqual("/Volumes/USB/a", "/Volumes/USB/copy-of-a");
  comparator.setEqual("/Volumes/USB/a", "/media/other/a");
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/copy-of-a", 100, true);
  closeFile("/media/other/a", 100, true);
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/Volumes/USB", "copy-of-a"));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/media/other", "a"));
  expectOutcome({}, {{"/Volumes/USB/copy-of-a", 7}, {"/Volumes/USB/copy-of-a", 7}});
  EXPECT_THAT(comparator.calls(), IsEmpty()) << "no file is read for a copy that stays watched";
}

TEST_F(TransferTest, UnwatchedOpensFromManyProcessesLeaveNoTables) {
  for (int pid = 1; pid <= 5000; ++pid) {
    openFile("/home/u/file-" + std::to_string(pid), 100, Actor{.pid = pid + 1, .ppid = pid});
  }
  EXPECT_EQ(tableCount(&OpenFileTable::processCount), 0u);
}

}  // namespace
}  // namespace zorva
