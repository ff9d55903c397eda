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
using ::testing::Not;

// A backend client whose uploads wait until the test answers them.
class FakeDeviceRequests final : public DeviceRequests {
 public:
  bool isReady() const override { return _ready; }
  void setOnReady(std::function<void()> onReady) override { _onReady = std::move(onReady); }
  void deviceRequest(std::string path, std::optional<nlohmann::json> body, int64_t retryCount,
                     RequestHandler handler) override {
    std::lock_guard lock(_mutex);
    EXPECT_EQ(path, "/api/1/audit_event");
    EXPECT_EQ(retryCount, 5);
    _pending.push_back({std::move((*body)["event_list"]), std::move(handler)});
  }

  void becomeReady() {
    _ready = true;
    if (_onReady) _onReady();
  }
  // Sizes of the batches waiting for an answer.
  std::vector<size_t> inFlight() {
    std::lock_guard lock(_mutex);
    std::vector<size_t> sizes;
    for (const auto& [list, handler] : _pending) sizes.push_back(list.size());
    return sizes;
  }
  // Answers the oldest waiting upload with the status `decide` gives for its records; returns them.
  nlohmann::json answer(const std::function<long(const nlohmann::json&)>& decide) {
    std::pair<nlohmann::json, RequestHandler> request;
    {
      std::lock_guard lock(_mutex);
      request = std::move(_pending.front());
      _pending.erase(_pending.begin());
    }
    const long status = decide(request.first);
    std::optional<DeviceApiError> error;
    if (status != 200) error = DeviceApiError{"http", status, ""};
    request.second(error, std::nullopt);
    return request.first;
  }
  nlohmann::json answer(long status) {
    return answer([status](const nlohmann::json&) { return status; });
  }

 private:
  std::atomic<bool> _ready{false};
  std::function<void()> _onReady;
  std::mutex _mutex;
  std::vector<std::pair<nlohmann::json, RequestHandler>> _pending;
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
  // Answers every upload in flight, refusing with 422 each batch that holds a record to "/bad";
  // notes the sources accepted.
  void answerRefusingBad(std::set<std::string>& accepted) {
    for (size_t i = 0, n = api.inFlight().size(); i < n; ++i) {
      bool bad = false;
      nlohmann::json batch = api.answer([&](const nlohmann::json& list) {
        for (const auto& record : list) bad = bad || record["dest"] == "/bad";
        return bad ? 422L : 200L;
      });
      for (const auto& record : batch) {
        if (!bad) accepted.insert(record["source"].get<std::string>());
      }
    }
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
  nlohmann::json record = api.answer(200)[0];
  EXPECT_EQ(record.size(), 5u);
  EXPECT_EQ(record["source"], "/Docs/a.txt");
  EXPECT_EQ(record["dest"], "/home/u/a.txt");
  EXPECT_EQ(record["volume_id"], -3);
  EXPECT_EQ(record["create_time"], "2026-01-01T00:00:00Z");
  EXPECT_TRUE(std::regex_match(record["audit_event_id"].get<std::string>(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}")));
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
  track(*queue, 2, "/new");  // tracked while the first is in flight
  nlohmann::json failed = api.answer(500);
  clock.advance(29s);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_EQ(store.all()->size(), 3u);
  clock.advance(1s);
  nlohmann::json next = api.answer(200);
  ASSERT_EQ(next.size(), 3u);
  EXPECT_EQ(next[0]["source"], "/new0");
  EXPECT_EQ(next[2], failed[0]) << "the same record, sent again";
}

// The first run has no key; the next starts from the store and sends once a key is held, without
// waiting for a new record.
TEST_F(EventQueueTest, UnsentRecordsWaitForAKeyAndSurviveARestartInTheirOrder) {
  track(*start(), 60);
  auto queue = start();
  clock.advance(10min);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: EventQueue: restored 60 unsent audit events"));
  api.becomeReady();
  clock.settle();
  nlohmann::json sent = api.answer(200);
  ASSERT_EQ(sent.size(), 50u);
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i]["source"], "/f" + std::to_string(i));
}

// Another process holds the store at start-up: its records are not lost, and records tracked
// meanwhile wait in memory, go out, and are written once it opens.
TEST_F(EventQueueTest, AStoreThatCannotBeReadYetKeepsItsRecordsAndTakesNewOnesLater) {
  store.append(R"({"audit_event_id":"OLD","source":"/old","dest":"/tmp/old"})");
  store.setLocked(true);
  auto queue = start();
  track(*queue, 2);
  queue->inspect([](size_t waiting, bool) { EXPECT_EQ(waiting, 2u); });
  EXPECT_THAT(log.texts(), Contains(HasSubstr("cannot be read now")));
  clock.advance(EventQueue::kStoreRetry * 3);  // still held: nothing is dropped meanwhile
  store.setLocked(false);
  clock.advance(EventQueue::kStoreRetry);
  ASSERT_EQ(store.all()->size(), 3u) << "the old record is kept and the new ones are written";
  api.becomeReady();
  clock.settle();
  nlohmann::json sent = api.answer(200);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0]["audit_event_id"], "OLD") << "the older record goes first";
  clock.settle();
  EXPECT_THAT(store.all().value(), IsEmpty());
}

// One record the backend will not take among eleven: the ten others arrive, and the one is
// dropped after it alone was refused three times while others were taken.
TEST_F(EventQueueTest, ARecordTheBackendRefusesHoldsBackNoOther) {
  api.becomeReady();
  auto queue = start();
  for (int i = 0; i < 11; ++i) queue->track("/f" + std::to_string(i), i == 6 ? "/bad" : "/ok", 7);
  clock.settle();
  std::set<std::string> accepted;
  for (int round = 0; round < 100 && !store.all()->empty(); ++round) {
    clock.advance(EventQueue::kPauseAfterFailure);
    answerRefusingBad(accepted);
    // New records keep coming for a while, as they do on a machine in use.
    if (round % 4 == 0 && round < 40) track(*queue, 1, "/later" + std::to_string(round));
  }
  for (int i = 0; i < 11; ++i) EXPECT_EQ(accepted.contains("/f" + std::to_string(i)), i != 6) << i;
  EXPECT_THAT(store.all().value(), IsEmpty());
  EXPECT_THAT(log.texts(), Contains(::testing::MatchesRegex(
                               ".*EventQueue: dropping audit event .* to /bad: the backend "
                               "refused it 3 times while it took others")));
  EXPECT_THAT(log.texts(), Contains(::testing::MatchesRegex(
                               ".*EventQueue: the backend refused 11 audit events with status "
                               "422 \\(the first .*\\)")));
}

// A proxy answering 403 to everything, or a wrong URL: an outage, however long, drops nothing.
TEST_F(EventQueueTest, ABackendThatRefusesEverythingDropsNothing) {
  api.becomeReady();
  auto queue = start();
  track(*queue, 7);
  for (int round = 0; round < 60; ++round) {
    clock.advance(EventQueue::kPauseAfterFailure);
    for (size_t i = 0, n = api.inFlight().size(); i < n; ++i) api.answer(307);
  }
  EXPECT_EQ(store.all()->size(), 7u);
  EXPECT_THAT(log.texts(), Not(Contains(HasSubstr("dropping audit event"))));
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
