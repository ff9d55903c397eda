#include "platform/dispatch/testing/ManualClock.h"

#include "platform/dispatch/SerialQueue.h"

namespace zorva {

ManualClock::ManualClock(TimePoint start) : _wall(start.time_since_epoch().count()) {}

Clock::TimePoint ManualClock::now() const { return TimePoint(TimePoint::duration(_wall.load())); }

void ManualClock::schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) {
  std::lock_guard lock(_mutex);
  _timers.emplace(_elapsed + delay, Timer{std::move(target), std::move(work)});
}

void ManualClock::attach(const std::shared_ptr<QueueCore>& queue) {
  std::lock_guard lock(_mutex);
  _queues.push_back(queue);
}

void ManualClock::moveTo(Duration elapsed) {
  _wall += std::chrono::duration_cast<TimePoint::duration>(elapsed - _elapsed).count();
  _elapsed = elapsed;
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
      moveTo(first->first);
      timer = std::move(first->second);
      _timers.erase(first);
    }
    if (auto queue = timer.target.lock()) queue->enqueue(std::move(timer.work));
  }
  std::lock_guard lock(_mutex);
  moveTo(target);
}

void ManualClock::setWallTime(TimePoint to) { _wall = to.time_since_epoch().count(); }

void ManualClock::settle() {
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

}  // namespace zorva
