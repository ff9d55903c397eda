#pragma once

#include <mutex>
#include <vector>

#include "platform/http/HttpClient.h"

namespace zorva {

// For tests: takes every request and never answers, so the first upload stays in flight for good
// and what a client recorded stays to be read. Callable from any thread.
class SilentHttpClient final : public HttpClient {
 public:
  void send(HttpRequest request, Completion) override {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
  std::vector<HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
};

}  // namespace zorva
