#include "backend/EventQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "platform/dispatch/ManualClock.h"
#include "platform/log/MemoryLogWriter.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A backend client whose uploads the test finishes: each request waits until the test answers.
class FakeDeviceRequests final : public DeviceRequests {
 public:
  bool isReady() const override { return ready_; }
  void setOnReady(std::function<void()> onReady) override { onReady_ = std::move(onReady); }
  void deviceRequest(std::string path, std::optional<nlohmann::json> body, int64_t retryCount,
                     RequestHandler handler) override {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(path, "/api/1/audit_event");
    EXPECT_EQ(retryCount, 5);
    pending_.push_back({std::move(*body), std::move(handler)});
  }

  void becomeReady() {
    ready_ = true;
    if (onReady_) onReady_();
  }
  // Sizes of the batches waiting for an answer.
  std::vector<size_t> inFlight() {
    std::lock_guard lock(mutex_);
    std::vector<size_t> sizes;
    for (const auto& request : pending_) sizes.push_back(request.body["event_list"].size());
    return sizes;
  }
  nlohmann::json answer(bool accept) {
    Pending request;
    {
      std::lock_guard lock(mutex_);
      request = std::move(pending_.front());
      pending_.erase(pending_.begin());
    }
    request.handler(accept ? std::nullopt : std::optional(DeviceApiError{"http", 500, ""}),
                    std::nullopt);
    return request.body["event_list"];
  }

 private:
  struct Pending {
    nlohmann::json body;
    RequestHandler handler;
  };
  std::atomic<bool> ready_{false};
  std::function<void()> onReady_;
  std::mutex mutex_;
  std::vector<Pending> pending_;
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

TEST_F(EventQueueTest, RecordsCarryTheirFieldsAndTheFirstGoesOutAloneAtOnce) {
  api.becomeReady();
  auto queue = start();
  queue->track("/Docs/a.txt", "/home/u/a.txt", -3);
  clock.settle();
  ASSERT_THAT(api.inFlight(), ElementsAre(1u));
  nlohmann::json record = api.answer(true)[0];
  EXPECT_EQ(record.size(), 5u);
  EXPECT_EQ(record["source"], "/Docs/a.txt");
  EXPECT_EQ(record["dest"], "/home/u/a.txt");
  EXPECT_EQ(record["volume_id"], -3);
  EXPECT_EQ(record["create_time"], "2026-01-01T00:00:00Z");
  EXPECT_TRUE(std::regex_match(record["audit_event_id"].get<std::string>(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                          "[0-9A-F]{12}")));
  clock.settle();
  EXPECT_THAT(store.all(), IsEmpty()) << "removed once accepted";
}

TEST_F(EventQueueTest, BatchesOfFiftyOneInFlightFiveSecondsApart) {
  api.becomeReady();
  auto queue = start();
  queue->track("/first", "/tmp/x", 7);
  clock.settle();
  track(*queue, 120);
  EXPECT_THAT(api.inFlight(), ElementsAre(1u)) << "the rest wait for the upload in flight";
  api.answer(true);
  clock.settle();
  EXPECT_THAT(api.inFlight(), IsEmpty());
  for (size_t expected : {50u, 50u, 20u}) {
    clock.advance(4999ms);
    EXPECT_THAT(api.inFlight(), IsEmpty());
    clock.advance(1ms);
    ASSERT_THAT(api.inFlight(), ElementsAre(expected));
    api.answer(true);
    clock.settle();
  }
  clock.advance(1min);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  EXPECT_THAT(store.all(), IsEmpty());
}

TEST_F(EventQueueTest, AFailedBatchGoesBehindNewerRecordsAndTheNextWaitsThirtySeconds) {
  api.becomeReady();
  auto queue = start();
  track(*queue, 1, "/old");
  track(*queue, 2, "/new");  // tracked while the first is in flight
  nlohmann::json failed = api.answer(false);
  clock.advance(29s);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  clock.advance(1s);
  nlohmann::json next = api.answer(true);
  ASSERT_EQ(next.size(), 3u);
  EXPECT_EQ(next[0]["source"], "/new0");
  EXPECT_EQ(next[2], failed[0]) << "the same record, sent again";
}

TEST_F(EventQueueTest, NothingGoesOutWithoutAKeyAndEverythingGoesOnceOneIsHeld) {
  auto queue = start();
  track(*queue, 60);
  clock.advance(10min);
  EXPECT_THAT(api.inFlight(), IsEmpty());
  api.becomeReady();  // no further record needed
  clock.settle();
  EXPECT_THAT(api.inFlight(), ElementsAre(50u));
}

TEST_F(EventQueueTest, UnsentRecordsSurviveARestartInTheirOrder) {
  api.becomeReady();
  {
    auto queue = start();
    track(*queue, 3);
    // The first upload is in flight when the service stops: it was never accepted.
  }
  auto unsent = store.all();
  ASSERT_EQ(unsent.size(), 3u);
  FakeDeviceRequests restarted;
  restarted.becomeReady();
  EventQueue queue({.api = restarted, .store = store, .clock = clock});
  clock.settle();
  ASSERT_THAT(restarted.inFlight(), ElementsAre(3u)) << "sent at start, without a new record";
  nlohmann::json sent = restarted.answer(true);
  EXPECT_EQ(sent[0]["source"], "/f0");
  EXPECT_EQ(sent[2]["source"], "/f2");
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: EventQueue: restored 3 unsent audit events"));
}

TEST_F(EventQueueTest, PastTheCapTheOldestAreDroppedAndCounted) {
  auto queue = start(/*cap=*/10);
  track(*queue, 15);
  EXPECT_EQ(store.all().size(), 10u);
  EXPECT_EQ(store.all().front().json.find("/f5") != std::string::npos, true);
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: ERROR: EventQueue: more than 10 audit events "
                                    "waiting; dropped the oldest (5 so far)"));
}

}  // namespace
}  // namespace zorva
