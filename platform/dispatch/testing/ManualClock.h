#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/dispatch/SerialQueue.h"

namespace zorva {

// A clock for tests. Time stands still until the test advances it; advance() then runs every
// timer that falls due, in due order, and waits after each until every queue built on this
// clock is idle, so a test sees all consequences of "30 seconds later" when advance() returns.
// Call advance() and settle() from the test's thread, never from a queue.
class ManualClock final : public Clock {
 public:
  // 2026-01-01T00:00:00Z: a fixed, readable start.
  static constexpr TimePoint kDefaultStart = TimePoint(std::chrono::seconds(1767225600));

  TimePoint now() const override { return TimePoint(TimePoint::duration(_wall.load())); }
  void schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) override {
    std::lock_guard lock(_mutex);
    _timers.emplace(_elapsed + delay, std::pair(std::move(target), std::move(work)));
  }
  void attach(const std::shared_ptr<QueueCore>& queue) override {
    std::lock_guard lock(_mutex);
    _queues.push_back(queue);
  }

  void advance(Duration by) {
    const Duration target = (std::lock_guard(_mutex), _elapsed + by);
    for (;;) {
      settle();
      std::unique_lock lock(_mutex);
      auto first = _timers.begin();
      if (first == _timers.end() || first->first > target) return moveTo(target);
      moveTo(first->first);
      auto [queue, work] = std::move(first->second);
      _timers.erase(first);
      lock.unlock();
      if (auto alive = queue.lock()) alive->enqueue(std::move(work));
    }
  }
  // Moves the wall clock alone, as a user or NTP would; pending delays are not affected.
  void setWallTime(TimePoint to) { _wall = to.time_since_epoch().count(); }
  // Waits until every queue built on this clock is idle and nothing more was submitted.
  void settle() {
    for (uint64_t before = 1, after = 0; before != after;) {
      std::vector<std::shared_ptr<QueueCore>> queues;
      {
        std::lock_guard lock(_mutex);
        for (const auto& weak : _queues) {
          if (auto queue = weak.lock()) queues.push_back(std::move(queue));
        }
        std::erase_if(_queues, [](const auto& weak) { return weak.expired(); });
      }
      before = after = 0;
      for (auto& queue : queues) before += queue->submitted();
      for (auto& queue : queues) queue->waitIdle();
      for (auto& queue : queues) after += queue->submitted();
    }
  }

 private:
  void moveTo(Duration elapsed) {  // under the mutex
    _wall += std::chrono::duration_cast<TimePoint::duration>(elapsed - _elapsed).count();
    _elapsed = elapsed;
  }

  std::mutex _mutex;
  std::atomic<TimePoint::rep> _wall{kDefaultStart.time_since_epoch().count()};
  Duration _elapsed{0};
  // Keyed by elapsed time when due; stable for ties.
  std::multimap<Duration, std::pair<std::weak_ptr<QueueCore>, Work>> _timers;
  std::vector<std::weak_ptr<QueueCore>> _queues;
};

}  // namespace zorva
