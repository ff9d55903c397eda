#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/http/HttpClient.h"

namespace zorva {

// For tests: answers each request at once, on the caller's thread, from a script of canned
// responses (the last one repeats; a 200 with no body before any script), and records every
// request with the clock's time, so that a manual clock shows when retries went out.
class ScriptedHttpClient final : public HttpClient {
 public:
  struct Sent {
    HttpRequest request;
    Clock::TimePoint at;
  };

  explicit ScriptedHttpClient(Clock& clock) : _clock(clock) {}

  void answer(std::vector<HttpResponse> script) {
    std::lock_guard lock(_mutex);
    _script.assign(script.begin(), script.end());
  }
  // While held, answers wait until release(): for exchanges that must overlap.
  void hold() { _held = true; }
  void release() {
    std::unique_lock lock(_mutex);
    _held = false;
    auto waiting = std::exchange(_waiting, {});
    lock.unlock();
    for (auto& [done, response] : waiting) done(std::move(response));
  }

  void send(HttpRequest request, Completion done) override {
    std::unique_lock lock(_mutex);
    _sent.push_back({std::move(request), _clock.now()});
    HttpResponse response = _script.front();
    if (_script.size() > 1) _script.pop_front();
    if (_held) return _waiting.push_back({std::move(done), std::move(response)});
    lock.unlock();
    done(std::move(response));
  }

  std::vector<Sent> sent() const {
    std::lock_guard lock(_mutex);
    return _sent;
  }

 private:
  Clock& _clock;
  mutable std::mutex _mutex;
  std::deque<HttpResponse> _script{HttpResponse{.status = 200}};
  std::vector<Sent> _sent;
  std::atomic<bool> _held = false;
  std::vector<std::pair<Completion, HttpResponse>> _waiting;
};

}  // namespace zorva
