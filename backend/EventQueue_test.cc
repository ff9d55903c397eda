#include "backend/EventQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backend/testing/MemoryAuditEventStore.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/log/testing/MemoryLogWriter.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using json = nlohmann::json;

// A backend client whose uploads wait until the test answers them.
struct FakeDeviceRequests final : DeviceRequests {
  bool isReady() const override { return ready; }
  void setOnReady(std::function<void()> callback) override { onReady = std::move(callback); }
  void deviceRequest(std::string path, std::optional<json> body, int64_t retries,
                     RequestHandler handler) override {
    EXPECT_EQ(path + " " + std::to_string(retries), "/api/1/audit_event 5");
    std::lock_guard lock(_mutex);
    _pending.emplace_back(std::move((*body)["event_list"]), std::move(handler));
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

  std::atomic<bool> ready{false};
  std::function<void()> onReady;
  std::mutex _mutex;
  std::deque<std::pair<json, RequestHandler>> _pending;
};

struct EventQueueTest : ::testing::Test {
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

// A failed batch waits thirty seconds, stays stored, and goes behind the newer records.
TEST_F(EventQueueTest, UploadsOneBatchAtATimeFiftyAtMostFiveSecondsApartAndThirtyAfterAFailure) {
  api.ready = true;
  auto queue = start();
  queue->track("/Docs/a.txt", "/home/u/a.txt", -3);
  clock.settle();
  track(*queue, 120);
  ASSERT_THAT(api.inFlight(), ElementsAre(1u)) << "the rest wait for the upload in flight";
  const json failed = api.answer(500)[0];
  EXPECT_THAT(failed.dump(),
              ::testing::MatchesRegex(R"(\{"audit_event_id":"[0-9A-F]{8}(-[0-9A-F]{4}){3}-)"
                                      R"([0-9A-F]{12}","create_time":"2026-01-01T00:00:00Z",)"
                                      R"("dest":"/home/u/a.txt","source":"/Docs/a.txt",)"
                                      R"("volume_id":-3\})"));
  clock.advance(29999ms);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_EQ(store.all()->size(), 121u);
  clock.advance(1ms);
  json last;
  for (size_t expected : {50u, 50u, 21u}) {
    ASSERT_THAT(api.inFlight(), ElementsAre(expected));
    last = api.answer(200);
    clock.advance(4999ms);
    EXPECT_THAT(api.inFlight(), IsEmpty());
    clock.advance(1ms);
  }
  EXPECT_EQ(last.back(), failed) << "the same record, sent again, after the newer ones";
  clock.advance(1min);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_THAT(store.all().value(), IsEmpty()) << "removed once accepted";
}

// Another process holds the store at start-up, with records a previous run left unsent: they are
// not lost, and records tracked meanwhile wait in memory, go out, and are written once it opens.
TEST_F(EventQueueTest, AStoreThatCannotBeReadYetKeepsItsRecordsAndTakesNewOnesLater) {
  for (const char* old : {R"({"n":0})", R"({"n":1})"}) store.append(old);
  store.locked = true;
  auto queue = start();
  track(*queue, 2);
  queue->inspect([](size_t waiting, bool) { EXPECT_EQ(waiting, 2u); });
  EXPECT_THAT(log.texts(), Contains(::testing::HasSubstr("cannot be read now")));
  clock.advance(EventQueue::kStoreRetry * 3);  // still held: nothing is dropped meanwhile
  store.locked = false;
  clock.advance(EventQueue::kStoreRetry);
  ASSERT_EQ(store.all()->size(), 4u) << "the old records are kept and the new ones are written";
  api.ready = true;
  api.onReady();  // sent at once, with no new record to start the upload
  clock.settle();
  ASSERT_THAT(api.inFlight(), ElementsAre(4u));
  const json sent = api.answer(200);
  EXPECT_EQ(json({sent[0], sent[1]}).dump(), R"([{"n":0},{"n":1}])")
      << "the old go first, in order";
  clock.settle();
  EXPECT_THAT(store.all().value(), IsEmpty());
}

// One record the backend will not take among eleven, with new records coming meanwhile as on a
// machine in use: the others arrive, and the one is dropped after it alone was refused three
// times while others were taken. A backend refusing everything is an outage: nothing is dropped.
TEST_F(EventQueueTest, ARefusedRecordHoldsBackNoOtherAndIsDroppedOnlyWhileOthersAreTaken) {
  api.ready = true;
  auto queue = start();
  for (int i = 0; i < 11; ++i) queue->track("/f" + std::to_string(i), i == 6 ? "/bad" : "/ok", 7);
  clock.settle();
  auto isBad = [](const json& record) { return record["dest"] == "/bad"; };
  for (int round = 0; round < 100 && !store.all()->empty(); ++round) {
    clock.advance(EventQueue::kPauseAfterFailure);
    for (size_t i = 0, n = api.inFlight().size(); i < n; ++i) api.answer(200, isBad);
    clock.settle();
    if (round % 4 == 0 && round < 40) track(*queue, 1, "/later" + std::to_string(round));
  }
  // Out of the store only by being taken or dropped, and only the one is dropped.
  EXPECT_THAT(store.all().value(), IsEmpty());
  EXPECT_THAT(log.texts(), Contains(::testing::HasSubstr("EventQueue: dropping")).Times(1));
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
  EXPECT_NE(store.all()->front().json.find("/f5"), std::string::npos);
  EXPECT_EQ(store.all()->size(), 10u);
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: ERROR: EventQueue: more than 10 audit events "
                                    "waiting; dropped the oldest (5 so far)"));
}

}  // namespace
}  // namespace zorva
