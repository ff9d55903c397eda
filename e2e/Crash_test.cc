// zorvad killed with SIGKILL at random moments of a busy run, the backend healthy, hanging or
// failing: the state opens after every kill, and every event detected before one reaches the
// backend unharmed. Detected: logged as found and durable at the kill (stored, or accepted); the
// queue stores a burst of findings just after logging them, so the last ones may be in neither.

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"
#include "tracking/WatchRegistry.h"

namespace zorva::e2e {
namespace {

using ::testing::ContainsRegex;

constexpr int kKills = 12;
constexpr size_t kSources = 30;
// Some 5 s of copies at most: a copy found by its content is handed to the audit-event queue 2 s
// after its close, so most runs keep events and some are killed before they do.
constexpr int kMaxCopiesBeforeKill = 120;
// What the service says of a store it sets aside or a record or root it cannot read.
constexpr const char* kDamage = "unusable|unreadable";

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

  // Copies out of the watched folder at a steady pace rather than as fast as possible, so that the
  // events stay few enough to drain fast.
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
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1));
    if (kill > 0) {
      rig->backend().set(modes[random() % std::size(modes)]);
      rig->launch();  // no wait for readiness: a kill may land during start-up
    }
    const size_t target = copies() + random() % (kMaxCopiesBeforeKill + 1);
    ASSERT_TRUE(waitFor([&] { return copies() >= target; }, kDeadline));
    ASSERT_TRUE(rig->running()) << "the service ended before it was killed";
    ASSERT_EQ(rig->kill(), 128 + SIGKILL);
    EXPECT_THAT(rig->log(), Not(ContainsRegex(kDamage)));

    // The store holds only whole, readable records.
    std::set<std::string> stored;
    for (const std::string& record : storedAuditEvents(rig->stateDir())) {
      std::vector<std::string> problems;
      auto events = parseUpload("{\"event_list\":[" + record + "]}", problems);
      ASSERT_THAT(problems, IsEmpty()) << record;
      stored.insert(events.at(0).dest);
    }
    const std::vector<AuditEvent> accepted = rig->backend().delivered();
    for (std::string line : rig->logLines("ZORVA_LOG: REMOTE: test: found: ")) {
      const std::string dest = line.substr(line.find(" => ") + 4);
      if (stored.contains(dest) || std::ranges::count(accepted, dest, &AuditEvent::dest))
        mustArrive.insert(dest);
    }
    mustArrive.insert(stored.begin(), stored.end());

    // The settings survive every kill whole: the key and both volumes.
    auto settings = SqliteSettingsStore::open(rig->stateDir());
    std::string saved = settings->getString("zorva_device_key").value_or("(none)") + " ";
    const auto roots = settings->getDictionary(WatchRegistry::kSettingsKey);
    for (const auto& [root, entry] : roots.value_or(SettingValue::Dictionary{})) saved += root;
    EXPECT_EQ(saved, rig->deviceKey() + " " + expectedRoots);
  }

  // The last run: a healthy backend, and a copy now and then, each of which starts the next
  // upload at once instead of after the pause between batches.
  rig->backend().set({});
  rig->restart();
  auto missing = [&] {
    std::set<std::string> left = mustArrive;
    for (const AuditEvent& event : rig->backend().delivered()) left.erase(event.dest);
    return left;
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
  EXPECT_THAT(rig->log(), Not(ContainsRegex(kDamage)));
  std::map<std::string, AuditEvent> byDest;  // each copy is one record, whenever it is sent
  for (const AuditEvent& event : rig->backend().sent()) {
    size_t copy = 0;
    ASSERT_EQ(std::sscanf(event.dest.c_str(), (rig->outside() + "/copy-%zu.dat").c_str(), &copy), 1)
        << "not a copy that was made: " << event.dest;
    EXPECT_EQ(event.source, "/source-" + std::to_string(copy % kSources) + ".dat");
    EXPECT_EQ(event.volumeId, ProductRig::kVolume);
    EXPECT_EQ(byDest.emplace(event.dest, event).first->second, event)
        << "a record changed between sendings";
  }
}

}  // namespace
}  // namespace zorva::e2e
