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
using testing::Actor;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Event = RecordingAuditSink::Event;
using Change = RecordingNotifier::Change;

const Actor kCp{.executable = "/usr/bin/cp", .pid = 501, .ppid = 500};
const Actor kOther{.executable = "/usr/bin/cp", .pid = 601, .ppid = 600};

class PathTrackerTest : public ::testing::Test {
 protected:
  PathTrackerTest() { restart(); }

  // A new tracker on the same settings, as after a restart of the service.
  void restart() {
    dispatcher.reset();
    tracker.reset();
    tracker = std::make_unique<PathTracker>(PathTracker::Dependencies{.settings = settings,
                                                                      .clock = clock,
                                                                      .audit = audit,
                                                                      .notifier = notifier,
                                                                      .comparator = comparator});
    dispatcher = std::make_unique<EventDispatcher>(*tracker);
  }

  void send(const std::unique_ptr<OwnedMessage>& message) {
    dispatcher->handle(message->message());
  }
  void openFile(std::string_view path, off_t size, const Actor& actor = kCp) {
    send(testing::makeOpen(path, S_IFREG | 0644, size, 1, actor));
  }
  void closeFile(std::string_view path, off_t size, bool modified, const Actor& actor = kCp) {
    send(testing::makeClose(path, modified, S_IFREG | 0644, size, actor));
  }
  // Waits until every queue has run what the calls so far queued.
  void settle() { clock.settle(); }

  std::vector<std::string> lines() {
    settle();
    return log.texts();
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

// ---- Watch registry

TEST_F(PathTrackerTest, RegisteredRootsAreLowerCasedSavedAndReloadedWithoutNotify) {
  tracker->addVolume(7, "/Volumes/USB", true);
  tracker->addVolume(9, "/media/Other/", false);
  settle();
  auto saved = settings.getDictionary(WatchRegistry::kSettingsKey);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->size(), 2u);
  EXPECT_EQ(saved->at("/volumes/usb/"),
            SettingValue(SettingValue::Dictionary{{"path", "/volumes/usb/"}, {"volumeId", 7}}));

  restart();
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: PathTracker.init: load: 7: /volumes/usb/"));
  tracker->inspect([](WatchRegistry::Reader& registry, const OpenFileTable&) {
    const WatchInfo* info = registry.isWatching("/volumes/usb/docs/a.txt");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->volumeId, 7);
    EXPECT_FALSE(info->notifyEnabled);
  });
}

TEST_F(PathTrackerTest, LookUpMatchesOnlyInsideRootsAndPrefersTheLongest) {
  tracker->addVolume(7, "/Volumes/USB/", true);
  tracker->addVolume(8, "/volumes/usb", false);  // the same root: the later one wins
  tracker->addVolume(9, "/volumes/usb/backup", false);
  tracker->inspect([](WatchRegistry::Reader& registry, const OpenFileTable&) {
    EXPECT_EQ(registry.size(), 2u);
    EXPECT_EQ(registry.isWatching("/volumes/usb/a.txt")->volumeId, 8);
    EXPECT_EQ(registry.isWatching("/volumes/usb/backup/a.txt")->volumeId, 9);
    EXPECT_EQ(registry.isWatching("/volumes/usb/backupx/a.txt")->volumeId, 8);
    EXPECT_EQ(registry.isWatching("/volumes/usb"), nullptr);
    EXPECT_EQ(registry.isWatching("/volumes/usbkey/a"), nullptr);
    EXPECT_EQ(registry.isWatching("/Volumes/USB/a"), nullptr) << "callers pass lower case";
  });
}

TEST_F(PathTrackerTest, OddRegistrationsNeitherCrashNorLoseOthers) {
  tracker->addVolume(1, "/media/usb", false);
  tracker->addVolume(2, "", false);  // the root "/": every absolute path
  tracker->addVolume(3, "relative/dir", false);
  tracker->addVolume(4, "/media/../etc", false);
  tracker->addVolume(5, "/" + std::string(5000, 'x'), false);
  tracker->inspect([](WatchRegistry::Reader& registry, const OpenFileTable&) {
    EXPECT_EQ(registry.size(), 5u);
    EXPECT_EQ(registry.isWatching("/media/usb/a")->volumeId, 1);
    EXPECT_EQ(registry.isWatching("/home/a")->volumeId, 2);
    EXPECT_EQ(registry.isWatching("/media/../etc/passwd")->volumeId, 4);
  });
  restart();
  tracker->inspect([](WatchRegistry::Reader& registry, const OpenFileTable&) {
    EXPECT_EQ(registry.size(), 5u);
  });
}

TEST_F(PathTrackerTest, UnreadableSavedEntriesAreSkippedWithAnError) {
  settings.set(
      WatchRegistry::kSettingsKey,
      SettingValue::Dictionary{{"/media/usb/", SettingValue::Dictionary{{"path", "/media/usb/"}}},
                               {"/media/bad/", "not a dictionary"},
                               {"/media/nopath/", SettingValue::Dictionary{{"volumeId", 3}}}});
  restart();
  auto all = lines();
  EXPECT_THAT(all, Contains("ZORVA_LOG: PathTracker.init: load: 0: /media/usb/"));
  EXPECT_THAT(all, Contains("ZORVA_LOG: ERROR: PathTracker.init: skipping unreadable saved root "
                            "/media/bad/"));
}

TEST(PathBelowRoot, CutsAtTheRootsLastSeparatorWhateverLowerCasingDoes) {
  EXPECT_EQ(pathBelowRoot("/Volumes/USB/Docs/a.txt", "/volumes/usb/"), "/Docs/a.txt");
  EXPECT_EQ(pathBelowRoot("/home/a", "/"), "/home/a");
  // "İ" lower-cases to two characters: a count of characters would cut one too far.
  EXPECT_EQ(pathBelowRoot("/media/İSTANBUL/Rapor.pdf", "/media/i\xcc\x87stanbul/"), "/Rapor.pdf");
}

// ---- Single-event transfers

class TransferTest : public PathTrackerTest {
 protected:
  TransferTest() { tracker->addVolume(7, "/Volumes/USB", true); }
};

TEST_F(TransferTest, RenameOutOfARootIsRecordedOnceAndNotifiesTheSource) {
  send(testing::makeRenameToNew("/Volumes/USB/Docs/a.txt", "/Users/u", "a.txt"));
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: REMOTE: track: RENAME: /Volumes/USB/Docs/a.txt, "
                                "/users/u/a.txt, /usr/bin/cp"));
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/Docs/a.txt", "/Users/u/a.txt", 7}));
  EXPECT_THAT(notifier.changes(), ElementsAre(Change{"/Volumes/USB/Docs/a.txt", 7}));
}

TEST_F(TransferTest, NothingIsRecordedIntoARootOrBetweenRoots) {
  tracker->addVolume(8, "/media/other", false);
  send(testing::makeRenameToNew("/Users/u/a.txt", "/Volumes/USB", "a.txt"));
  send(testing::makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/media/other", "a"));
  send(testing::makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/media/other/a", "/Volumes/USB", "b"));
  settle();
  EXPECT_THAT(audit.events(), IsEmpty());
  EXPECT_THAT(notifier.changes(),
              ElementsAre(Change{"/Volumes/USB/a.txt", 7}, Change{"/Volumes/USB/b", 7}));
}

TEST_F(TransferTest, ExchangeRecordsTheReverseDirection) {
  send(testing::makeExchange("/Users/u/x", "/Volumes/USB/y"));
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: REMOTE: track-reverse: EXCHANGEDATA: /volumes/usb/y, "
                                "/Users/u/x, /usr/bin/cp"));
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/y", "/Users/u/x", 7}));
  EXPECT_THAT(notifier.changes(), ElementsAre(Change{"/Volumes/USB/y", 7}));
}

TEST_F(TransferTest, CopyAndCloneOutAreRecordedWithoutNotifyingTheSource) {
  send(testing::makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/tmp", "a"));
  send(testing::makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, "/Volumes/USB/b", "/", "b"));
  settle();
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/a", "/tmp/a", 7}, Event{"/b", "//b", 7}));
  EXPECT_THAT(notifier.changes(), IsEmpty());
}

TEST_F(TransferTest, NotifyOffStillRecordsTransfers) {
  tracker->addVolume(7, "/Volumes/USB", false);
  send(testing::makeRenameToNew("/Volumes/USB/a", "/tmp", "a"));
  send(testing::makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/Volumes/USB/b"));
  settle();
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/a", "/tmp/a", 7}));
  EXPECT_THAT(notifier.changes(), IsEmpty());
}

TEST_F(TransferTest, SinglePathChangesNotifyAndNeverRecord) {
  send(testing::makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/Volumes/USB/gone"));
  send(testing::makeModify(ES_EVENT_TYPE_NOTIFY_TRUNCATE, "/Volumes/USB/short"));
  send(testing::makeLink("/Volumes/USB/short", "/Volumes/USB", "link"));
  send(testing::makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/tmp/elsewhere"));
  settle();
  EXPECT_THAT(audit.events(), IsEmpty());
  EXPECT_THAT(notifier.changes(),
              ElementsAre(Change{"/Volumes/USB/gone", 7}, Change{"/Volumes/USB/short", 7},
                          Change{"/Volumes/USB/link", 7}));
}

TEST_F(TransferTest, PathsThatDoNotDecodeRecordNothing) {
  send(testing::makeRenameToNew("/Volumes/USB/\xff", "/tmp", "a"));
  send(testing::makeRenameToNew("/Volumes/USB/a", "/tmp", "\xff"));
  send(testing::makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/Volumes/USB/\xff"));
  settle();
  EXPECT_THAT(audit.events(), IsEmpty());
  EXPECT_THAT(notifier.changes(), ElementsAre(Change{"/Volumes/USB/a", 7}));
}

// ---- Open-file table and content-confirmed copies

TEST_F(TransferTest, ACopyReadFromARootAndWrittenOutsideIsConfirmedByContent) {
  comparator.setEqual("/Volumes/USB/report.pdf", "/home/u/report.pdf");
  openFile("/Volumes/USB/report.pdf", 1000);
  closeFile("/Volumes/USB/report.pdf", 1000, false);
  clock.advance(30s);
  closeFile("/home/u/report.pdf", 1000, true);
  auto all = lines();
  EXPECT_THAT(all, Contains("ZORVA_LOG: PathTracker.open: tracking: /volumes/usb/report.pdf "
                            "exec: /usr/bin/cp"));
  EXPECT_THAT(all, Contains("ZORVA_LOG: REMOTE: test: count(1) => /home/u/report.pdf, "
                            "/usr/bin/cp"));
  EXPECT_THAT(all, Contains("ZORVA_LOG: REMOTE: test: found: /Volumes/USB/report.pdf => "
                            "/home/u/report.pdf"));
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/report.pdf", "/home/u/report.pdf", 7}));
}

TEST_F(TransferTest, OnlyTheSameParentAndTheSameSizeMakeACandidate) {
  openFile("/Volumes/USB/a", 1000, kOther);
  openFile("/Volumes/USB/b", 999);
  closeFile("/home/u/a", 1000, true);
  openFile("/Volumes/USB/empty", 0);  // dropped before any table is touched
  settle();
  EXPECT_THAT(comparator.calls(), IsEmpty());
  EXPECT_THAT(lines(), Not(Contains(HasSubstr("test: count"))));
  tracker->inspect([](WatchRegistry::Reader&, const OpenFileTable& table) {
    EXPECT_EQ(table.recordCount(), 2u);
  });
}

TEST_F(TransferTest, CandidatesWithTheClosedFilesNameAreComparedFirstAndTheFirstMatchWins) {
  for (const char* name : {"x1", "x2", "report", "x3"}) {
    openFile(std::string("/Volumes/USB/") + name, 500);
  }
  comparator.setEqual("/Volumes/USB/x2", "/tmp/report");
  comparator.setEqual("/Volumes/USB/x3", "/tmp/report");
  closeFile("/tmp/report", 500, true);
  settle();
  auto calls = comparator.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().first, "/Volumes/USB/report");
  auto events = audit.events();
  ASSERT_EQ(events.size(), 1u) << "comparing stops at the first equal candidate";
  EXPECT_EQ(calls.back().first, "/Volumes/USB/" + events[0].source.substr(1));
}

TEST_F(TransferTest, ThreeCandidatesRecordOnlyTheFirstEqualInOrder) {
  openFile("/Volumes/USB/a", 500);
  openFile("/Volumes/USB/b", 500);
  openFile("/Volumes/USB/c", 500);
  // Which of a, b, c comes first is the table's own order; find it, then make the second and
  // third equal.
  closeFile("/tmp/probe", 500, true);
  settle();
  auto order = comparator.calls();
  ASSERT_EQ(order.size(), 3u);
  comparator.setEqual(order[1].first, "/tmp/new");
  comparator.setEqual(order[2].first, "/tmp/new");
  closeFile("/tmp/new", 500, true);
  settle();
  auto events = audit.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ("/Volumes/USB" + events[0].source, order[1].first);
}

TEST_F(TransferTest, RecordsCloseAfterSixtySecondsAndAreCulledAfterSixtyOne) {
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/a", 100, false);
  clock.advance(60s);
  comparator.setEqual("/Volumes/USB/a", "/tmp/a1");
  closeFile("/tmp/a1", 100, true);
  settle();
  EXPECT_EQ(audit.events().size(), 1u) << "at exactly 60 seconds the record is a candidate";

  clock.advance(1s);
  comparator.setEqual("/Volumes/USB/a", "/tmp/a2");
  closeFile("/tmp/a2", 100, true);
  auto all = lines();
  auto threshold =
      std::chrono::duration_cast<std::chrono::seconds>((clock.now() - 60s).time_since_epoch())
          .count();
  EXPECT_THAT(all,
              Contains("ZORVA_LOG: culling /volumes/usb/a, old_time: " + std::to_string(threshold) +
                       ", lastClose: " + std::to_string(threshold - 1)));
  EXPECT_EQ(audit.events().size(), 1u);
  tracker->inspect([](WatchRegistry::Reader&, const OpenFileTable& table) {
    EXPECT_EQ(table.processCount(), 0u) << "a table emptied by culling is removed";
  });
}

TEST_F(TransferTest, OpenFilesAndCountsThatNeverReturnToZeroAreNeverCulled) {
  openFile("/Volumes/USB/a", 100);
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/a", 100, false);  // count 1: still open
  openFile("/Volumes/USB/b", 200);
  closeFile("/Volumes/USB/b", 0, false);  // size 0: not counted
  clock.advance(1h);
  closeFile("/tmp/x", 300, true);
  settle();
  tracker->inspect([](WatchRegistry::Reader&, const OpenFileTable& table) {
    EXPECT_EQ(table.recordCount(), 2u);
  });
}

TEST_F(TransferTest, ModifiedCloseOfATrackedFileNotifiesWithItsOwnRecordWithoutAScan) {
  openFile("/Volumes/USB/a", 100);
  tracker->addVolume(70, "/Volumes/USB", true);  // a new record; the open file keeps the old one
  closeFile("/Volumes/USB/a", 100, true);
  settle();
  EXPECT_THAT(notifier.changes(), ElementsAre(Change{"/Volumes/USB/a", 7}));
  EXPECT_THAT(comparator.calls(), IsEmpty());
}

TEST_F(TransferTest, ContentAndSingleEventPathsAgreeOnCopiesThatStayOnWatchedRoots) {
  tracker->addVolume(8, "/media/other", false);
  // A copy within the root and a copy to another root, seen as content...
  comparator.setEqual("/Volumes/USB/a", "/Volumes/USB/copy-of-a");
  comparator.setEqual("/Volumes/USB/a", "/media/other/a");
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/copy-of-a", 100, true);
  closeFile("/media/other/a", 100, true);
  // ...and the same copies as single events.
  send(testing::makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/Volumes/USB",
                         "copy-of-a"));
  send(testing::makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, "/Volumes/USB/a", "/media/other", "a"));
  settle();
  EXPECT_THAT(audit.events(), IsEmpty());
  EXPECT_THAT(comparator.calls(), IsEmpty()) << "no file is read for a copy that stays watched";
  EXPECT_THAT(notifier.changes(), ElementsAre(Change{"/Volumes/USB/copy-of-a", 7},
                                              Change{"/Volumes/USB/copy-of-a", 7}));
}

TEST_F(TransferTest, UnwatchedOpensFromManyProcessesLeaveNoTables) {
  for (int pid = 1; pid <= 5000; ++pid) {
    openFile("/home/u/file-" + std::to_string(pid), 100, Actor{.pid = pid + 1, .ppid = pid});
  }
  tracker->inspect([](WatchRegistry::Reader&, const OpenFileTable& table) {
    EXPECT_EQ(table.processCount(), 0u);
  });
}

}  // namespace
}  // namespace zorva
