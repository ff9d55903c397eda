#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch/Clock.h"

namespace zorva {

// The system's clock. Delays are measured on the monotonic clock, so a wall-clock change does
// not move a pending retry; one timer thread hands due work to its queue.
class RealClock final : public Clock {
 public:
  RealClock();
  ~RealClock() override;

  static RealClock& shared();

  TimePoint now() const override { return std::chrono::system_clock::now(); }
  void schedule(Duration delay, std::weak_ptr<QueueCore> target, Work work) override;

 private:
  struct Timer {
    std::weak_ptr<QueueCore> target;
    Work work;
  };

  void run();

  std::mutex _mutex;
  std::condition_variable _wake;
  std::multimap<std::chrono::steady_clock::time_point, Timer> _timers;
  bool _stopping = false;
  std::thread _thread;
};

}  // namespace zorva
