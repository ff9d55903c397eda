#include "platform/dispatch/RealClock.h"

#include "platform/dispatch/SerialQueue.h"

namespace zorva {

RealClock::RealClock() : _thread([this] { run(); }) {}

RealClock::~RealClock() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  _wake.notify_one();
  _thread.join();
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
    std::lock_guard lock(_mutex);
    auto added = _timers.emplace(due, Timer{std::move(target), std::move(work)});
    first = added == _timers.begin();
  }
  // The timer thread sleeps until the first timer is due: only a new first one changes that, and
  // every close of a watched file sets a timer.
  if (first) _wake.notify_one();
}

void RealClock::run() {
  std::unique_lock lock(_mutex);
  while (!_stopping) {
    if (_timers.empty()) {
      _wake.wait(lock);
      continue;
    }
    auto first = _timers.begin();
    if (first->first > std::chrono::steady_clock::now()) {
      _wake.wait_until(lock, first->first);
      continue;
    }
    Timer timer = std::move(first->second);
    _timers.erase(first);
    lock.unlock();
    if (auto queue = timer.target.lock()) queue->enqueue(std::move(timer.work));
    lock.lock();
  }
}

}  // namespace zorva
