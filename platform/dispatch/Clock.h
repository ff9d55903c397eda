#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace zorva {

class QueueCore;

// The one source of time for the whole service. Every time reading and every delay goes through
// a Clock, so tests can swap in ManualClock and check 20-, 30- and 600-second rules in
// microseconds.
class Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  using Duration = std::chrono::nanoseconds;
  using Work = std::function<void()>;

  virtual ~Clock() = default;

  // Wall-clock time: audit timestamps and day boundaries are wall-clock facts.
  virtual TimePoint now() const = 0;

  // Submits `work` to `target` once `delay` has passed. A target that no longer exists by then
  // is skipped, so a queue can be destroyed with timers still pending.
  virtual void schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) = 0;

  // Called by every queue built on this clock, so a manual clock can wait until they are all
  // idle.
  virtual void attach(const std::shared_ptr<QueueCore>& /*queue*/) {}
};

}  // namespace zorva
