#pragma once

#include <atomic>
#include <cstdint>

namespace zorva {

// A count kept by one thread at a time (a serial queue, or the event source's serial delivery)
// and read from any. Adding costs a plain load and store rather than a locked instruction: it
// sits on paths taken for every file event.
class SingleWriterCounter {
 public:
  void add(uint64_t by = 1) {
    _value.store(_value.load(std::memory_order_relaxed) + by, std::memory_order_release);
  }
  uint64_t get() const { return _value.load(std::memory_order_acquire); }

 private:
  std::atomic<uint64_t> _value{0};
};

}  // namespace zorva
