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

  WatchedHttpClient(ManualClock& clock, const std::string& caFile) : _clock(clock), _real(caFile) {}

  void send(HttpRequest request, Completion done) override {
    {
      std::lock_guard lock(_mutex);
      _sentAt.push_back(_clock.now());
    }
    _real.send(std::move(request), [this, done = std::move(done)](HttpResponse response) {
      {
        std::lock_guard lock(_mutex);
        if (response.transportError) _transportErrors.push_back(*response.transportError);
        _statuses.push_back(response.status);
      }
      done(std::move(response));
      std::lock_guard lock(_mutex);
      ++_completed;
      _changed.notify_all();
    });
  }

  size_t sent() const {
    std::lock_guard lock(_mutex);
    return _sentAt.size();
  }
  std::vector<Clock::TimePoint> sentAt() const {
    std::lock_guard lock(_mutex);
    return _sentAt;
  }
  std::vector<std::string> transportErrors() const {
    std::lock_guard lock(_mutex);
    return _transportErrors;
  }
  std::vector<long> statuses() const {  // 0 for a transport failure
    std::lock_guard lock(_mutex);
    return _statuses;
  }
  bool waitCompleted(size_t count) const {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, kWait, [&] { return _completed >= count; });
  }

  // Waits until every exchange begun so far has finished and its consequences have run,
  // including exchanges those consequences began; false when one did not finish in time.
  bool finishExchanges() {
    for (;;) {
      _clock.settle();
      const size_t begun = sent();
      if (!waitCompleted(begun)) return false;
      _clock.settle();
      if (sent() == begun) return true;
    }
  }

 private:
  ManualClock& _clock;
  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  std::vector<Clock::TimePoint> _sentAt;
  std::vector<std::string> _transportErrors;
  std::vector<long> _statuses;
  size_t _completed = 0;
  CurlHttpClient _real;  // last: its destructor runs the cancelled completions, which count
};

}  // namespace zorva
