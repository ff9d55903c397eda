// Whatever status (the first two bytes) and body (the rest) come back over the network, the client
// calls its handler exactly once and never crashes, checking a key or sending a batch.

#include <cstdlib>

#include "backend/DeviceApi.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/ScriptedHttpClient.h"
#include "platform/log/LogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

using namespace zorva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto silent = makeLogWriter(LogTarget::Off, LogLevel::Default);
  setLogWriter(silent.get());
  static ManualClock clock;
  static MemorySettingsStore settings;
  static ScriptedHttpClient http(clock);
  static DeviceApi api({settings, http, clock, "https://backend.invalid"});
  if (size < 2) return 0;
  http.answer({{.status = (data[0] << 8 | data[1]) % 700,
                .body = std::string(reinterpret_cast<const char*>(data) + 2, size - 2)}});
  int checked = 0, answered = 0;
  api.checkToken("key", 0, [&](const auto&) { ++checked; });
  api.deviceRequest("/api/1/audit_event", nlohmann::json::object(), 0, [&](auto error, auto reply) {
    ++answered;
    if ((error && reply) || (reply && !reply->is_object())) std::abort();  // failures carry none
  });
  if (checked != 1 || answered != 1) std::abort();
  return 0;
}
