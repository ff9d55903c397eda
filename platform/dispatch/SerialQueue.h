#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/Clock.h"

namespace zorva {

// The state a queue shares with the clock's timers; timers hold it weakly.
class QueueCore {
 public:
  using Work = std::function<void()>;

  explicit QueueCore(std::string label) : _label(std::move(label)) {}

  const std::string& label() const { return _label; }
  void enqueue(Work work);
  // Blocks until nothing is queued or running. Returns at once when called on the queue itself.
  void waitIdle();
  bool isCurrent() const { return std::this_thread::get_id() == threadId(); }
  // How many items were ever submitted; lets a manual clock tell when a cascade has settled.
  uint64_t submitted() const { return _submitted.load(std::memory_order_acquire); }

  // Runs work until stop() and an empty queue; used by the queue's own thread or by the main
  // thread for good.
  void run();
  void stop();

 private:
  std::thread::id threadId() const;

  const std::string _label;
  mutable std::mutex _mutex;
  std::condition_variable _wake;
  std::condition_variable _idle;
  std::deque<Work> _work;
  bool _running = false;
  bool _stopping = false;
  std::thread::id _thread;
  std::atomic<uint64_t> _submitted{0};
};

// A serial dispatch queue: work submitted with async() or after() runs one item at a time, in
// submission order (delayed work in order of its due time), on the queue's own thread. Each piece
// of shared state in the service belongs to exactly one queue.
class SerialQueue {
 public:
  using Work = QueueCore::Work;

  SerialQueue(std::string label, Clock& clock);
  // Runs what is already queued, then joins the thread. Delayed work not yet due is dropped.
  ~SerialQueue();

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return _core->label(); }
  Clock& clock() const { return _clock; }

  void async(Work work) { _core->enqueue(std::move(work)); }
  void after(Clock::Duration delay, Work work);

  // Runs `work` on the queue and waits for it. For start-up and tests only: never call it from
  // work on another queue, which could deadlock two queues waiting on each other.
  void sync(const Work& work);

  bool isCurrent() const { return _core->isCurrent(); }

 private:
  Clock& _clock;
  std::shared_ptr<QueueCore> _core;
  std::thread _thread;
};

}  // namespace zorva
