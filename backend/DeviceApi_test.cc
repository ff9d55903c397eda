#include "backend/DeviceApi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/ScriptedHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using Error = DeviceApi::Error;

HttpResponse status(long code, std::string body = "") { return {.status = code, .body = body}; }

// Sent by a request: its method, URL, body and headers.
std::string line(const HttpRequest& request) {
  std::string text = request.method + " " + request.url + " " + request.body;
  for (const auto& [name, value] : request.headers) text += " " + name + ": " + value;
  return text;
}

constexpr const char* kToken = "secret-token-0123456789";

struct DeviceApiTest : ::testing::Test {
  std::unique_ptr<DeviceApi> start() {
    return std::make_unique<DeviceApi>(DeviceApi::Dependencies{
        .settings = settings, .http = http, .clock = clock, .baseUrl = "https://backend:8443/v"});
  }
  // Whether a key is held, then the stored and the pending key.
  std::string state(const DeviceApi& api) {
    return std::to_string(api.isReady()) + " " +
           settings.getString(DeviceApi::kSettingsKey).value_or("-") + " " +
           settings.getString(DeviceApi::kPendingKey).value_or("-");
  }
  void TearDown() override {
    clock.settle();
    for (const auto& line : log.texts()) EXPECT_THAT(line, ::testing::Not(HasSubstr(kToken)));
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  ScriptedHttpClient http{clock};
  const std::string held = std::string("1 ") + kToken + " -";
};

TEST_F(DeviceApiTest, TheFirstOfferedKeyConfirmedIsHeldForGoodAndRequestsCarryItEncoded) {
  auto api = start();
  EXPECT_TRUE(http.sent().empty()) << "no key, no request";
  http.hold();  // two offers checked at once
  api->setDeviceToken("new key & more+");
  api->setDeviceToken("second");
  http.release();
  ASSERT_EQ(http.sent().size(), 2u);
  EXPECT_EQ(state(*api), "1 new key & more+ -");
  api->setDeviceToken("another");
  EXPECT_EQ(http.sent().size(), 2u) << "a held key is never replaced";
  api->deviceRequest("/api/1/audit_event", nlohmann::json{{"event_list", {1, 2}}}, 0,
                     [](auto, auto) {});
  EXPECT_EQ(line(http.sent().back().request),
            "POST https://backend:8443/api/1/audit_event?device_session_key=new%20key%20&%20more+ "
            R"({"event_list":[1,2]} Content-Type: application/json)");
  EXPECT_EQ(DeviceApi::stringFromUrl("/p?a=1", "é/?:@!$'()*,;=~"),
            "/p?a=1?device_session_key=%C3%A9/?:@!$'()*,;=~");
  EXPECT_EQ(DeviceApi::redacted("éééééé") + DeviceApi::redacted("ab"),
            "éééé...(12 bytes)ab...(2 bytes)")
      << "whole characters";
}

TEST_F(DeviceApiTest, TheBackendsAnswerToAStoredKeyKeepsOrDropsIt) {
  std::vector<std::pair<HttpResponse, bool>> cases = {
      {status(401), false}, {status(302), false},       {status(200, "{}"), true},
      {status(200), true},  {status(200, "[1]"), true}, {status(200, "not json"), true}};
  // Huge and not-a-number-like values must be compared, never cast.
  for (const char* value : {"1", "true", "1e300", "18446744073709551615"}) {
    cases.push_back({status(200, std::string(R"({"is_disabled": )") + value + "}"), false});
  }
  for (const char* value : {"0", "null", "\"1\"", "0.5", "-1e300"}) {
    cases.push_back({status(200, std::string(R"({"is_disabled": )") + value + "}"), true});
  }
  for (const auto& [answer, kept] : cases) {
    settings.set(DeviceApi::kSettingsKey, kToken);
    http.answer({answer});
    EXPECT_EQ(state(*start()), kept ? held : "0 - -") << answer.status << answer.body;
  }
  EXPECT_THAT(log.texts(),
              Contains("ZORVA_LOG: ERROR: DeviceApi.init: bad token: secr...(23 bytes)"));
}

// Another process may hold the settings at start-up: the stored key is not taken for none. An
// unreachable backend does not take it away either.
TEST_F(DeviceApiTest, AStoredKeyIsReadOnceTheSettingsCanBeAndKeptWhileTheBackendIsAway) {
  settings.set(DeviceApi::kSettingsKey, kToken);
  settings.setLocked(true);
  http.answer({status(503)});
  auto api = start();
  EXPECT_FALSE(api->isReady());
  clock.advance(DeviceApi::kSettingsRetry * 3);
  settings.setLocked(false);
  clock.advance(DeviceApi::kSettingsRetry);
  EXPECT_TRUE(api->isReady()) << "requests meanwhile use the stored key";
  EXPECT_THAT(log.texts(), Contains(HasSubstr("cannot be read now")).Times(1)) << "said once";
  clock.advance(99 * 20s);
  auto sent = http.sent();
  ASSERT_EQ(sent.size(), 100u);
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].at - sent[i - 1].at, 20s);
  EXPECT_EQ(state(*api), held);
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: DeviceApi: sendRequest: retry: url: "
                                    "/api/1/device/current?device_session_key=secr...(23 bytes), "
                                    "error: http 503, count: 99"));
}

// An outage is not a refusal: the offer is kept, across a restart too, until the backend decides.
TEST_F(DeviceApiTest, AKeyOfferedDuringAnOutageIsKeptPendingUntilTheBackendDecides) {
  http.answer({status(500)});
  auto api = start();
  api->setDeviceToken(kToken);
  clock.advance(10min);
  EXPECT_EQ(state(*api), std::string("0 - ") + kToken);
  EXPECT_GT(http.sent().size(), 25u) << "checked again and again";

  api.reset();  // a restart in the middle of the outage
  http.answer({status(500), status(500), status(200)});
  api = start();
  clock.advance(DeviceApi::kRetryPause * 2);
  EXPECT_EQ(state(*api), held);

  api.reset();
  settings.remove(DeviceApi::kSettingsKey);
  http.answer({status(500), status(403)});
  api = start();
  api->setDeviceToken("refused-one");
  clock.advance(DeviceApi::kRetryPause);
  EXPECT_EQ(state(*api), "0 - -");
}

TEST_F(DeviceApiTest, RetriesOnlyTransportFailuresAndServerErrors) {
  auto api = start();
  const HttpResponse timeout{.transportError = "Timeout was reached", .transportCode = 28};
  const std::tuple<HttpResponse, int64_t, size_t, std::optional<Error>> cases[] = {
      {status(299, R"({"a": 1})"), 5, 1, std::nullopt},
      {status(300), 5, 1, Error{"http", 300, ""}},
      {status(404), 5, 1, Error{"http", 404, ""}},
      {status(500), 0, 1, Error{"http", 500, ""}},
      {status(500), 5, 6, Error{"http", 500, ""}},
      {timeout, 2, 3, Error{"transport", 28, "Timeout was reached"}}};
  for (const auto& [answer, retries, attempts, error] : cases) {
    http.answer({answer});
    const size_t before = http.sent().size();
    std::vector<std::pair<std::optional<Error>, DeviceApi::Reply>> results;
    api->sendRequest("/api/1/x", std::nullopt, retries,
                     [&](auto error, auto reply) { results.emplace_back(error, reply); });
    clock.advance(10 * 20s);
    EXPECT_EQ(http.sent().size() - before, attempts) << answer.status;
    const DeviceApi::Reply reply =
        error ? std::nullopt : DeviceApi::Reply(nlohmann::json{{"a", 1}});
    EXPECT_EQ(results, (decltype(results){{error, reply}})) << "the handler runs exactly once";
  }
}

}  // namespace
}  // namespace zorva
