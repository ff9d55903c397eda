#include "platform/dispatch/SerialQueue.h"

#include <future>

namespace zorva {

void QueueCore::enqueue(Work work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
    submitted_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_one();
}

void QueueCore::waitIdle() {
  if (isCurrent()) return;
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return work_.empty() && !running_; });
}

std::thread::id QueueCore::threadId() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

void QueueCore::run() {
  std::unique_lock lock(mutex_);
  thread_ = std::this_thread::get_id();
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
    if (work_.empty()) break;  // stopping, and everything queued has run
    Work work = std::move(work_.front());
    work_.pop_front();
    running_ = true;
    lock.unlock();
    work();
    work = nullptr;  // captured state dies on the queue, not under the lock
    lock.lock();
    running_ = false;
    if (work_.empty()) idle_.notify_all();
  }
  thread_ = {};
}

void QueueCore::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
}

SerialQueue::SerialQueue(std::string label, Clock& clock)
    : clock_(clock), core_(std::make_shared<QueueCore>(std::move(label))) {
  clock_.attach(core_);
  thread_ = std::thread([core = core_] { core->run(); });
}

SerialQueue::~SerialQueue() {
  core_->stop();
  thread_.join();
}

void SerialQueue::after(Clock::Duration delay, Work work) {
  clock_.schedule(delay, core_, std::move(work));
}

void SerialQueue::sync(const Work& work) {
  if (isCurrent()) {
    work();
    return;
  }
  std::promise<void> done;
  async([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace zorva
