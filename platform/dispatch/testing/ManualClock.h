#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/dispatch/Clock.h"

namespace zorva {

// A clock for tests. Time stands still until the test advances it; advance() then runs every
// timer that falls due, in due order, and waits after each until every queue built on this
// clock is idle, so a test sees all consequences of "30 seconds later" when advance() returns.
// Call advance() and settle() from the test's thread, never from a queue.
class ManualClock final : public Clock {
 public:
  // 2026-01-01T00:00:00Z: a fixed, readable start.
  static constexpr TimePoint kDefaultStart = TimePoint(std::chrono::seconds(1767225600));

  explicit ManualClock(TimePoint start = kDefaultStart);

  TimePoint now() const override;
  void schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) override;
  void attach(const std::shared_ptr<QueueCore>& queue) override;

  void advance(Duration by);
  // Moves the wall clock alone, as a user or NTP would; pending delays are not affected.
  void setWallTime(TimePoint to);
  // Waits until every queue built on this clock is idle and nothing more was submitted.
  void settle();

 private:
  struct Timer {
    std::weak_ptr<QueueCore> target;
    Work work;
  };
  void moveTo(Duration elapsed);  // under the mutex

  std::mutex _mutex;
  std::atomic<Clock::TimePoint::rep> _wall;
  Duration _elapsed{0};
  std::multimap<Duration, Timer> _timers;  // keyed by elapsed time when due; stable for ties
  std::vector<std::weak_ptr<QueueCore>> _queues;
};

}  // namespace zorva
