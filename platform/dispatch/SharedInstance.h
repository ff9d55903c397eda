#pragma once

#include <atomic>
#include <mutex>

namespace zorva {

// The once-only holder behind each subsystem's sharedInstance(): concurrent first calls create
// exactly one instance, which then lives until the process ends (it is never destroyed, so work
// still queued at exit never meets a dead object).
template <class T>
class SharedInstance {
 public:
  template <class Factory>
  T& get(Factory&& make) {
    std::call_once(once_, [&] { instance_.store(make(), std::memory_order_release); });
    return *instance_.load(std::memory_order_acquire);
  }

  // The instance if one was created, else nullptr; never creates one.
  T* ifCreated() const { return instance_.load(std::memory_order_acquire); }

 private:
  std::once_flag once_;
  std::atomic<T*> instance_{nullptr};
};

}  // namespace zorva
