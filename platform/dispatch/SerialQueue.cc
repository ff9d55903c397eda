#include "platform/dispatch/SerialQueue.h"

#include <future>

namespace zorva {

void QueueCore::enqueue(Work work) {
  {
    std::lock_guard lock(_mutex);
    _work.push_back(std::move(work));
    _submitted.fetch_add(1, std::memory_order_release);
  }
  _wake.notify_one();
}

void QueueCore::waitIdle() {
  if (isCurrent()) return;
  std::unique_lock lock(_mutex);
  _idle.wait(lock, [this] { return _work.empty() && !_running; });
}

std::thread::id QueueCore::threadId() const {
  std::lock_guard lock(_mutex);
  return _thread;
}

void QueueCore::run() {
  std::unique_lock lock(_mutex);
  _thread = std::this_thread::get_id();
  for (;;) {
    _wake.wait(lock, [this] { return _stopping || !_work.empty(); });
    if (_work.empty()) break;  // stopping, and everything queued has run
    Work work = std::move(_work.front());
    _work.pop_front();
    _running = true;
    lock.unlock();
    work();
    work = nullptr;  // captured state dies on the queue, not under the lock
    lock.lock();
    _running = false;
    if (_work.empty()) _idle.notify_all();
  }
  _thread = {};
}

void QueueCore::stop() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  _wake.notify_one();
}

SerialQueue::SerialQueue(std::string label, Clock& clock)
    : _clock(clock), _core(std::make_shared<QueueCore>(std::move(label))) {
  _clock.attach(_core);
  _thread = std::thread([core = _core] { core->run(); });
}

SerialQueue::~SerialQueue() {
  _core->stop();
  _thread.join();
}

void SerialQueue::after(Clock::Duration delay, Work work) {
  _clock.schedule(delay, _core, std::move(work));
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
