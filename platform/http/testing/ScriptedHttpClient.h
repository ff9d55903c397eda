#pragma once

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

  explicit ScriptedHttpClient(Clock& clock) : clock_(clock) {}

  void answer(std::vector<HttpResponse> script) {
    std::lock_guard lock(mutex_);
    script_.assign(script.begin(), script.end());
  }
  // While held, answers wait until release(): for exchanges that must overlap.
  // Requests may come from any thread, so the hold is kept under the lock too.
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    std::vector<std::pair<Completion, HttpResponse>> waiting;
    {
      std::lock_guard lock(mutex_);
      held_ = false;
      waiting.swap(waiting_);
    }
    for (auto& [done, response] : waiting) done(std::move(response));
  }

  void send(HttpRequest request, Completion done) override {
    HttpResponse response;
    {
      std::lock_guard lock(mutex_);
      sent_.push_back({std::move(request), clock_.now()});
      response = script_.front();
      if (script_.size() > 1) script_.pop_front();
      if (held_) {
        waiting_.emplace_back(std::move(done), std::move(response));
        return;
      }
    }
    done(std::move(response));
  }

  std::vector<Sent> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  Clock& clock_;
  mutable std::mutex mutex_;
  std::deque<HttpResponse> script_{HttpResponse{.status = 200}};
  std::vector<Sent> sent_;
  bool held_ = false;
  std::vector<std::pair<Completion, HttpResponse>> waiting_;
};

}  // namespace zorva
