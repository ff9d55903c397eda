// Replies from the backend cross the network: whatever status and body come back, the client must
// call its handler exactly once and never crash, whether it is checking a key or sending a batch.
// The first two bytes choose the status; the rest is the body.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "backend/DeviceApi.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/ScriptedHttpClient.h"
#include "platform/log/LogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto silent = zorva::makeLogWriter(zorva::LogTarget::Off, zorva::LogLevel::Default);
  zorva::setLogWriter(silent.get());
  static zorva::ManualClock clock;
  static zorva::MemorySettingsStore settings;
  static zorva::ScriptedHttpClient http(clock);
  static zorva::DeviceApi api(
      {.settings = settings, .http = http, .clock = clock, .baseUrl = "https://backend.invalid"});

  if (size < 2) return 0;
  zorva::HttpResponse response{.status = (data[0] << 8 | data[1]) % 700};
  response.body.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
  http.answer({response});

  int checked = 0;
  api.checkToken("key", 0, [&](const std::optional<zorva::DeviceApi::Error>&) { ++checked; });
  int answered = 0;
  api.deviceRequest(
      "/api/1/audit_event", nlohmann::json::object(), 0,
      [&](const std::optional<zorva::DeviceApi::Error>& error, zorva::DeviceApi::Reply reply) {
        ++answered;
        if (error && reply) std::abort();  // a failure carries no reply
        if (reply && !reply->is_object()) std::abort();
      });
  if (checked != 1 || answered != 1) std::abort();
  return 0;
}
