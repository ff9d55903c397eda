#include "platform/dispatch/SerialQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <ranges>

#include "platform/dispatch/RealClock.h"
#include "platform/dispatch/testing/ManualClock.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// Work touches `ran` on the queues only; the test reads it once the clock has let them settle,
// so a race here is one between queued items, and a TSan failure.
struct SerialQueueTest : ::testing::Test {
  ManualClock clock;
  std::vector<int> ran;
  SerialQueue queue{"q", clock};  // destroyed first: its remaining work may still append
};

TEST_F(SerialQueueTest, RunsWorkOneAtATimeInSubmissionOrderOnItsOwnThread) {
  std::atomic<bool> running{false};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      // -1 marks work that overlapped other work or ran off the queue's thread.
      ran.push_back(!running.exchange(true) && queue.isCurrent() ? i : -1);
      running = false;
    });
  }
  // Sync from the queue itself runs inline rather than wait on itself.
  queue.sync([&] { queue.sync([&] { ran.push_back(1000); }); });
  EXPECT_TRUE(std::ranges::equal(ran, std::views::iota(0, 1001)));
  EXPECT_FALSE(queue.isCurrent());
}

TEST_F(SerialQueueTest, DestructionRunsWhatIsQueuedAndDropsTimersNotYetDue) {
  auto doomed = std::make_unique<SerialQueue>("doomed", clock);
  doomed->after(5s, [&] { ran.push_back(99); });
  for (int i = 0; i < 3; ++i) doomed->async([&, i] { ran.push_back(i); });
  doomed.reset();
  clock.advance(10s);  // the timer's queue is gone: nothing runs, nothing crashes
  EXPECT_THAT(ran, ElementsAre(0, 1, 2));
}

// The work due first sets off work on another queue that comes back: advance() waits for all of
// it before the next timer, and work sees the time it was due, not the time advance() ends at.
TEST_F(SerialQueueTest, DelayedWorkRunsInDueOrderAtItsDueTimeAndItsCascadesWithinOneAdvance) {
  SerialQueue other("other", clock);
  auto seconds = [&] { return static_cast<int>((clock.now() - ManualClock::kDefaultStart) / 1s); };
  std::function<void()> retry = [&] {
    ran.push_back(seconds());
    if (seconds() < 60) queue.after(20s, retry);  // a retry every 20 s
  };
  queue.after(20s, retry);
  queue.after(5s, [&] {
    ran.push_back(5);
    other.async([&] { ran.push_back(6), queue.async([&] { ran.push_back(7); }); });
  });
  queue.after(5s, [&] { ran.push_back(8); });  // same due time: submission order
  queue.async([&] { ran.push_back(0); });
  clock.advance(4999ms);
  EXPECT_THAT(ran, ElementsAre(0));
  clock.advance(1ms);
  EXPECT_THAT(ran, ElementsAre(0, 5, 6, 7, 8));
  clock.advance(95s);
  EXPECT_THAT(ran, ElementsAre(0, 5, 6, 7, 8, 20, 40, 60));
  EXPECT_EQ(seconds(), 100);
}

TEST(RealClock, RunsDelayedWorkOnTheTargetQueue) {
  RealClock clock;
  SerialQueue queue("q", clock);
  std::promise<bool> ranOnQueue;
  queue.after(1ms, [&] { ranOnQueue.set_value(queue.isCurrent()); });
  EXPECT_TRUE(ranOnQueue.get_future().get());
}

}  // namespace
}  // namespace zorva
