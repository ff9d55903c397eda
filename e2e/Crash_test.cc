// zorvad killed with SIGKILL at random moments of a busy run: copies going on all the time, the
// backend healthy, slow or failing with server errors. After every kill the state must open, and
// in the end every audit event detected before a kill must have reached the backend, unharmed.
//
// "Detected before a kill" means: the killed run logged the finding ("REMOTE: test: found:
// SOURCE => DEST", written after the event was handed to the audit-event queue) and the event was
// durable when the process died, i.e. it is in the audit-event store as read after the kill, or
// the backend had already accepted it. The queue writes a burst of tracked events in one
// transaction just after the finding is logged, so an event found in the last moments before a
// kill can be in neither place: it was never kept, and such events are counted and shown, not
// asserted. Everything that is in the store after a kill must arrive too.

#include <gmock/gmock.h>
#include <sys/wait.h>

#include <condition_variable>
#include <random>
#include <sstream>

#include "e2e/ProductTest.h"
#include "platform/settings/SqliteSettingsStore.h"
#include "tracking/WatchRegistry.h"

namespace zorva::e2e {
namespace {

using ::testing::IsEmpty;

constexpr int kKills = 24;
constexpr int kSources = 30;
constexpr int kMaxCopiesBeforeKill = 40;

// Copies files out of the watched folder one after another, until stopped: the busy run.
class Copier {
 public:
  Copier(ProductRig& rig, std::vector<std::string> sources)
      : rig_(rig), sources_(std::move(sources)), thread_([this] { loop(); }) {}
  ~Copier() { stop(); }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  size_t started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  // Destination -> the source's name below the watched folder.
  std::map<std::string, std::string> copies() const {
    std::lock_guard lock(mutex_);
    return copies_;
  }
  std::vector<std::string> failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }

 private:
  void loop() {
    for (size_t i = 0;; ++i) {
      const std::string name = "source-" + std::to_string(i % sources_.size()) + ".dat";
      const std::string dest = rig_.outside("copy-" + std::to_string(i) + ".dat");
      {
        std::lock_guard lock(mutex_);
        ++started_;
        copies_[dest] = "/" + name;
      }
      changed_.notify_all();
      const CommandResult result = runCommand({"cp", rig_.watched(name), dest});
      std::unique_lock lock(mutex_);
      if (result.status != 0) failures_.push_back(result.output);
      // A steady pace rather than as fast as possible: the events stay few enough to drain fast.
      if (changed_.wait_for(lock, 25ms, [this] { return stopping_; })) return;
    }
  }

  ProductRig& rig_;
  const std::vector<std::string> sources_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  size_t started_ = 0;
  std::map<std::string, std::string> copies_;
  std::vector<std::string> failures_;
  std::thread thread_;  // last: started once the rest is ready
};

// The destinations of this run's findings.
std::set<std::string> foundDests(const std::string& log) {
  std::set<std::string> dests;
  std::istringstream in(log);
  const std::string marker = "ZORVA_LOG: REMOTE: test: found: ";
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with(marker)) continue;
    const size_t arrow = line.find(" => ");
    if (arrow != std::string::npos) dests.insert(line.substr(arrow + 4));
  }
  return dests;
}

const std::vector<BackendBehaviour> kBehaviours = {
    BackendBehaviour::healthy(),      BackendBehaviour::slow(300ms),
    BackendBehaviour::answering(500), BackendBehaviour::slow(1500ms),
    BackendBehaviour::answering(503),
};

unsigned seed() {
  if (const char* given = std::getenv("ZORVA_E2E_SEED"))
    return static_cast<unsigned>(std::stoul(given));
  return std::random_device{}();
}

TEST_F(ProductTest, KilledAtRandomMomentsOfABusyRunNoDetectedEventIsLostOrDamaged) {
  const unsigned runSeed = seed();
  std::cerr << "seed " << runSeed << " (ZORVA_E2E_SEED repeats this run)\n";
  std::mt19937 random(runSeed);
  std::vector<std::string> sources;
  sources.reserve(kSources);
  for (int i = 0; i < kSources; ++i) {
    sources.push_back(makeFile(rig->watched("source-" + std::to_string(i) + ".dat")));
  }
  const std::string expectedRoots =
      WatchRegistry::watchRoot(rig->watched()) + WatchRegistry::watchRoot(rig->watched2());

  Copier copier(*rig, sources);
  std::set<std::string> mustArrive;
  size_t inTheWindow = 0;
  size_t detectedTotal = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1));
    if (kill > 0) {
      rig->backend().set(kBehaviours[random() % kBehaviours.size()]);
      rig->service().start();  // no wait for readiness: a kill may land during start-up
    }
    const size_t copiesBefore = copier.started();
    const size_t copies = random() % (kMaxCopiesBeforeKill + 1);
    ASSERT_TRUE(waitFor([&] { return copier.started() >= copiesBefore + copies; }, kDeadline));
    ASSERT_TRUE(rig->service().running()) << "the service ended before it was killed";
    const int status = rig->service().kill();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    // The store holds only whole, readable records.
    std::set<std::string> stored;
    for (const std::string& record : storedAuditEvents(rig->stateDir())) {
      std::vector<std::string> problems;
      auto events = parseUpload("{\"event_list\":[" + record + "]}", problems);
      ASSERT_THAT(problems, IsEmpty()) << record;
      ASSERT_EQ(events.size(), 1u);
      stored.insert(events[0].dest);
    }
    std::set<std::string> accepted;
    for (const AuditEvent& event : rig->backend().delivered()) accepted.insert(event.dest);
    for (const std::string& dest : foundDests(rig->service().log())) {
      if (stored.contains(dest) || accepted.contains(dest)) {
        mustArrive.insert(dest);
        ++detectedTotal;
      } else {
        ++inTheWindow;
      }
    }
    mustArrive.insert(stored.begin(), stored.end());

    // The settings survive every kill whole: the key and both volumes.
    auto settings = SqliteSettingsStore::open(rig->stateDir());
    EXPECT_EQ(settings->getString("zorva_device_key"), rig->deviceKey());
    auto roots = settings->getDictionary(WatchRegistry::kSettingsKey);
    ASSERT_TRUE(roots.has_value());
    std::string savedRoots;
    for (const auto& [root, entry] : *roots) savedRoots += root;
    EXPECT_EQ(savedRoots, expectedRoots);
  }

  // The last run: a healthy backend, and a copy now and then, each of which starts the next
  // upload at once instead of after the pause between batches.
  rig->backend().set(BackendBehaviour::healthy());
  rig->restart();
  auto missing = [&] {
    std::set<std::string> delivered;
    for (const AuditEvent& event : rig->backend().delivered()) delivered.insert(event.dest);
    std::vector<std::string> out;
    for (const std::string& dest : mustArrive) {
      if (!delivered.contains(dest)) out.push_back(dest);
    }
    return out;
  };
  const auto deadline = Steady::now() + 2 * kDeadline;
  while (!missing().empty() && Steady::now() < deadline) {
    waitFor([&] { return missing().empty(); }, 500ms);
  }
  copier.stop();
  EXPECT_THAT(missing(), IsEmpty()) << "detected before a kill, never delivered";
  EXPECT_THAT(copier.failures(), IsEmpty());

  // Unharmed: every body parsed, every record names the copy it stands for, and a record sent
  // again after a kill is the same record.
  EXPECT_THAT(rig->backend().problems(), IsEmpty());
  const auto copies = copier.copies();
  std::map<std::string, AuditEvent> byId;
  size_t resent = 0;
  for (const AuditEvent& event : rig->backend().delivered()) {
    auto copy = copies.find(event.dest);
    ASSERT_NE(copy, copies.end()) << "not a copy that was made: " << event.dest;
    EXPECT_EQ(event.source, copy->second);
    EXPECT_EQ(event.volumeId, ProductRig::kVolume);
    auto [seen, first] = byId.emplace(event.id, event);
    if (!first) {
      EXPECT_EQ(seen->second, event) << "a record changed between sendings";
      ++resent;
    }
  }
  for (int run = 1; run <= rig->service().runs(); ++run) {
    const std::string log = rig->service().logOfRun(run);
    EXPECT_EQ(log.find("unusable"), std::string::npos) << "run " << run << ":\n" << log;
    EXPECT_EQ(log.find("unreadable"), std::string::npos) << "run " << run << ":\n" << log;
  }
  std::cerr << kKills << " kills, " << copies.size() << " copies made, " << detectedTotal
            << " detected and kept before a kill, " << inTheWindow
            << " found in the moment before a kill and not yet kept, " << mustArrive.size()
            << " had to arrive, " << byId.size() << " distinct events delivered, " << resent
            << " deliveries were resendings\n";
}

}  // namespace
}  // namespace zorva::e2e
