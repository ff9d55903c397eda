// Scenarios driven as the event source drives the tracker, time on a manual clock.

#include "tracking/PathTracker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/files/testing/FakeContentComparator.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "platform/text/Utf8.h"
#include "tracking/testing/TrackerFakes.h"

namespace zorva {
namespace {

using namespace ::testing;
using Lines = std::vector<std::string>;

const std::string kCp = "/usr/bin/cp";
constexpr Lineage kCopier{101, 100};

// Asks, each time it is told roots were added, what the tracker answers then.
struct RecordingFolderFilter final : FolderFilter {
  void setWatchedFolders(WatchedFolders* watched) override { folders = watched; }
  void rootsAdded() override {
    answers.push_back({folders->holdsWatchedFiles("/MEDIA/New/sub"),
                       folders->holdsWatchedFiles("/media"), folders->mayHoldWatchedFiles("/media"),
                       folders->mayHoldWatchedFiles("/home/u")});
  }
  WatchedFolders* folders = nullptr;
  std::vector<std::vector<bool>> answers;
};

// What a backend hands over with an event: an open file whose closing is counted.
struct CountedEventFile final : EventFile {
  explicit CountedEventFile(std::atomic<int>& count) : open(count) {}
  SharedOpenFile retain() const override {
    ++open;
    return std::make_shared<const OpenFile>(1000, [&count = open](int) { --count; });
  }
  std::atomic<int>& open;
};

// "pid/ppid/grandparent/great-grandparent", as far as given.
Lineage lineage(const std::string& text) {
  Lineage who = kCopier;
  std::sscanf(text.c_str(), "%d/%d/%d/%d", &who.pid, &who.ppid, &who.grandparent,
              &who.greatGrandparent);
  return who;
}

class PathTrackerTest : public ::testing::Test {
 protected:
  PathTrackerTest() { restart(); }

  // A new tracker on the same settings, as after a restart of the service.
  void restart() {
    tracker.reset();
    tracker = std::make_unique<PathTracker>(
        PathTracker::Dependencies{settings, clock, sinks, sinks, comparator, &filter});
  }
  // Runs steps "OP ARGS" separated by ";". WHO is a lineage and EXEC the acting program, kCopier
  // and kCp when left out; an open or close with "+" hands over the open file.
  //   open|read|write[+] PATH SIZE [WHO [EXEC]]  (read and write: unmodified and modified closes)
  //   RENAME|EXCHANGEDATA|CLONE|COPYFILE FROM TO [WHO [EXEC]]
  //   unlink PATH; wait SECONDS; same PATH PATH (equal contents); root PATH VOLUME (notify off);
  //   held COUNT, handed COUNT (check the files the tracker holds open, the lines handed on)
  void run(const std::string& script) {
    std::istringstream steps(script);
    for (std::string step; std::getline(steps, step, ';');) {
      std::istringstream words(step);
      std::string op, a, b, who, exec = kCp;
      words >> op >> a >> b >> who >> exec;
      CountedEventFile file(openFiles);
      const EventFile* opened = op.ends_with('+') ? (op.pop_back(), &file) : nullptr;
      static const std::set<std::string> kSteps = {
          "open", "read",   "write", "RENAME", "EXCHANGEDATA", "CLONE", "COPYFILE",
          "same", "unlink", "wait",  "root",   "handed",       "held"};
      if (!kSteps.contains(op)) ADD_FAILURE() << "unknown step: " << step;
      struct stat status {};
      const bool exchange = op == "EXCHANGEDATA";
      if (op == "open" || op == "read" || op == "write") status.st_size = std::stoi(b);
      if (op == "open") tracker->open(a, status, lineage(who), exec, 0, opened);
      if (op == "read" || op == "write") {
        tracker->close(a, status, lineage(who), exec, op == "write", opened);
      }
      if (std::isupper(op[0])) {  // RENAME, EXCHANGEDATA, CLONE or COPYFILE
        tracker->source(a, decodeUtf8(b), exchange, exchange || op == "RENAME", exec, op,
                        lineage(who));
      }
      if (op == "same") comparator.setEqual(a, b);
      if (op == "unlink") tracker->modify(decodeUtf8(a), kCp, "UNLINK");
      if (op == "wait") clock.advance(std::chrono::seconds(std::stoi(a)));
      if (op == "root") tracker->addVolume(std::stoi(b), a, false);
      if (op == "handed" || op == "held") clock.settle();
      if (op == "handed") {
        EXPECT_EQ(sinks.lines().size(), std::stoul(a)) << step;
      }
      if (op == "held") {
        EXPECT_EQ(std::pair(openFiles.load(), tracker->heldFiles()),
                  std::pair(std::stoi(a), std::stoul(a)));
      }
    }
  }
  // The sources compared, with a "+" for each of the two files compared as held.
  std::string compared() {
    clock.settle();
    const auto calls = comparator.calls();
    const auto held = comparator.held();
    std::string sources;
    for (size_t i = 0; i < calls.size(); ++i) {
      sources += (i ? " " : "") + calls[i].first + (held[i].first ? "+" : "") +
                 (held[i].second ? "+" : "");
    }
    return sources;
  }
  Lines logged() {  // without the prefix every line has
    clock.settle();
    Lines texts = log.texts();
    for (std::string& text : texts) text.erase(0, std::string_view("ZORVA_LOG: ").size());
    return texts;
  }
  // Records, process tables and entries of the index from openers to tables.
  std::vector<size_t> tableSizes() {
    std::vector<size_t> sizes;
    tracker->inspect([&](auto&, const OpenFileTable& t) {
      sizes = {t.recordCount(), t.processCount(), t.openerCount()};
    });
    return sizes;
  }

  MemoryLogWriter log;
  RecordingFolderFilter filter;  // outlives the tracker
  ManualClock clock;
  std::atomic<int> openFiles{0};  // held by the tracker's records: outlives it
  MemorySettingsStore settings;
  RecordingSinks sinks;
  FakeContentComparator comparator;
  std::unique_ptr<PathTracker> tracker;
};

// "" and "/" would put every destination under a root and a relative path matches nothing: refused,
// and skipped when saved by an older build. Reloaded roots record transfers but notify no more.
TEST_F(PathTrackerTest, RootsAreSavedLowerCasedReloadedWithoutNotifyAndOnlyIfTheyCanBeRoots) {
  tracker->addVolume(6, "/U/", true);
  tracker->addVolume(7, "/U", true);
  for (const char* refused : {"", "/", "///", "relative/dir"}) tracker->addVolume(2, refused, true);
  tracker->addVolume(4, "/media/../etc", false);
  clock.settle();
  auto saved = *settings.getDictionary(WatchRegistry::kSettingsKey);
  EXPECT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved.at("/u/"),
            SettingValue(SettingValue::Dictionary{{"path", "/u/"}, {"volumeId", 7}}));
  saved.emplace("/", SettingValue::Dictionary{{"path", "/"}, {"volumeId", 2}});
  saved.emplace("/media/bad/", "not a dictionary");
  saved.emplace("/media/nopath/", SettingValue::Dictionary{{"volumeId", 3}});
  saved.emplace("/media/noid/", SettingValue::Dictionary{{"path", "/media/noid/"}});
  settings.set(WatchRegistry::kSettingsKey, saved);
  restart();
  EXPECT_THAT(logged(),
              IsSupersetOf({
                  "ERROR: PathTracker: addPath: refusing 2, : an empty path would watch every file",
                  "ERROR: PathTracker: addPath: refusing 2, relative/dir: not an absolute path",
                  "PathTracker.init: load: 7: /u/",
                  "ERROR: PathTracker.init: skipping saved root /: \"/\" would watch every file",
                  "ERROR: PathTracker.init: skipping unreadable saved root /media/bad/",
              }));
  run("RENAME /U/a /tmp/a; unlink /U/b; RENAME /media/../etc/passwd /tmp/p; unlink /media/../etc/p;"
      "RENAME /media/noid/x /tmp/x");
  clock.settle();
  EXPECT_EQ(sinks.lines(),
            (Lines{"/a => /tmp/a (7)", "/passwd => /tmp/p (4)", "/x => /tmp/x (0)"}));
}

// The settings are held by another process at start-up: a root registered meanwhile is watched at
// once, and the saved ones join it once readable. The kernel forgets its marks only once a new
// root is in force.
TEST_F(PathTrackerTest, SavedRootsThatCannotBeReadYetAreReadLaterAndKeptWithNewOnes) {
  const std::vector<bool> withNew = {true, false, true, false};
  tracker->addVolume(9, "", false);
  tracker->addVolume(7, "/media/new", false);
  clock.settle();
  settings.setLocked(true);
  restart();
  tracker->addVolume(8, "/media/usb", false);
  tracker->addVolume(9, "/media/new", false);  // newer than the saved record of the root
  EXPECT_THAT(logged(), Contains(HasSubstr("the saved roots cannot be read now")));
  clock.advance(PathTracker::kSettingsRetry * 2);
  settings.setLocked(false);
  clock.advance(PathTracker::kSettingsRetry);
  EXPECT_EQ(filter.answers,
            (std::vector<std::vector<bool>>{withNew, {0, 0, 1, 0}, withNew, withNew}));
  EXPECT_EQ(settings.getDictionary(WatchRegistry::kSettingsKey)->size(), 2u);
  run("RENAME /media/new/a /tmp/a; RENAME /media/usb/b /tmp/b");
  clock.settle();
  EXPECT_EQ(sinks.lines(), (Lines{"/a => /tmp/a (9)", "/b => /tmp/b (8)"}));
  tracker.reset();
  EXPECT_EQ(filter.folders, nullptr);
}

// No table for unwatched or empty files, nor for a close too many, no index entry once a sibling
// takes a record over, and no root record no longer referred to. The event source drops writes
// unread while no record may be a candidate: that turns true with the first open of a watched file,
// before the copy can be closed.
TEST_F(PathTrackerTest, TheTablesKeepOnlyFilesOpenOrRecentlyClosedAndWritesMatterWhileTheyDo) {
  tracker->addVolume(7, "/U", false);
  run("open /U/empty 0; open /home/u/a 1 2/1; open /home/u/b 1 3/2");
  EXPECT_EQ(tableSizes(), (std::vector<size_t>{0, 0, 0}));
  EXPECT_FALSE(tracker->writesMayMatter());
  run("open /U/a 100");
  EXPECT_TRUE(tracker->writesMayMatter()) << "before the open is handled on the queue";
  // A client registering one root over and over must not grow the service.
  std::weak_ptr<const WatchInfo> first;
  tracker->inspect([&](auto& roots, auto&) { first = roots.isWatching("/u/a"); });
  for (int i = 100; i < 200; ++i) tracker->addVolume(i, "/U", false);
  run("read /U/a 100; read /U/a 100; open /U/b 100; open /U/b 100; read /U/b 100; open /U/c 200;"
      "read /U/c 0; wait 3600; open /U/b 100 102/100; write /tmp/x 300");
  EXPECT_EQ(tableSizes(), (std::vector<size_t>{2, 1, 2}));
  EXPECT_THAT(logged(), Contains("culling /u/a, old_time: 1767229140, lastClose: 1767225600"));
  run("read /U/b 100 102/100; read /U/b 100 102/100; read /U/c 200; wait 61; write /tmp/x 300");
  EXPECT_EQ(tableSizes(), (std::vector<size_t>{0, 0, 0}));
  EXPECT_FALSE(tracker->writesMayMatter());
  tracker->addVolume(8, "/media/other", true);
  EXPECT_TRUE(tracker->writesMayMatter()) << "a root wants to hear of changes";
  run("RENAME /U/b /tmp/b");  // has the watch queue look the new record up
  clock.settle();
  EXPECT_TRUE(first.expired());
}

// With the source's letter case and the acting process; no other line names a volume, so a query
// by volume lists each once.
TEST_F(PathTrackerTest, EachTransferHasOneLineWithItsFieldsWhateverFoundIt) {
  run("root /U 7; root /media/other 8; same /U/Copied /tmp/copied; open /U/Copied 100 402/400;"
      "open /U/other 100 403/400; write /tmp/copied 100 401/400 /usr/bin/dd;"
      "RENAME /U/Docs/a.txt /home/u/a.txt 300/30 /usr/bin/mv;"
      "EXCHANGEDATA /home/u/x /U/y 300/30 /usr/bin/mv; CLONE /U/b /tmp/b 300/30 /usr/bin/mv;"
      "COPYFILE /U/c /media/other/c 300/30 /usr/bin/mv; COPYFILE /U/c /tmp/c 300/30 /usr/bin/mv;"
      "wait 2");
  Lines fields;  // destination, program, kind, process, source, volume: by name
  for (const auto& line : log.lines()) {
    std::string text;
    for (const auto& [name, value] : line.fields) text += value + " ";
    if (line.fields.contains("ZORVA_VOLUME_ID")) fields.push_back(text);
  }
  EXPECT_THAT(fields, UnorderedElementsAre("/tmp/copied /usr/bin/dd content 401 /U/Copied 7 ",
                                           "/home/u/a.txt /usr/bin/mv rename 300 /U/Docs/a.txt 7 ",
                                           "/home/u/x /usr/bin/mv exchange 300 /U/y 7 ",
                                           "/tmp/b /usr/bin/mv clone 300 /U/b 7 ",
                                           "/tmp/c /usr/bin/mv copyfile 300 /U/c 7 "));
  EXPECT_THAT(logged(), IsSupersetOf({
                            "PathTracker.open: tracking: /u/copied exec: /usr/bin/cp",
                            "REMOTE: test: count(2) => /tmp/copied, /usr/bin/dd",
                            "REMOTE: test: found: /U/Copied => /tmp/copied",
                            "REMOTE: track-reverse: EXCHANGEDATA: /u/y, /home/u/x, /usr/bin/mv",
                        }));
}

struct Scenario {
  const char* name;
  std::string script;
  std::string expected;  // what is handed on, joined by "; ", then " | " and the sources compared
};

// Opens of /U/0 to /U/256, each handed over: the last is past the cap and held no more.
std::string heldToTheCap() {
  static_assert(PathTracker::kMaxHeldFiles == 256);
  std::string opens;
  for (int i = 0; i <= 256; ++i) opens += "open+ /U/" + std::to_string(i) + " 300;";
  return opens + "held 256;";
}

// Roots: /U/ with notify, /media/other without. One family: a shell 200/100 with children 201 and
// 202, and 201's child 301.
const Scenario kScenarios[] = {
    // The source is cut below its root by separators, as a lower case may be longer.
    {"RootsAreFoundByComponentsTheLongestFirstWhateverTheirCase",
     "root /U/In 9; root /Média/Ünï 10; root /media/İSTANBUL 11; RENAME /U/in/a /tmp/a;"
     "RENAME /U/inx/b /tmp/b; RENAME /MÉDIA/ÜNÏ/c /tmp/c; RENAME /media/İSTANBUL/Rapor.pdf /tmp/r;"
     "RENAME /media/other /tmp/o; RENAME relative/a /tmp/d",
     "/a => /tmp/a (9); /inx/b => /tmp/b (7); changed /U/inx/b (7); /c => /tmp/c (10); /Rapor.pdf "
     "=> /tmp/r (11)"},
    {"ChangedFilesAreNamedWithTheirLetterCase",
     "write /U/a.txt 1; write /U/Docs/REPORT.PDF 1; write /U/ΣÄÖÜ/Straße.TXT 1;"
     "write /U/İSTANBUL/Rapor.pdf 1; write /U/\u212a 1; write /U/" +
         std::string(300, 'X') + " 1",
     "changed /U/a.txt (7); changed /U/Docs/REPORT.PDF (7); changed /U/ΣÄÖÜ/Straße.TXT (7); "
     "changed /U/İSTANBUL/Rapor.pdf (7); changed /U/\u212a (7); changed /U/" +
         std::string(300, 'X') + " (7)"},
    // A copy into a root, within one or between two has not left the watched volumes: not read.
    {"TransfersOutAreRecordedOnceButNoneIntoWithinOrBetweenRoots",
     "RENAME /U/Docs/a.txt /Users/u/a.txt; EXCHANGEDATA /Users/u/x /U/y; COPYFILE /U/a /tmp/a;"
     "CLONE /U/b /b; RENAME /Users/u/c /U/c; COPYFILE /U/a /media/other/a;"
     "CLONE /media/other/a /U/d; COPYFILE /U/a /U/e; same /U/a /U/f; same /U/a /media/other/g;"
     "open /U/a 100; write /U/f 100; write /media/other/g 100",
     "/Docs/a.txt => /Users/u/a.txt (7); changed /U/Docs/a.txt (7); /y => /Users/u/x (7); changed "
     "/U/y (7); /a => /tmp/a (7); /b => /b (7); changed /U/c (7); changed /U/d (7); changed /U/e "
     "(7); changed /U/f (7)"},
    {"SinglePathChangesAndPathsThatDoNotDecodeNeverRecord",
     "unlink /U/gone; unlink /tmp/elsewhere; unlink /media/other/quiet; RENAME /U/\xff /tmp/a;"
     "RENAME /U/a /tmp/\xff; unlink /U/\xff",
     "changed /U/gone (7); changed /U/a (7)"},
    // A local rsync writes in the reader's grandchild; a nephew finds his parent's opens, not his
    // uncle's, and no one a file of another size.
    {"TheFamilyReachesThreeGenerationsUpAndNoFurther",
     "open /U/a 500 201/200/100; open /U/b 500 202/200; open /U/c 499 201/200/100;"
     "write /tmp/x 500 301/201/200/100;"
     "write /tmp/x 500 401/301/201/200; write /tmp/x 500 501/401/301/201;"
     "write /tmp/x 500 601/501/401/301; write /tmp/x 500 100/50; write /tmp/x 500 210/100/50;"
     "write /tmp/x 500 302/202/200; write /tmp/x 500 900/800; open /U/s 500 300/300;"
     "write /tmp/x 500 311/300/300",  // whose parent opened as its own parent: searched once
     " | /U/a /U/a /U/a /U/b /U/s"},
    {"TheSameParentsCandidatesComeFirstThenTheClosedFilesNameAndComparingStopsAtAMatch",
     "open /U/x1 500 203/100; open /U/x2 500 201/200; open /U/report 500 201/200;"
     "open /U/x3 500 201/200; same /U/report /tmp/report; same /U/x3 /tmp/report;"
     "write /tmp/report 500 200/100",
     "/report => /tmp/report (7) | /U/x1 /U/report"},
    {"ACandidateWithTheClosedFilesNameComesFirstInItsGroup",
     "open /U/x1 500; open /U/x2 500; open /U/report 500; open /U/x3 500;"
     "same /U/report /tmp/report; write /tmp/report 500",
     "/report => /tmp/report (7) | /U/report"},
    {"RecordsStayCandidatesForSixtySecondsAfterTheirClose",
     "open /U/a 100; read /U/a 100; wait 60; same /U/a /tmp/a1; write /tmp/a1 100; handed 0;"
     "wait 1; same /U/a /tmp/a2; write /tmp/a2 100",
     "/a => /tmp/a1 (7) | /U/a"},
    // Registered again, the root's new record is in force for new files, not for those open.
    {"AModifiedCloseOfATrackedFileNotifiesUnderItsOwnRecordWithoutAScan",
     "open /U/a 100; root /U 70; write /U/A 100; RENAME /U/b /tmp/b",
     "changed /U/A (7); /b => /tmp/b (70)"},
    // A local rsync, an editor, a download: written under a temporary name, renamed into place.
    {"ACopyRenamedIntoPlaceIsReportedOnceUnderItsFinalName",
     "open /U/b 801 500/400; open /U/c 802 500/400; open /U/d 803 500/400; open /U/e 804 500/400;"
     "same /U/b /tmp/.b; same /U/c /tmp/.c; same /U/d /tmp/.d; same /U/e /tmp/.e;"
     "write /tmp/.b 801 700/600/500; RENAME /tmp/.b /tmp/b 700/600/500;"
     "RENAME /tmp/b /tmp/done/b 701/600; write /tmp/.c 802 700/600/500;"
     "RENAME /tmp/.c /tmp/c 900/800; write /tmp/.d 803 700/600/500;"
     "RENAME /tmp/.d /U/d2 700/600/500; write /tmp/.e 804 700/600/500; wait 2;"
     "RENAME /tmp/.e /tmp/e 700/600",
     "changed /U/d2 (7); /b => /tmp/done/b (7); /c => /tmp/.c (7); /e => /tmp/.e (7) | /U/b /U/c "
     "/U/d /U/e"},
    {"HeldFilesAreCappedAndTheRestComparedByPath",
     heldToTheCap() + "same /U/256 /tmp/256; write /tmp/256 300", "/256 => /tmp/256 (7) | /U/256"},
    // A shell writes /tmp/x and has cp copy it onto the drive; when the service lags, the kernel
    // merges the shell's open and modified close of /tmp/x and the close is seen after the copy.
    // The file cp wrote equals /tmp/x, and is still no source of it, unless opened since; or cp's
    // close came in a later batch still, and the file it wrote was open when compared, last.
    {"AFileWrittenOntoTheDriveIsNotTheSourceOfWhatItWasCopiedFrom",
     "same /U/x /tmp/x; open /tmp/x 300 201/200; open /U/x 300 201/200; read /tmp/x 300 201/200;"
     "write /U/x 300 201/200; write /tmp/x 300 200/100; open /U/x 300 201/200;"
     "write /tmp/x 300 200/100; read /U/x 300 201/200; same /U/y /tmp/y; open /U/y 300 201/200;"
     "write /tmp/y 300 200/100; write /U/y 300 201/200",
     "changed /U/x (7); changed /U/y (7); /x => /tmp/x (7) | /U/x /U/x /U/y"},
    // `mv` to another drive removes the source before the comparison can run. The drive's file is
    // let go a second after its close, so the drive can be unmounted, even when that close is not
    // counted; a file opened again is held from that open.
    {"ACopyIsComparedThroughTheFilesAsHeldAndTheDrivesFileIsLetGo",
     "same /U/moved /tmp/moved; open+ /U/moved 700; read+ /U/moved 700; write+ /tmp/moved 700;"
     "unlink /U/moved; held 1; wait 1; held 0; open+ /U/emptied 10; write /U/emptied 0;"
     "open+ /U/emptied 10; wait 1; held 1; write /U/emptied 0; wait 1; held 0",
     "changed /U/moved (7); /moved => /tmp/moved (7) | /U/moved++"},
};

class ScenarioTest : public PathTrackerTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(ScenarioTest, HandsOnWhatTheEventsShow) {
  tracker->addVolume(7, "/U", true);
  tracker->addVolume(8, "/media/other", false);
  run(GetParam().script);
  clock.advance(PathTracker::kFinalNameWait);
  std::string handed;
  for (const std::string& line : sinks.lines()) handed += (handed.empty() ? "" : "; ") + line;
  const std::string sources = compared();
  EXPECT_EQ(handed + (sources.empty() ? "" : " | " + sources), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Transfers, ScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorva
