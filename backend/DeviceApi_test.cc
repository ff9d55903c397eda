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
using ::testing::IsEmpty;
using ::testing::Not;
using Error = DeviceApi::Error;

HttpResponse status(long code, std::string body = "") {
  return HttpResponse{.status = code, .body = std::move(body)};
}

constexpr const char* kToken = "secret-token-0123456789";

class DeviceApiTest : public ::testing::Test {
 protected:
  std::unique_ptr<DeviceApi> start() {
    return std::make_unique<DeviceApi>(DeviceApi::Dependencies{
        .settings = settings, .http = http, .clock = clock, .baseUrl = "https://backend:8443/v"});
  }
  std::optional<std::string> stored(const char* key = DeviceApi::kSettingsKey) {
    return settings.getString(key);
  }
  void TearDown() override {
    clock.settle();
    for (const auto& line : log.texts()) EXPECT_THAT(line, Not(HasSubstr(kToken)));
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  ScriptedHttpClient http{clock};
};

TEST_F(DeviceApiTest, TheFirstOfferedKeyConfirmedIsHeldForGoodAndRequestsCarryIt) {
  auto api = start();
  EXPECT_THAT(http.sent(), IsEmpty()) << "no key, no request";
  http.hold();  // two offers checked at once
  api->setDeviceToken("new key & more+");
  api->setDeviceToken("second");
  http.release();
  ASSERT_EQ(http.sent().size(), 2u);
  const HttpRequest check = http.sent()[0].request;
  EXPECT_EQ(
      check.method + " " + check.url + check.body,
      "GET https://backend:8443/api/1/device/current?device_session_key=new%20key%20&%20more+");
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(stored(), "new key & more+");

  api->setDeviceToken("another");
  EXPECT_EQ(http.sent().size(), 2u) << "a held key is never replaced";
  api->deviceRequest("/api/1/audit_event", nlohmann::json{{"event_list", {1, 2}}}, 0,
                     [](auto, auto) {});
  const HttpRequest post = http.sent().back().request;
  EXPECT_EQ(post.method + " " + post.url + " " + post.body,
            "POST https://backend:8443/api/1/audit_event?device_session_key=new%20key%20&%20more+ "
            R"({"event_list":[1,2]})");
  EXPECT_EQ(post.headers, (decltype(post.headers){{"Content-Type", "application/json"}}));
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
    auto api = start();
    EXPECT_EQ(api->isReady(), kept) << answer.status << answer.body;
    EXPECT_EQ(stored(), kept ? std::optional<std::string>(kToken) : std::nullopt);
  }
  EXPECT_THAT(log.texts(),
              Contains("ZORVA_LOG: ERROR: DeviceApi.init: bad token: secr...(23 bytes)"));
}

TEST_F(DeviceApiTest, AnUnreachableBackendAtStartUpKeepsTheStoredKey) {
  settings.set(DeviceApi::kSettingsKey, kToken);
  http.answer({status(503)});
  auto api = start();
  EXPECT_TRUE(api->isReady()) << "requests meanwhile use the stored key";
  clock.advance(99 * 20s);
  auto sent = http.sent();
  ASSERT_EQ(sent.size(), 100u);
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].at - sent[i - 1].at, 20s);
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(stored(), kToken);
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
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(stored(DeviceApi::kPendingKey), kToken);
  EXPECT_GT(http.sent().size(), 25u) << "checked again and again";

  api.reset();  // a restart in the middle of the outage
  http.answer({status(500), status(500), status(200)});
  api = start();
  clock.advance(DeviceApi::kRetryPause * 2);
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(stored(), kToken);
  EXPECT_EQ(stored(DeviceApi::kPendingKey), std::nullopt);

  api.reset();
  settings.remove(DeviceApi::kSettingsKey);
  http.answer({status(500), status(403)});
  api = start();
  api->setDeviceToken("refused-one");
  clock.advance(DeviceApi::kRetryPause);
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(stored(DeviceApi::kPendingKey), std::nullopt);
}

// Another process holds the settings at start-up: the stored key is not taken for none.
TEST_F(DeviceApiTest, AStoredKeyThatCannotBeReadYetIsReadLater) {
  settings.set(DeviceApi::kSettingsKey, kToken);
  settings.setLocked(true);
  auto api = start();
  EXPECT_FALSE(api->isReady());
  clock.advance(DeviceApi::kSettingsRetry * 3);
  settings.setLocked(false);
  clock.advance(DeviceApi::kSettingsRetry);
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(stored(), kToken);
  EXPECT_EQ(std::ranges::count_if(log.texts(),
                                  [](const std::string& line) {
                                    return line.find("cannot be read now") != std::string::npos;
                                  }),
            1)
      << "said once";
}

TEST_F(DeviceApiTest, RetriesOnlyTransportFailuresAndServerErrors) {
  auto api = start();
  struct Case {
    HttpResponse answer;
    int64_t retries;
    size_t attempts;
    std::optional<Error> error;
  };
  const HttpResponse timeout{.transportError = "Timeout was reached", .transportCode = 28};
  const Case cases[] = {{status(299, R"({"a": 1})"), 5, 1, std::nullopt},
                        {status(300), 5, 1, Error{"http", 300, ""}},
                        {status(404), 5, 1, Error{"http", 404, ""}},
                        {status(500), 0, 1, Error{"http", 500, ""}},
                        {status(500), 5, 6, Error{"http", 500, ""}},
                        {timeout, 2, 3, Error{"transport", 28, "Timeout was reached"}}};
  for (const Case& c : cases) {
    http.answer({c.answer});
    const size_t before = http.sent().size();
    std::vector<std::pair<std::optional<Error>, DeviceApi::Reply>> results;
    api->sendRequest("/api/1/x", std::nullopt, c.retries,
                     [&](const std::optional<Error>& error, DeviceApi::Reply reply) {
                       results.emplace_back(error, std::move(reply));
                     });
    clock.advance(10 * 20s);
    EXPECT_EQ(http.sent().size() - before, c.attempts) << c.answer.status;
    ASSERT_EQ(results.size(), 1u) << "the handler runs exactly once";
    EXPECT_EQ(results[0].first, c.error);
    EXPECT_EQ(results[0].second, c.error ? DeviceApi::Reply() : nlohmann::json({{"a", 1}}));
  }
}

TEST(DeviceApiText, KeysAreEncodedForAQueryAndRedactedWholeCharacters) {
  EXPECT_EQ(DeviceApi::stringFromUrl("/p?a=1", "é/?:@!$'()*,;=~"),
            "/p?a=1?device_session_key=%C3%A9/?:@!$'()*,;=~");
  EXPECT_EQ(DeviceApi::redacted("éééééé"), "éééé...(12 bytes)");
  EXPECT_EQ(DeviceApi::redacted("ab"), "ab...(2 bytes)");
}

}  // namespace
}  // namespace zorva
