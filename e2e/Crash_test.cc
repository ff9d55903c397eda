// zorvad killed with SIGKILL at random moments of a busy run (copies all the time; the backend
// healthy, hanging or failing). After every kill the state opens, and in the end every event
// detected before a kill has reached the backend unharmed. "Detected" means the run logged the
// finding and the event was durable when the process died (in the store after the kill, or
// accepted already): the queue keeps a burst of findings in one transaction just after logging
// them, so findings of the last moment before a kill may be in neither place, and are counted.

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"
#include "tracking/WatchRegistry.h"

namespace zorva::e2e {
namespace {

using ::testing::ContainsRegex;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr int kKills = 12;
constexpr size_t kSources = 30;
// Some 5 s of copies at most: a copy found by its content is handed to the audit-event queue 2 s
// after its close, so most runs keep events and some are killed before they do.
constexpr int kMaxCopiesBeforeKill = 120;

std::set<std::string> dests(const std::vector<AuditEvent>& events) {
  std::set<std::string> out;
  for (const AuditEvent& event : events) out.insert(event.dest);
  return out;
}

TEST_F(ProductTest, KilledAtRandomMomentsOfABusyRunNoDetectedEventIsLostOrDamaged) {
  const char* given = std::getenv("ZORVA_E2E_SEED");
  const unsigned seed = given ? static_cast<unsigned>(std::stoul(given)) : std::random_device{}();
  std::cerr << "seed " << seed << " (ZORVA_E2E_SEED repeats this run)\n";
  std::mt19937 random(seed);
  // A paused backend takes uploads and never answers: the kill lands while they are in flight.
  const BackendMode modes[] = {{}, {.paused = true}, {.uploadStatus = 500}, {.uploadStatus = 503}};
  for (size_t i = 0; i < kSources; ++i)
    makeFile(rig->watched("source-" + std::to_string(i) + ".dat"));
  const std::string expectedRoots =
      WatchRegistry::watchRoot(rig->watched()) + WatchRegistry::watchRoot(rig->watched2());

  // The busy run: copies out of the watched folder one after another, at a steady pace rather
  // than as fast as possible, so that the events stay few enough to drain fast.
  auto copier = ChildProcess::spawn(
      {"sh", "-c",
       "i=0; while :; do cp \"$1/source-$((i % $3)).dat\" \"$2/copy-$i.dat\"; i=$((i + 1)); "
       "sleep 0.025; done",
       "sh", rig->watched(), rig->outside(), std::to_string(kSources)});
  auto copies = [&] {
    const std::filesystem::directory_iterator all(rig->outside());
    return static_cast<size_t>(std::distance(begin(all), end(all)));
  };
  std::set<std::string> mustArrive;
  size_t inTheWindow = 0, keptTotal = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1));
    if (kill > 0) {
      rig->backend().set(modes[random() % std::size(modes)]);
      rig->service().start();  // no wait for readiness: a kill may land during start-up
    }
    const size_t target = copies() + random() % (kMaxCopiesBeforeKill + 1);
    ASSERT_TRUE(waitFor([&] { return copies() >= target; }, kDeadline));
    ASSERT_TRUE(rig->service().running()) << "the service ended before it was killed";
    ASSERT_EQ(rig->service().kill(), 128 + SIGKILL);

    // The store holds only whole, readable records.
    std::set<std::string> stored;
    for (const std::string& record : storedAuditEvents(rig->stateDir())) {
      std::vector<std::string> problems;
      auto events = parseUpload("{\"event_list\":[" + record + "]}", problems);
      ASSERT_THAT(problems, IsEmpty()) << record;
      stored.insert(events.at(0).dest);
    }
    const std::set<std::string> accepted = dests(rig->backend().delivered());
    for (std::string line : rig->service().logLines("ZORVA_LOG: REMOTE: test: found: ")) {
      const std::string dest = line.substr(line.find(" => ") + 4);
      const bool kept = stored.contains(dest) || accepted.contains(dest);
      if (kept) mustArrive.insert(dest);
      ++(kept ? keptTotal : inTheWindow);
    }
    mustArrive.insert(stored.begin(), stored.end());

    // The settings survive every kill whole: the key and both volumes.
    auto settings = SqliteSettingsStore::open(rig->stateDir());
    EXPECT_EQ(settings->getString("zorva_device_key"), rig->deviceKey());
    std::string savedRoots;
    for (const auto& [root, entry] : settings->getDictionary(WatchRegistry::kSettingsKey)
                                         .value_or(SettingValue::Dictionary{})) {
      savedRoots += root;
    }
    EXPECT_EQ(savedRoots, expectedRoots);
  }

  // The last run: a healthy backend, and a copy now and then, each of which starts the next
  // upload at once instead of after the pause between batches.
  rig->backend().set({});
  rig->restart();
  auto missing = [&] {
    const std::set<std::string> delivered = dests(rig->backend().delivered());
    std::vector<std::string> out;
    std::set_difference(mustArrive.begin(), mustArrive.end(), delivered.begin(), delivered.end(),
                        std::back_inserter(out));
    return out;
  };
  waitFor([&] { return missing().empty(); }, 2 * kDeadline, 500ms);
  copier->signal(SIGTERM);
  std::string out, err;
  copier->readToEnd(out, err);
  EXPECT_EQ(err, "") << "every copy was made";
  EXPECT_THAT(missing(), IsEmpty()) << "detected before a kill, never delivered";

  // Unharmed: every body parsed, every record names the copy it stands for, and a record sent
  // again after a kill or a refusal is the same record.
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
  std::map<std::string, AuditEvent> byDest;  // each copy is one record, whenever it is sent
  size_t resent = 0;
  for (const AuditEvent& event : rig->backend().sent()) {
    size_t copy = 0;
    ASSERT_EQ(std::sscanf(event.dest.c_str(), (rig->outside() + "/copy-%zu.dat").c_str(), &copy), 1)
        << "not a copy that was made: " << event.dest;
    EXPECT_EQ(event.source, "/source-" + std::to_string(copy % kSources) + ".dat");
    EXPECT_EQ(event.volumeId, ProductRig::kVolume);
    auto [seen, first] = byDest.emplace(event.dest, event);
    if (!first) {
      EXPECT_EQ(seen->second, event) << "a record changed between sendings";
      ++resent;
    }
  }
  for (int run = 1; run <= rig->service().runs(); ++run) {
    EXPECT_THAT(rig->service().logOfRun(run), Not(ContainsRegex("unusable|unreadable"))) << run;
  }
  std::cerr << kKills << " kills, " << copies() << " copies made, " << keptTotal
            << " detected and kept before a kill, " << inTheWindow
            << " found in the moment before a kill and not yet kept, " << mustArrive.size()
            << " had to arrive, " << byDest.size() << " distinct events sent, " << resent
            << " sendings were resendings\n";
}

}  // namespace
}  // namespace zorva::e2e
