#include "platform/dispatch/testing/ManualClock.h"

#include "platform/dispatch/SerialQueue.h"

namespace zorva {

ManualClock::ManualClock(TimePoint start) : _wall(start.time_since_epoch().count()) {}

Clock::TimePoint ManualClock::now() const {
  return TimePoint(TimePoint::duration(_wall.load(std::memory_order_acquire)));
}

void ManualClock::schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) {
  std::lock_guard lock(_mutex);
  _timers.emplace(_elapsed + delay, Timer{std::move(target), std::move(work)});
}

void ManualClock::attach(const std::shared_ptr<QueueCore>& queue) {
  std::lock_guard lock(_mutex);
  _queues.push_back(queue);
}

void ManualClock::advance(Duration by) {
  Duration target;
  {
    std::lock_guard lock(_mutex);
    target = _elapsed + by;
  }
  for (;;) {
    settle();
    Timer timer;
    {
      std::lock_guard lock(_mutex);
      auto first = _timers.begin();
      if (first == _timers.end() || first->first > target) break;
      _wall.fetch_add(
          std::chrono::duration_cast<TimePoint::duration>(first->first - _elapsed).count(),
          std::memory_order_acq_rel);
      _elapsed = first->first;
      timer = std::move(first->second);
      _timers.erase(first);
    }
    if (auto queue = timer.target.lock()) queue->enqueue(std::move(timer.work));
  }
  std::lock_guard lock(_mutex);
  _wall.fetch_add(std::chrono::duration_cast<TimePoint::duration>(target - _elapsed).count(),
                  std::memory_order_acq_rel);
  _elapsed = target;
}

void ManualClock::setWallTime(TimePoint to) {
  _wall.store(to.time_since_epoch().count(), std::memory_order_release);
}

std::vector<std::shared_ptr<QueueCore>> ManualClock::liveQueues() {
  std::lock_guard lock(_mutex);
  std::vector<std::shared_ptr<QueueCore>> live;
  std::erase_if(_queues, [&](const std::weak_ptr<QueueCore>& weak) {
    auto queue = weak.lock();
    if (!queue) return true;
    live.push_back(std::move(queue));
    return false;
  });
  return live;
}

void ManualClock::settle() {
  for (;;) {
    auto queues = liveQueues();
    uint64_t before = 0;
    for (auto& queue : queues) before += queue->submitted();
    for (auto& queue : queues) queue->waitIdle();
    uint64_t after = 0;
    for (auto& queue : queues) after += queue->submitted();
    if (before == after) return;
  }
}

}  // namespace zorva
