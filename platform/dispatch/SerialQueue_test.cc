#include "platform/dispatch/SerialQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <vector>

#include "platform/dispatch/ManualClock.h"
#include "platform/dispatch/RealClock.h"
#include "platform/dispatch/SharedInstance.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// Appends from any thread; the queues under test are what must keep the order.
class Recorder {
 public:
  void add(int value) {
    std::lock_guard lock(mutex_);
    values_.push_back(value);
  }
  std::vector<int> values() {
    std::lock_guard lock(mutex_);
    return values_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> values_;
};

TEST(SerialQueue, RunsWorkOneAtATimeInSubmissionOrderOnItsOwnThread) {
  ManualClock clock;
  SerialQueue queue("com.zorva.test", clock);
  EXPECT_EQ(queue.label(), "com.zorva.test");

  std::vector<int> order;  // touched only on the queue: a race here is a TSan failure
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> offQueue{false};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      if (!queue.isCurrent()) offQueue = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.sync([] {});
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(offQueue);
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncFromTheQueueItselfRunsInline) {
  ManualClock clock;
  SerialQueue queue("q", clock);
  int value = 0;
  queue.sync([&] { queue.sync([&] { value = 1; }); });
  EXPECT_EQ(value, 1);
}

TEST(SerialQueue, DestructionRunsWhatIsQueuedAndDropsTimersNotYetDue) {
  ManualClock clock;
  Recorder recorder;
  {
    SerialQueue queue("q", clock);
    queue.after(5s, [&] { recorder.add(99); });
    for (int i = 0; i < 3; ++i) queue.async([&, i] { recorder.add(i); });
  }
  clock.advance(10s);  // the timer's queue is gone: nothing runs, nothing crashes
  EXPECT_THAT(recorder.values(), ElementsAre(0, 1, 2));
}

TEST(ManualClock, DelayedWorkRunsOnlyWhenTimeReachesItInDueOrder) {
  ManualClock clock;
  SerialQueue queue("q", clock);
  Recorder recorder;
  queue.after(30s, [&] { recorder.add(30); });
  queue.after(5s, [&] { recorder.add(5); });
  queue.after(5s, [&] { recorder.add(6); });  // same due time: submission order
  queue.async([&] { recorder.add(0); });

  clock.settle();
  EXPECT_THAT(recorder.values(), ElementsAre(0));
  clock.advance(4999ms);
  EXPECT_THAT(recorder.values(), ElementsAre(0));
  clock.advance(1ms);
  EXPECT_THAT(recorder.values(), ElementsAre(0, 5, 6));
  clock.advance(25s);
  EXPECT_THAT(recorder.values(), ElementsAre(0, 5, 6, 30));
  EXPECT_EQ(clock.pendingTimers(), 0u);
}

TEST(ManualClock, WorkSeesTheTimeItWasDueAndCanScheduleMoreWithinOneAdvance) {
  ManualClock clock;
  SerialQueue queue("q", clock);
  const auto start = clock.now();
  std::vector<Clock::Duration> seen;  // only touched on the queue, read after settling
  std::function<void()> retry = [&] {
    seen.push_back(clock.now() - start);
    if (seen.size() < 3) queue.after(20s, retry);
  };
  queue.after(20s, retry);

  clock.advance(100s);  // a retry every 20 s: three runs, each at its own due time
  queue.sync([] {});
  EXPECT_THAT(seen, ElementsAre(20s, 40s, 60s));
  EXPECT_EQ(clock.now() - start, 100s);
}

TEST(ManualClock, AdvanceWaitsForWorkCascadingAcrossQueues) {
  ManualClock clock;
  SerialQueue list("list", clock);
  SerialQueue send("send", clock);
  Recorder recorder;
  list.after(5s, [&] {
    recorder.add(1);
    send.async([&] {
      recorder.add(2);
      list.async([&] { recorder.add(3); });
    });
  });
  clock.advance(5s);
  EXPECT_THAT(recorder.values(), ElementsAre(1, 2, 3));
}

TEST(ManualClock, SettingTheWallClockBackDoesNotMovePendingDelays) {
  ManualClock clock;
  SerialQueue queue("q", clock);
  Recorder recorder;
  queue.after(10s, [&] { recorder.add(1); });
  clock.setWallTime(ManualClock::kDefaultStart - 24h);
  EXPECT_EQ(clock.now(), ManualClock::kDefaultStart - 24h);
  clock.advance(10s);
  EXPECT_THAT(recorder.values(), ElementsAre(1));
  EXPECT_EQ(clock.now(), ManualClock::kDefaultStart - 24h + 10s);
}

TEST(RealClock, RunsDelayedWorkOnTheTargetQueue) {
  RealClock clock;
  SerialQueue queue("q", clock);
  std::promise<bool> ranOnQueue;
  queue.after(1ms, [&] { ranOnQueue.set_value(queue.isCurrent()); });
  EXPECT_TRUE(ranOnQueue.get_future().get());
}

TEST(SharedInstance, ConcurrentFirstCallsCreateExactlyOne) {
  struct Counted {
    explicit Counted(std::atomic<int>& made) { made.fetch_add(1); }
  };
  SharedInstance<Counted> shared;
  EXPECT_EQ(shared.ifCreated(), nullptr);
  std::atomic<int> made{0};
  std::vector<std::future<Counted*>> calls;
  for (int i = 0; i < 8; ++i) {
    calls.push_back(std::async(std::launch::async,
                               [&] { return &shared.get([&] { return new Counted(made); }); }));
  }
  Counted* first = calls[0].get();
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].get(), first);
  EXPECT_EQ(made.load(), 1);
  EXPECT_EQ(shared.ifCreated(), first);
  delete first;
}

}  // namespace
}  // namespace zorva
