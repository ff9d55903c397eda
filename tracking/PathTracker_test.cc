// Scenarios driven as the service drives the tracker: event messages through the dispatcher,
// audit events and change notifications recorded on the way out, time on a manual clock.

#include "tracking/PathTracker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/testing/MessageBuilders.h"
#include "platform/files/testing/FakeContentComparator.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "service/EventDispatcher.h"
#include "tracking/testing/TrackerFakes.h"

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
using ::testing::Pair;
using ::testing::UnorderedElementsAre;
using Event = RecordingAuditSink::Event;
using Change = RecordingNotifier::Change;
using Registry = WatchRegistry::Reader;

const std::string kUsb = "/Volumes/USB/";

// Asks, each time it is told roots were added, what the tracker answers then.
class RecordingFolderFilter final : public FolderFilter {
 public:
  void setWatchedFolders(WatchedFolders* folders) override { folders_ = folders; }
  void rootsAdded() override {
    answers.push_back(
        {folders_->holdsWatchedFiles("/MEDIA/New/sub"), folders_->holdsWatchedFiles("/media"),
         folders_->mayHoldWatchedFiles("/media"), folders_->mayHoldWatchedFiles("/home/u")});
  }
  bool asked() const { return folders_ != nullptr; }

  std::vector<std::vector<bool>> answers;

 private:
  WatchedFolders* folders_ = nullptr;
};

class PathTrackerTest : public ::testing::Test {
 protected:
  PathTrackerTest() { restart(); }

  // A new tracker on the same settings, as after a restart of the service.
  void restart() {
    dispatcher.reset();
    tracker.reset();
    tracker = std::make_unique<PathTracker>(
        PathTracker::Dependencies{settings, clock, audit, notifier, comparator, &filter});
    dispatcher = std::make_unique<EventDispatcher>(*tracker);
  }

  void send(const std::unique_ptr<OwnedMessage>& msg) { dispatcher->handle(msg->message()); }
  void openFile(std::string_view path, off_t size, const Actor& actor = {}) {
    send(makeOpen(path, S_IFREG | 0644, size, 1, actor));
  }
  void closeFile(std::string_view path, off_t size, bool modified, const Actor& actor = {}) {
    send(makeClose(path, modified, S_IFREG | 0644, size, actor));
  }
  // An open or close with the open file a backend hands over, as fanotify does.
  void sendWithFile(uint32_t type, std::string_view path, off_t size, bool modified,
                    const EventFile& file, const Actor& actor = {}) {
    auto message = makeMessage(type, actor);
    struct stat status {};
    status.st_mode = S_IFREG | 0644;
    status.st_size = size;
    const es_file_t* record = message->file(path, status, &file);
    if (type == ES_EVENT_TYPE_NOTIFY_OPEN) {
      message->message().event.open = {record, 1};
    } else {
      message->message().event.close = {modified, record};
    }
    send(message);
  }

  // Reads after every queue has run what the calls so far queued.
  std::vector<std::string> lines() {
    clock.settle();
    return log.texts();
  }
  // After copies found by content have waited for their final names.
  void expectOutcome(const std::vector<Event>& events, const std::vector<Change>& changes) {
    clock.advance(PathTracker::kFinalNameWait);
    EXPECT_EQ(audit.events(), events);
    EXPECT_EQ(notifier.changes(), changes);
  }
  size_t tableCount(size_t (OpenFileTable::*count)() const) {
    size_t result = 0;
    tracker->inspect([&](Registry&, const OpenFileTable& table) { result = (table.*count)(); });
    return result;
  }

  MemoryLogWriter log;
  RecordingFolderFilter filter;  // outlives the tracker
  ManualClock clock;
  std::atomic<int> openFiles{0};  // held by the tracker's records: outlives it
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

// "" and "/" would put every destination under a root, so no transfer is ever seen again, and a
// relative path matches nothing: refused, and never saved. Odd but absolute paths are kept.
TEST_F(PathTrackerTest, PathsThatWouldWatchEverythingOrNothingAreRefusedAndOthersKept) {
  tracker->addVolume(1, "/media/usb", false);
  for (const char* refused : {"", "/", "///", "relative/dir", "../../etc"}) {
    tracker->addVolume(2, refused, false);
  }
  tracker->addVolume(4, "/media/../etc", false);
  tracker->addVolume(5, "/" + std::string(5000, 'x'), false);
  EXPECT_THAT(lines(), IsSupersetOf({"ZORVA_LOG: ERROR: PathTracker: addPath: refusing 2, : an "
                                     "empty path would watch every file",
                                     "ZORVA_LOG: ERROR: PathTracker: addPath: refusing 2, /: "
                                     "\"/\" would watch every file",
                                     "ZORVA_LOG: ERROR: PathTracker: addPath: refusing 2, "
                                     "relative/dir: not an absolute path"}));
  auto roots = [&] {
    size_t count = 0;
    tracker->inspect([&](Registry& registry, const OpenFileTable&) {
      count = registry.size();
      EXPECT_EQ(registry.isWatching("/home/a"), nullptr);
      EXPECT_EQ(registry.isWatching("/media/../etc/passwd")->volumeId, 4);
    });
    return count;
  };
  EXPECT_EQ(roots(), 3u);
  restart();
  EXPECT_EQ(roots(), 3u);

  // An older build saved whatever it was given: such a root is skipped, not obeyed.
  auto saved = *settings.getDictionary(WatchRegistry::kSettingsKey);
  saved.emplace("/", SettingValue::Dictionary{{"path", "/"}, {"volumeId", 2}});
  settings.set(WatchRegistry::kSettingsKey, saved);
  restart();
  EXPECT_EQ(roots(), 3u);
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: ERROR: PathTracker.init: skipping saved root /: "
                                "\"/\" would watch every file"));
}

// The settings are held by another process at start-up: the saved roots are not taken for none,
// a root registered meanwhile is watched at once, and both are in force and saved together once
// the settings can be read.
TEST_F(PathTrackerTest, SavedRootsThatCannotBeReadYetAreReadLaterAndKeptWithNewOnes) {
  tracker->addVolume(7, "/media/usb", false);
  clock.settle();
  settings.setLocked(true);
  restart();
  tracker->addVolume(8, "/media/new", false);
  clock.settle();
  EXPECT_THAT(lines(), Contains(HasSubstr("the saved roots cannot be read now")));
  clock.advance(PathTracker::kSettingsRetry * 2);
  settings.setLocked(false);
  clock.advance(PathTracker::kSettingsRetry);
  tracker->inspect([](Registry& registry, const OpenFileTable&) {
    EXPECT_EQ(registry.isWatching("/media/usb/a")->volumeId, 7);
    EXPECT_EQ(registry.isWatching("/media/new/a")->volumeId, 8);
  });
  EXPECT_EQ(settings.getDictionary(WatchRegistry::kSettingsKey)->size(), 2u);
  comparator.setEqual("/media/usb/a", "/tmp/a");
  openFile("/media/usb/a", 100);
  closeFile("/tmp/a", 100, true);
  expectOutcome({{"/a", "/tmp/a", 7}}, {});
}

// The kernel is told to forget its marks only once a new root is in force, whether registered or
// read late from the settings; a refused path tells it nothing.
TEST_F(PathTrackerTest, TheKernelForgetsItsMarksOnlyOnceANewRootIsInForce) {
  const std::vector<bool> withNewRoot = {true, false, true, false};
  tracker->addVolume(9, "", false);
  EXPECT_THAT(filter.answers, IsEmpty());
  tracker->addVolume(9, "/media/new", false);
  EXPECT_THAT(filter.answers, ElementsAre(withNewRoot));
  clock.settle();
  settings.setLocked(true);
  restart();
  EXPECT_EQ(filter.answers.size(), 1u) << "nothing in force yet";
  settings.setLocked(false);
  clock.advance(PathTracker::kSettingsRetry);
  EXPECT_THAT(filter.answers, ElementsAre(withNewRoot, withNewRoot));
  tracker.reset();
  dispatcher.reset();
  EXPECT_FALSE(filter.asked());
}

// The event source drops writes unread while this is false, so it must turn true with the first
// open of a watched file, before that file's copy can be closed, and stay so while one waits.
TEST_F(PathTrackerTest, WritesMatterWhileAWatchedFileMayBeCopiedOrARootWantsChanges) {
  tracker->addVolume(7, "/media/usb", false);
  EXPECT_FALSE(tracker->writesMayMatter());
  openFile("/media/usb/a", 100);
  EXPECT_TRUE(tracker->writesMayMatter()) << "before the open is handled on the queue";
  closeFile("/media/usb/a", 100, false);
  clock.advance(std::chrono::seconds(OpenFileTable::kStaleSeconds + 1));
  closeFile("/tmp/unrelated", 100, true);  // culls the record
  clock.settle();
  EXPECT_FALSE(tracker->writesMayMatter());
  tracker->addVolume(8, "/media/other", true);
  EXPECT_TRUE(tracker->writesMayMatter());
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
  EXPECT_THAT(audit.events(), IsEmpty()) << "waits for the name the copy ends with";
  clock.advance(PathTracker::kFinalNameWait);
  EXPECT_THAT(audit.events(), ElementsAre(Event{"/report.pdf", "/home/u/report.pdf", 7}));
}

// Each transfer's one line carries its fields, however it was found, with the source's letter case
// and the acting process; no other line names a volume, so a query by volume lists each once.
TEST_F(TransferTest, EachTransferLineCarriesItsFieldsWhateverFoundIt) {
  using Fields = std::map<std::string, std::string>;
  const Actor mover{.executable = "/usr/bin/mv", .pid = 300, .ppid = 30};
  const Actor writer{.executable = "/usr/bin/dd", .pid = 401, .ppid = 400};
  comparator.setEqual(kUsb + "Copied", "/tmp/copied");
  openFile(kUsb + "Copied", 100, Actor{.pid = 402, .ppid = 400});
  closeFile("/tmp/copied", 100, true, writer);
  send(makeRenameToNew(kUsb + "Docs/a.txt", "/home/u", "a.txt", mover));
  send(makeExchange("/home/u/x", kUsb + "y", mover));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_CLONE, kUsb + "b", "/tmp", "b", mover));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, kUsb + "c", "/media/other", "c", mover));
  send(makeCopy(ES_EVENT_TYPE_NOTIFY_COPYFILE, kUsb + "c", "/tmp", "c", mover));
  clock.advance(PathTracker::kFinalNameWait);

  auto transfer = [](std::string kind, std::string source, std::string dest, std::string exe,
                     std::string pid) {
    return Fields{{"ZORVA_DESTINATION", std::move(dest)}, {"ZORVA_EXE", std::move(exe)},
                  {"ZORVA_KIND", std::move(kind)},        {"ZORVA_PID", std::move(pid)},
                  {"ZORVA_SOURCE", std::move(source)},    {"ZORVA_VOLUME_ID", "7"}};
  };
  std::vector<Fields> withVolume;
  for (const auto& line : log.lines()) {
    if (line.fields.contains("ZORVA_VOLUME_ID")) withVolume.push_back(line.fields);
  }
  EXPECT_THAT(withVolume,
              UnorderedElementsAre(
                  transfer("rename", kUsb + "Docs/a.txt", "/home/u/a.txt", "/usr/bin/mv", "300"),
                  transfer("exchange", kUsb + "y", "/home/u/x", "/usr/bin/mv", "300"),
                  transfer("clone", kUsb + "b", "/tmp/b", "/usr/bin/mv", "300"),
                  transfer("copyfile", kUsb + "c", "/tmp/c", "/usr/bin/mv", "300"),
                  transfer("content", kUsb + "Copied", "/tmp/copied", "/usr/bin/dd", "401")));
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

// One family: a shell 200 (parent 100) with children 201 and 202, 201's child 301 and its
// child 401.
const Actor kShell{.executable = "/usr/bin/dash", .pid = 200, .ppid = 100, .grandparent = 50};
const Actor kChild{.executable = "/usr/bin/cat", .pid = 201, .ppid = 200, .grandparent = 100};
const Actor kGrandchild{.pid = 301, .ppid = 201, .grandparent = 200, .greatGrandparent = 100};

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

// A reader's descendants three generations down find its opens (a local rsync writes in the
// reader's grandchild); further down, the reader's parent, and strangers do not.
TEST_F(TransferTest, TheFamilyReachesThreeGenerationsUpAndNoFurther) {
  openFile(kUsb + "a", 500, kChild);
  openFile(kUsb + "b", 500, Actor{.pid = 202, .ppid = 200});  // the reader's sibling
  struct Closer {
    Actor actor;
    std::vector<std::string> compared;
  };
  const Closer closers[] = {
      {kGrandchild, {kUsb + "a"}},
      {{.pid = 401, .ppid = 301, .grandparent = 201, .greatGrandparent = 200}, {kUsb + "a"}},
      {{.pid = 501, .ppid = 401, .grandparent = 301, .greatGrandparent = 201}, {kUsb + "a"}},
      {{.pid = 601, .ppid = 501, .grandparent = 401, .greatGrandparent = 301}, {}},
      {{.pid = 100, .ppid = 50}, {}},                      // the readers' grandparent
      {{.pid = 210, .ppid = 100, .grandparent = 50}, {}},  // the shell's sibling
      {{.pid = 302, .ppid = 202, .grandparent = 200},
       {kUsb + "b"}},                   // its parent's, not its uncle's
      {{.pid = 900, .ppid = 800}, {}},  // unrelated
  };
  for (const Closer& closer : closers) {
    SCOPED_TRACE(closer.actor.pid);
    const size_t before = comparator.calls().size();
    closeFile("/tmp/x", 500, true, closer.actor);
    clock.settle();
    std::vector<std::string> compared;
    for (size_t i = before; i < comparator.calls().size(); ++i) {
      compared.push_back(comparator.calls()[i].first);
    }
    EXPECT_EQ(compared, closer.compared);
  }
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
  clock.settle();
  EXPECT_EQ(comparator.calls().size(), 1u) << "at exactly 60 s the record is a candidate";

  clock.advance(1s);
  comparator.setEqual("/Volumes/USB/a", "/tmp/a2");
  closeFile("/tmp/a2", 100, true);
  clock.advance(PathTracker::kFinalNameWait);
  // The manual clock starts at 1767225600, when the file was closed.
  EXPECT_THAT(lines(), Contains("ZORVA_LOG: culling /volumes/usb/a, old_time: 1767225601, "
                                "lastClose: 1767225600"));
  EXPECT_EQ(audit.events().size(), 1u);
  EXPECT_EQ(tableCount(&OpenFileTable::processCount), 0u) << "an emptied table is removed";
  EXPECT_EQ(tableCount(&OpenFileTable::openerCount), 0u) << "and so is what pointed to it";
}

// The kernel merges events, and a close can come twice: the count stays at zero, so the record is
// culled on time instead of staying a candidate for ever.
TEST_F(TransferTest, AnExtraCloseLeavesNoRecordBehind) {
  openFile("/Volumes/USB/a", 100);
  closeFile("/Volumes/USB/a", 100, false);
  closeFile("/Volumes/USB/a", 100, false);
  clock.advance(63s);
  comparator.setEqual("/Volumes/USB/a", "/tmp/a");
  closeFile("/tmp/a", 100, true);
  expectOutcome({}, {});
  EXPECT_EQ(tableCount(&OpenFileTable::recordCount), 0u);
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

// What a backend hands over with an event: an open file whose closing is counted.
class CountedEventFile final : public EventFile {
 public:
  explicit CountedEventFile(std::atomic<int>& open) : open_(open) {}
  SharedOpenFile retain() const override {
    if (!file_) {
      ++open_;
      file_ = std::make_shared<const OpenFile>(1000 + open_, [&open = open_](int) { --open; });
    }
    return file_;
  }

 private:
  std::atomic<int>& open_;
  mutable SharedOpenFile file_;
};

// `mv` to another drive: the source is read, the copy written and closed, the source removed,
// all before the comparison can run. Both are compared as they were held; the drive's file is let
// go a second after its close, so the drive can be unmounted.
TEST_F(TransferTest, ACopyIsComparedThroughTheFilesAsHeldAndTheDrivesFileIsLetGo) {
  std::atomic<int>& open = openFiles;
  {
    CountedEventFile source(open);
    CountedEventFile copy(open);
    comparator.setEqual(kUsb + "moved", "/tmp/moved");
    sendWithFile(ES_EVENT_TYPE_NOTIFY_OPEN, kUsb + "moved", 700, false, source);
    sendWithFile(ES_EVENT_TYPE_NOTIFY_CLOSE, kUsb + "moved", 700, false, source);
    sendWithFile(ES_EVENT_TYPE_NOTIFY_CLOSE, "/tmp/moved", 700, true, copy);
  }
  send(makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, kUsb + "moved"));
  clock.settle();
  ASSERT_EQ(comparator.held(), (std::vector<std::pair<bool, bool>>{{true, true}}));
  EXPECT_EQ(open, 1) << "the copy is let go once compared; the source is still held";
  clock.advance(PathTracker::kHoldAfterClose);
  EXPECT_EQ(open, 0);
  EXPECT_EQ(tracker->heldFiles(), 0u);
  expectOutcome({{"/moved", "/tmp/moved", 7}}, {{kUsb + "moved", 7}});

  // A close that is not counted (the file was emptied) lets go all the same, and a file opened
  // again is held again from that open.
  sendWithFile(ES_EVENT_TYPE_NOTIFY_OPEN, kUsb + "emptied", 10, false, CountedEventFile(open));
  closeFile(kUsb + "emptied", 0, true);
  clock.advance(PathTracker::kHoldAfterClose / 2);
  sendWithFile(ES_EVENT_TYPE_NOTIFY_OPEN, kUsb + "emptied", 10, false, CountedEventFile(open));
  clock.advance(PathTracker::kHoldAfterClose);
  EXPECT_EQ(open, 1) << "the later open holds its own file until a close";
  closeFile(kUsb + "emptied", 0, true);
  clock.advance(PathTracker::kHoldAfterClose);
  EXPECT_EQ(open, 0);
}

TEST_F(TransferTest, HeldFilesAreCappedAndTheRestComparedByPath) {
  std::atomic<int>& open = openFiles;
  for (size_t i = 0; i < PathTracker::kMaxHeldFiles + 10; ++i) {
    sendWithFile(ES_EVENT_TYPE_NOTIFY_OPEN, kUsb + "f" + std::to_string(i), 300, false,
                 CountedEventFile(open));
  }
  clock.settle();
  EXPECT_EQ(open, static_cast<int>(PathTracker::kMaxHeldFiles));
  comparator.setEqual(kUsb + "f" + std::to_string(PathTracker::kMaxHeldFiles + 5), "/tmp/f");
  closeFile("/tmp/f", 300, true);
  expectOutcome({{"/f" + std::to_string(PathTracker::kMaxHeldFiles + 5), "/tmp/f", 7}}, {});
}

// A local rsync, an editor, a download: the copy is written under a temporary name and renamed
// into place by the family that wrote it. One audit event, with the name it ends with.
TEST_F(TransferTest, ACopyRenamedIntoPlaceIsReportedOnceUnderItsFinalName) {
  const Actor reader{.executable = "/usr/bin/rsync", .pid = 500, .ppid = 400};
  const Actor writer{.executable = "/usr/bin/rsync", .pid = 700, .ppid = 600, .grandparent = 500};
  comparator.setEqual(kUsb + "b", "/tmp/.b.Xy12");
  comparator.setEqual(kUsb + "c", "/tmp/.c.Q");
  comparator.setEqual(kUsb + "d", "/tmp/.d.Q");
  comparator.setEqual(kUsb + "e", "/tmp/.e.Q");
  for (const char* name : {"b", "c", "d", "e"}) openFile(kUsb + name, 800, reader);
  closeFile("/tmp/.b.Xy12", 800, true, writer);
  send(makeRenameToNew("/tmp/.b.Xy12", "/tmp", "b", writer));
  send(makeRenameToNew("/tmp/b", "/tmp/done", "b", writer));  // and on again
  closeFile("/tmp/.c.Q", 800, true, writer);
  send(makeRenameToNew("/tmp/.c.Q", "/tmp", "c", Actor{.pid = 900, .ppid = 800}));  // a stranger
  closeFile("/tmp/.d.Q", 800, true, writer);
  send(makeRenameToNew("/tmp/.d.Q", "/Volumes/USB", "d2", writer));  // back onto the drive
  closeFile("/tmp/.e.Q", 800, true, writer);
  clock.advance(PathTracker::kFinalNameWait);
  send(makeRenameToNew("/tmp/.e.Q", "/tmp", "e", writer));  // too late to wait for
  expectOutcome({{"/b", "/tmp/done/b", 7}, {"/c", "/tmp/.c.Q", 7}, {"/e", "/tmp/.e.Q", 7}},
                {{kUsb + "d2", 7}});
}

// A shell writes /tmp/x and has cp copy it onto the drive; when the service lags, the kernel
// merges the shell's open and modified close of /tmp/x and the close is seen after the copy. The
// file cp wrote on the drive equals /tmp/x, and is still no source of it.
TEST_F(TransferTest, AFileWrittenOntoTheDriveIsNotTheSourceOfWhatItWasCopiedFrom) {
  const Actor shell{.executable = "/usr/bin/bash", .pid = 200, .ppid = 100};
  const Actor cp{.pid = 201, .ppid = 200, .grandparent = 100};
  comparator.setEqual(kUsb + "x", "/tmp/x");
  openFile("/tmp/x", 300, cp);  // cp reads the shell's file
  openFile(kUsb + "x", 300, cp);
  closeFile("/tmp/x", 300, false, cp);
  closeFile(kUsb + "x", 300, true, cp);
  closeFile("/tmp/x", 300, true, shell);
  // Opened again, it may be read: then it is a source like any other.
  openFile(kUsb + "x", 300, cp);
  closeFile(kUsb + "x", 300, false, cp);
  closeFile("/tmp/x", 300, true, shell);
  // Or cp's close came in a later batch still: the file on the drive was open when compared.
  comparator.setEqual(kUsb + "y", "/tmp/y");
  openFile(kUsb + "y", 300, cp);
  closeFile("/tmp/y", 300, true, shell);
  closeFile(kUsb + "y", 300, true, cp);
  expectOutcome({{"/x", "/tmp/x", 7}}, {{kUsb + "x", 7}, {kUsb + "y", 7}});
  // Compared, and dropped only once its open turned out to be a write.
  EXPECT_THAT(comparator.calls(), Contains(Pair(kUsb + "y", "/tmp/y")));
}

TEST_F(TransferTest, UnwatchedOpensFromManyProcessesLeaveNoTables) {
  for (int pid = 1; pid <= 5000; ++pid) {
    openFile("/home/u/file-" + std::to_string(pid), 100, Actor{.pid = pid + 1, .ppid = pid});
  }
  EXPECT_EQ(tableCount(&OpenFileTable::processCount), 0u);
}

}  // namespace
}  // namespace zorva
