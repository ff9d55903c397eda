#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/CurlHttpClient.h"

namespace zorva {

// For tests on the manual clock: the real client, watched. It counts the exchanges handed to it
// and finished (their completion has run), and notes the manual time each was sent at, the
// transport errors and the statuses, so a test can wait for every exchange and its consequences.
class WatchedHttpClient final : public HttpClient {
 public:
  // Generous: the same waits run under ThreadSanitizer on a busy machine.
  static constexpr auto kWait = std::chrono::seconds(30);

  WatchedHttpClient(ManualClock& clock, const std::string& caFile) : clock_(clock), real_(caFile) {}

  void send(HttpRequest request, Completion done) override {
    {
      std::lock_guard lock(mutex_);
      sentAt_.push_back(clock_.now());
    }
    real_.send(std::move(request), [this, done = std::move(done)](HttpResponse response) {
      {
        std::lock_guard lock(mutex_);
        if (response.transportError) transportErrors_.push_back(*response.transportError);
        statuses_.push_back(response.status);
      }
      done(std::move(response));
      std::lock_guard lock(mutex_);
      ++completed_;
      changed_.notify_all();
    });
  }

  size_t sent() const {
    std::lock_guard lock(mutex_);
    return sentAt_.size();
  }
  std::vector<Clock::TimePoint> sentAt() const {
    std::lock_guard lock(mutex_);
    return sentAt_;
  }
  std::vector<std::string> transportErrors() const {
    std::lock_guard lock(mutex_);
    return transportErrors_;
  }
  std::vector<long> statuses() const {  // 0 for a transport failure
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  bool waitCompleted(size_t count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return completed_ >= count; });
  }

  // Waits until every exchange begun so far has finished and its consequences have run,
  // including exchanges those consequences began; false when one did not finish in time.
  bool finishExchanges() {
    for (;;) {
      clock_.settle();
      const size_t begun = sent();
      if (!waitCompleted(begun)) return false;
      clock_.settle();
      if (sent() == begun) return true;
    }
  }

 private:
  ManualClock& clock_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Clock::TimePoint> sentAt_;
  std::vector<std::string> transportErrors_;
  std::vector<long> statuses_;
  size_t completed_ = 0;
  CurlHttpClient real_;  // last: its destructor runs the cancelled completions, which count
};

}  // namespace zorva
