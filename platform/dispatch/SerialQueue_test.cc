#include "platform/dispatch/SerialQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "platform/dispatch/RealClock.h"
#include "platform/dispatch/SharedInstance.h"
#include "platform/dispatch/testing/ManualClock.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// Work touches `ran` on the queues only; the test reads it once the clock has let them settle,
// so a race here is one between queued items, and a TSan failure.
class SerialQueueTest : public ::testing::Test {
 protected:
  ManualClock clock;
  std::vector<int> ran;
  SerialQueue queue{"q", clock};  // destroyed first: its remaining work may still append
};

TEST_F(SerialQueueTest, RunsWorkOneAtATimeInSubmissionOrderOnItsOwnThread) {
  std::atomic<bool> running{false}, overlapped{false}, offQueue{false};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      if (running.exchange(true)) overlapped = true;
      if (!queue.isCurrent()) offQueue = true;
      ran.push_back(i);
      running = false;
    });
  }
  // Sync from the queue itself runs inline rather than wait on itself.
  queue.sync([&] { queue.sync([&] { ran.push_back(1000); }); });
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(offQueue);
  ASSERT_EQ(ran.size(), 1001u);
  for (int i = 0; i <= 1000; ++i) ASSERT_EQ(ran[i], i);
  EXPECT_FALSE(queue.isCurrent());
}

TEST_F(SerialQueueTest, DestructionRunsWhatIsQueuedAndDropsTimersNotYetDue) {
  {
    SerialQueue doomed("doomed", clock);
    doomed.after(5s, [&] { ran.push_back(99); });
    for (int i = 0; i < 3; ++i) doomed.async([&, i] { ran.push_back(i); });
  }
  clock.advance(10s);  // the timer's queue is gone: nothing runs, nothing crashes
  EXPECT_THAT(ran, ElementsAre(0, 1, 2));
}

TEST_F(SerialQueueTest, DelayedWorkRunsInDueOrderWhenElapsedTimeReachesItNotTheWallClock) {
  queue.after(30s, [&] { ran.push_back(30); });
  queue.after(5s, [&] { ran.push_back(5); });
  queue.after(5s, [&] { ran.push_back(6); });  // same due time: submission order
  queue.async([&] { ran.push_back(0); });
  clock.setWallTime(ManualClock::kDefaultStart - 24h);  // moves no pending delay

  clock.settle();
  EXPECT_THAT(ran, ElementsAre(0));
  clock.advance(4999ms);
  EXPECT_THAT(ran, ElementsAre(0));
  clock.advance(1ms);
  EXPECT_THAT(ran, ElementsAre(0, 5, 6));
  clock.advance(25s);
  EXPECT_THAT(ran, ElementsAre(0, 5, 6, 30));
  EXPECT_EQ(clock.pendingTimers(), 0u);
  EXPECT_EQ(clock.now(), ManualClock::kDefaultStart - 24h + 30s);
}

TEST_F(SerialQueueTest, WorkSeesTheTimeItWasDueAndCanScheduleMoreWithinOneAdvance) {
  std::function<void()> retry = [&] {
    ran.push_back(static_cast<int>((clock.now() - ManualClock::kDefaultStart) / 1s));
    if (ran.size() < 3) queue.after(20s, retry);
  };
  queue.after(20s, retry);
  clock.advance(100s);  // a retry every 20 s: three runs, each at its own due time
  EXPECT_THAT(ran, ElementsAre(20, 40, 60));
  EXPECT_EQ(clock.now(), ManualClock::kDefaultStart + 100s);
}

TEST_F(SerialQueueTest, AdvanceWaitsForWorkCascadingAcrossQueues) {
  SerialQueue other("other", clock);
  queue.after(5s, [&] {
    ran.push_back(1);
    other.async([&] {
      ran.push_back(2);
      queue.async([&] { ran.push_back(3); });
    });
  });
  clock.advance(5s);
  EXPECT_THAT(ran, ElementsAre(1, 2, 3));
}

TEST(RealClock, RunsDelayedWorkOnTheTargetQueue) {
  RealClock clock;
  SerialQueue queue("q", clock);
  std::promise<bool> ranOnQueue;
  queue.after(1ms, [&] { ranOnQueue.set_value(queue.isCurrent()); });
  EXPECT_TRUE(ranOnQueue.get_future().get());
}

TEST(SharedInstance, ConcurrentFirstCallsCreateExactlyOne) {
  SharedInstance<int> shared;
  EXPECT_EQ(shared.ifCreated(), nullptr);
  std::atomic<int> made{0};
  std::vector<std::future<int*>> calls;
  calls.reserve(8);
  for (int i = 0; i < 8; ++i) {
    calls.push_back(std::async(std::launch::async, [&] {
      return &shared.get([&] { return new int(made.fetch_add(1)); });
    }));
  }
  int* first = calls[0].get();
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].get(), first);
  EXPECT_EQ(made.load(), 1);
  EXPECT_EQ(shared.ifCreated(), first);
  delete first;
}

}  // namespace
}  // namespace zorva
