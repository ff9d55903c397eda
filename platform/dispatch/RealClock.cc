#include "platform/dispatch/RealClock.h"

#include "platform/dispatch/SerialQueue.h"

namespace zorva {

RealClock::RealClock() : thread_([this] { run(); }) {}

RealClock::~RealClock() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

RealClock& RealClock::shared() {
  // Never destroyed: queues of shared instances may still schedule work while the process exits.
  static RealClock* clock = new RealClock();
  return *clock;
}

void RealClock::schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) {
  auto due = std::chrono::steady_clock::now() + delay;
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    auto added = timers_.emplace(due, Timer{std::move(target), std::move(work)});
    first = added == timers_.begin();
  }
  // The timer thread sleeps until the first timer is due: only a new first one changes that, and
  // every close of a watched file sets a timer.
  if (first) wake_.notify_one();
}

void RealClock::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (timers_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = timers_.begin();
    if (first->first > std::chrono::steady_clock::now()) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    Timer timer = std::move(first->second);
    timers_.erase(first);
    lock.unlock();
    if (auto queue = timer.target.lock()) queue->enqueue(std::move(timer.work));
    lock.lock();
  }
}

}  // namespace zorva
