#include "telemetry/TelemetryUpload.h"

#include "platform/text/Timestamp.h"
#include "telemetry/TelemetryRecords.h"

namespace zorva {
namespace {

constexpr long kBadRequest = 400;
constexpr long kForbidden = 403;
constexpr long kConflict = 409;

bool isSuccess(long status) { return status >= 200 && status <= 299; }

// Whether the batch is finished with, after the answer's console line.
bool judge(TelemetryUpload::Route route, const HttpResponse& response) {
  const bool appLog = route == TelemetryUpload::Route::AppLog;
  const long status = response.status;
  if (isSuccess(status)) return true;
  switch (status) {
    case 0:
      // The app log names what went wrong below HTTP; the track upload only looks at the
      // number, and no answer is just another unknown status there.
      if (!appLog) break;
      telemetryConsoleFormat("error from url: %ld, %@",
                             static_cast<int64_t>(response.transportCode),
                             response.transportError.value_or("no answer"));
      return false;
    case kBadRequest:
      if (appLog) telemetryConsole("bad log send 400");
      return true;
    case kForbidden:
      telemetryConsole("Bad authentication, please check your API Key");
      return true;
    case kConflict:
      telemetryConsole("Conflict, dup send?");
      return true;
    default:
      break;
  }
  telemetryConsole("sendEvents: send complete: unknown error");
  return false;
}

}  // namespace

bool TelemetryUpload::post(Route route, const nlohmann::json& body,
                           std::function<void(bool finished)> done) {
  HttpRequest request;
  try {
    request.body = body.dump();
  } catch (const nlohmann::json::exception& failure) {
    telemetryConsoleFormat("cannot build the request, dropping its records: %@", failure.what());
    return false;
  }
  const char* path = route == Route::Track ? "/1/track" : "/1/app_log";
  request.method = "POST";
  request.url = baseUrl_ + path + "?current_time=" + wireTimestamp(clock_.now());
  request.headers = {{"Content-Type", "application/json"}};
  request.timeout = kTimeout;
  http_.send(std::move(request), [route, done = std::move(done)](const HttpResponse& response) {
    done(judge(route, response));
  });
  return true;
}

}  // namespace zorva
