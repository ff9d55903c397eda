#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/http/HttpClient.h"

namespace zorva {

// The one way a batch of records reaches the analytics service, for the event track and the app
// log alike, and what its answer means for the batch.
class TelemetryUpload {
 public:
  enum class Route { Track, AppLog };
  static constexpr auto kTimeout = std::chrono::seconds(60);

  // `baseUrl` ends in the organisation: "<analytics service>/<org>".
  TelemetryUpload(HttpClient& http, Clock& clock, std::string baseUrl)
      : http_(http), clock_(clock), baseUrl_(std::move(baseUrl)) {}

  // Posts `body` to the route. `done` runs once, on the HTTP client's thread: true when the
  // batch is finished with (taken, or refused for good with 400, 403 or 409), false when it is
  // to be tried again (no answer, or any other status). Returns false, calling nothing, when the
  // body cannot be written as JSON.
  bool post(Route route, const nlohmann::json& body, std::function<void(bool finished)> done);

 private:
  HttpClient& http_;
  Clock& clock_;
  const std::string baseUrl_;
};

}  // namespace zorva
