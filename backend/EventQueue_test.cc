#include "backend/EventQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "backend/testing/MemoryAuditEventStore.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using json = nlohmann::json;

// A backend client whose uploads wait until the test answers them.
class FakeDeviceRequests final : public DeviceRequests {
 public:
  bool isReady() const override { return _ready; }
  void setOnReady(std::function<void()> onReady) override { _onReady = std::move(onReady); }
  void deviceRequest(std::string path, std::optional<json> body, int64_t retryCount,
                     RequestHandler handler) override {
    EXPECT_EQ(path + " " + std::to_string(retryCount), "/api/1/audit_event 5");
    std::lock_guard lock(_mutex);
    _pending.emplace_back(std::move((*body)["event_list"]), std::move(handler));
  }
  void becomeReady() {
    _ready = true;
    if (_onReady) _onReady();
  }
  std::vector<size_t> inFlight() {
    std::lock_guard lock(_mutex);
    std::vector<size_t> sizes;
    for (const auto& pending : _pending) sizes.push_back(pending.first.size());
    return sizes;
  }
  // Answers the oldest upload, with 422 when `refuse` picks one of its records; returns them.
  json answer(long status, const std::function<bool(const json&)>& refuse = nullptr) {
    std::unique_lock lock(_mutex);
    auto [list, handler] = std::move(_pending.front());
    _pending.pop_front();
    lock.unlock();
    if (refuse && std::ranges::any_of(list, refuse)) status = 422;
    handler(status == 200 ? std::nullopt : std::optional(DeviceApiError{"http", status, ""}), {});
    return list;
  }

 private:
  std::atomic<bool> _ready{false};
  std::function<void()> _onReady;
  std::mutex _mutex;
  std::deque<std::pair<json, RequestHandler>> _pending;
};

class EventQueueTest : public ::testing::Test {
 protected:
  std::unique_ptr<EventQueue> start(size_t cap = EventQueue::kDefaultCap) {
    auto queue = std::make_unique<EventQueue>(
        EventQueue::Dependencies{.api = api, .store = store, .clock = clock, .cap = cap});
    clock.settle();
    return queue;
  }
  void track(EventQueue& queue, int count, const std::string& prefix = "/f") {
    for (int i = 0; i < count; ++i) queue.track(prefix + std::to_string(i), "/tmp/x", 7);
    clock.settle();
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemoryAuditEventStore store;
  FakeDeviceRequests api;
};

TEST_F(EventQueueTest, TheFirstRecordGoesAloneAtOnceThenBatchesOfFiftyFiveSecondsApart) {
  api.becomeReady();
  auto queue = start();
  queue->track("/Docs/a.txt", "/home/u/a.txt", -3);
  clock.settle();
  track(*queue, 120);
  ASSERT_THAT(api.inFlight(), ElementsAre(1u)) << "the rest wait for the upload in flight";
  json record = api.answer(200)[0];
  EXPECT_TRUE(std::regex_match(record["audit_event_id"].get<std::string>(),
                               std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
  record.erase("audit_event_id");
  EXPECT_EQ(record, json({{"source", "/Docs/a.txt"},
                          {"dest", "/home/u/a.txt"},
                          {"volume_id", -3},
                          {"create_time", "2026-01-01T00:00:00Z"}}));
  clock.settle();
  for (size_t expected : {50u, 50u, 20u}) {
    clock.advance(4999ms);
    EXPECT_THAT(api.inFlight(), IsEmpty());
    clock.advance(1ms);
    ASSERT_THAT(api.inFlight(), ElementsAre(expected));
    api.answer(200);
    clock.settle();
  }
  clock.advance(1min);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_THAT(store.all().value(), IsEmpty()) << "removed once accepted";
}

TEST_F(EventQueueTest, AFailedBatchStaysStoredGoesBehindNewerRecordsAndWaitsThirtySeconds) {
  api.becomeReady();
  auto queue = start();
  track(*queue, 1, "/old");
  track(*queue, 2, "/new");  // while the first is in flight
  json failed = api.answer(500);
  clock.advance(29s);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_EQ(store.all()->size(), 3u);
  clock.advance(1s);
  json next = api.answer(200);
  ASSERT_EQ(next.size(), 3u);
  EXPECT_EQ(next[0]["source"], "/new0");
  EXPECT_EQ(next[2], failed[0]) << "the same record, sent again";
}

// Another process holds the store at start-up, with records a previous run left unsent: they are
// not lost, and records tracked meanwhile wait in memory, go out, and are written once it opens.
TEST_F(EventQueueTest, AStoreThatCannotBeReadYetKeepsItsRecordsAndTakesNewOnesLater) {
  for (const char* id : {"OLD0", "OLD1"}) store.append(json({{"audit_event_id", id}}).dump());
  store.setLocked(true);
  auto queue = start();
  track(*queue, 2);
  queue->inspect([](size_t waiting, bool) { EXPECT_EQ(waiting, 2u); });
  EXPECT_THAT(log.texts(), Contains(HasSubstr("cannot be read now")));
  clock.advance(EventQueue::kStoreRetry * 3);  // still held: nothing is dropped meanwhile
  store.setLocked(false);
  clock.advance(EventQueue::kStoreRetry);
  ASSERT_EQ(store.all()->size(), 4u) << "the old records are kept and the new ones are written";
  api.becomeReady();  // sent at once, with no new record to start the upload
  clock.settle();
  ASSERT_THAT(api.inFlight(), ElementsAre(4u));
  json sent = api.answer(200);
  EXPECT_EQ(sent[0]["audit_event_id"], "OLD0") << "the older records go first, in their order";
  EXPECT_EQ(sent[1]["audit_event_id"], "OLD1");
  clock.settle();
  EXPECT_THAT(store.all().value(), IsEmpty());
}

// One record the backend will not take among eleven, with new records coming meanwhile as on a
// machine in use: the others arrive, and the one is dropped after it alone was refused three
// times while others were taken. A backend refusing everything is an outage: nothing is dropped.
TEST_F(EventQueueTest, ARefusedRecordHoldsBackNoOtherAndIsDroppedOnlyWhileOthersAreTaken) {
  api.becomeReady();
  auto queue = start();
  for (int i = 0; i < 11; ++i) queue->track("/f" + std::to_string(i), i == 6 ? "/bad" : "/ok", 7);
  clock.settle();
  std::set<std::string> accepted;
  auto isBad = [](const json& record) { return record["dest"] == "/bad"; };
  for (int round = 0; round < 100 && !store.all()->empty(); ++round) {
    clock.advance(EventQueue::kPauseAfterFailure);
    for (size_t i = 0, n = api.inFlight().size(); i < n; ++i) {
      const json batch = api.answer(200, isBad);
      if (std::ranges::none_of(batch, isBad)) {
        for (const json& record : batch) accepted.insert(record["source"].get<std::string>());
      }
    }
    clock.settle();
    if (round % 4 == 0 && round < 40) track(*queue, 1, "/later" + std::to_string(round));
  }
  for (int i = 0; i < 11; ++i) EXPECT_EQ(accepted.contains("/f" + std::to_string(i)), i != 6) << i;
  EXPECT_THAT(store.all().value(), IsEmpty());
  EXPECT_THAT(log.texts(), Contains(::testing::MatchesRegex(
                               ".*EventQueue: dropping audit event .* to /bad: the backend "
                               "refused it 3 times while it took others")));

  track(*queue, 7);
  for (int round = 0; round < 60; ++round) {
    clock.advance(EventQueue::kPauseAfterFailure);
    for (size_t i = 0, n = api.inFlight().size(); i < n; ++i) api.answer(307);
  }
  EXPECT_EQ(store.all()->size(), 7u);
}

TEST_F(EventQueueTest, PastTheCapTheOldestAreDroppedAndCounted) {
  auto queue = start(/*cap=*/10);
  track(*queue, 15);
  EXPECT_EQ(store.all()->size(), 10u);
  EXPECT_NE(store.all()->front().json.find("/f5"), std::string::npos);
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: ERROR: EventQueue: more than 10 audit events "
                                    "waiting; dropped the oldest (5 so far)"));
}

}  // namespace
}  // namespace zorva
