#include "backend/DeviceApi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Error = DeviceApi::Error;

// Answers each request at once from a script (the last answer repeats), and records requests
// with the manual clock's time.
class ScriptedHttpClient final : public HttpClient {
 public:
  explicit ScriptedHttpClient(Clock& clock) : clock_(clock) {}

  void answer(std::vector<HttpResponse> answers) {
    answers_.assign(answers.begin(), answers.end());
  }

  // While held, answers wait until release(): for offers whose checks overlap.
  void hold() { held_ = true; }
  void release() {
    held_ = false;
    for (auto& [done, response] : waiting_) done(std::move(response));
    waiting_.clear();
  }

  void send(HttpRequest request, Completion done) override {
    HttpResponse response;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({std::move(request), clock_.now()});
      response = answers_.size() > 1 ? answers_.front() : answers_.back();
      if (answers_.size() > 1) answers_.pop_front();
    }
    if (held_) {
      waiting_.emplace_back(std::move(done), std::move(response));
      return;
    }
    done(std::move(response));
  }

  struct Sent {
    HttpRequest request;
    Clock::TimePoint at;
  };
  std::vector<Sent> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  Clock& clock_;
  std::mutex mutex_;
  std::deque<HttpResponse> answers_{HttpResponse{200, "", std::nullopt, 0}};
  std::vector<Sent> requests_;
  bool held_ = false;
  std::vector<std::pair<Completion, HttpResponse>> waiting_;
};

HttpResponse status(long code, std::string body = "") {
  return HttpResponse{code, std::move(body), std::nullopt, 0};
}
HttpResponse timedOut() { return HttpResponse{0, "", "Timeout was reached", 28}; }

constexpr const char* kToken = "secret-token-0123456789";

class DeviceApiTest : public ::testing::Test {
 protected:
  std::unique_ptr<DeviceApi> start() {
    return std::make_unique<DeviceApi>(DeviceApi::Dependencies{
        .settings = settings, .http = http, .clock = clock, .baseUrl = "https://backend:8443/v"});
  }

  void expectTokenNeverLogged() {
    clock.settle();
    for (const auto& line : log.texts()) EXPECT_THAT(line, Not(HasSubstr(kToken))) << line;
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  ScriptedHttpClient http{clock};
};

TEST_F(DeviceApiTest, WithoutAStoredKeyNothingIsSentUntilOneIsOffered) {
  auto api = start();
  EXPECT_FALSE(api->isReady());
  EXPECT_THAT(http.requests(), IsEmpty());

  http.answer({status(200, R"({"is_disabled": 0})")});
  api->setDeviceToken("new key & more+");
  ASSERT_EQ(http.requests().size(), 1u);
  const HttpRequest check = http.requests()[0].request;
  EXPECT_EQ(check.method, "GET");
  EXPECT_EQ(check.url,
            "https://backend:8443/api/1/device/current?device_session_key=new%20key%20&%20more+");
  EXPECT_TRUE(check.body.empty());
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), "new key & more+");

  api->setDeviceToken("another");
  EXPECT_EQ(http.requests().size(), 1u) << "a held key is never replaced";
  EXPECT_THAT(log.texts(), Contains("ZORVA_LOG: setDeviceToken: already have token, ignoring"));
}

TEST_F(DeviceApiTest, OfTwoOffersCheckedAtOnceTheFirstConfirmedIsKept) {
  auto api = start();
  http.hold();
  api->setDeviceToken("first");
  api->setDeviceToken("second");
  http.release();
  EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), "first");
  EXPECT_TRUE(api->isReady());
}

TEST_F(DeviceApiTest, AStoredKeyTheBackendRefusesIsDroppedAndForgotten) {
  for (const HttpResponse& refusal :
       {status(401), status(302), status(200, R"({"is_disabled": 1})"),
        status(200, R"({"is_disabled": true})"), status(200, R"({"is_disabled": 1e300})"),
        status(200, R"({"is_disabled": 18446744073709551615})")}) {
    settings.set(DeviceApi::kSettingsKey, kToken);
    http.answer({refusal});
    auto api = start();
    EXPECT_FALSE(api->isReady()) << refusal.status << refusal.body;
    EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), std::nullopt);
    EXPECT_THAT(log.texts(),
                Contains("ZORVA_LOG: ERROR: DeviceApi.init: bad token: secr...(23 bytes)"));
  }
  expectTokenNeverLogged();
}

TEST_F(DeviceApiTest, AnswersThatConfirmTheKey) {
  for (const char* body :
       {R"({"is_disabled": 0})", "{}", "", "not json", "[1]", R"({"is_disabled": null})",
        R"({"is_disabled": "1"})", R"({"is_disabled": 0.5})", R"({"is_disabled": -1e300})"}) {
    settings.set(DeviceApi::kSettingsKey, kToken);
    http.answer({status(200, body)});
    auto api = start();
    EXPECT_TRUE(api->isReady()) << body;
    EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), kToken);
  }
}

TEST_F(DeviceApiTest, AnUnreachableBackendAtStartUpKeepsTheStoredKey) {
  settings.set(DeviceApi::kSettingsKey, kToken);
  http.answer({status(503)});
  auto api = start();
  EXPECT_TRUE(api->isReady()) << "requests meanwhile use the stored key";
  clock.advance(99 * 20s);
  auto sent = http.requests();
  ASSERT_EQ(sent.size(), 100u);
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].at - sent[i - 1].at, 20s);
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), kToken);
  auto lines = log.texts();
  EXPECT_THAT(lines, Contains("ZORVA_LOG: DeviceApi: sendRequest: retry: url: "
                              "/api/1/device/current?device_session_key=secr...(23 bytes), "
                              "error: http 503, count: 99"));
  EXPECT_THAT(lines, Contains(HasSubstr("count: 1")));
  EXPECT_THAT(lines, Contains(HasSubstr("ERROR: DeviceApi.init: could not check token")));
  expectTokenNeverLogged();
}

// A key handed over while the backend answers 500 is no bad key: it is kept, across a restart
// too, and checked every 20 seconds until the backend decides.
TEST_F(DeviceApiTest, AKeyOfferedDuringAnOutageIsKeptPendingUntilTheBackendDecides) {
  http.answer({status(500)});
  auto api = start();
  api->setDeviceToken(kToken);
  clock.advance(10min);
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(settings.getString(DeviceApi::kPendingKey), kToken);
  EXPECT_THAT(log.texts(), Not(Contains(HasSubstr("bad token"))));
  EXPECT_GT(http.requests().size(), 25u) << "checked again and again";

  api.reset();  // a restart in the middle of the outage
  http.answer({status(500), status(500), status(200)});
  api = start();
  clock.advance(DeviceApi::kRetryPause * 2);
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), kToken);
  EXPECT_EQ(settings.getString(DeviceApi::kPendingKey), std::nullopt);

  // A refusal is the backend's decision: the offer is dropped.
  api.reset();
  settings.remove(DeviceApi::kSettingsKey);
  http.answer({status(500), status(403)});
  api = start();
  api->setDeviceToken("refused-one");
  clock.advance(DeviceApi::kRetryPause);
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(settings.getString(DeviceApi::kPendingKey), std::nullopt);
  EXPECT_THAT(log.texts(), Contains(HasSubstr("setDeviceToken: bad token: refu")));
  expectTokenNeverLogged();
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
  EXPECT_EQ(settings.getString(DeviceApi::kSettingsKey), kToken);
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
  const Case cases[] = {
      {status(299, R"({"a": 1})"), 5, 1, std::nullopt},
      {status(300), 5, 1, Error{"http", 300, ""}},
      {status(404), 5, 1, Error{"http", 404, ""}},
      {status(500), 0, 1, Error{"http", 500, ""}},
      {status(500), 5, 6, Error{"http", 500, ""}},
      {timedOut(), 2, 3, Error{"transport", 28, "Timeout was reached"}},
  };
  size_t before = 0;
  for (const Case& c : cases) {
    http.answer({c.answer});
    std::vector<std::optional<Error>> results;
    DeviceApi::Reply reply;
    api->sendRequest("/api/1/x", std::nullopt, c.retries,
                     [&](const std::optional<Error>& error, DeviceApi::Reply r) {
                       results.push_back(error);
                       reply = std::move(r);
                     });
    clock.advance(10 * 20s);
    EXPECT_EQ(http.requests().size() - before, c.attempts) << c.answer.status;
    before = http.requests().size();
    ASSERT_EQ(results.size(), 1u) << "the handler runs exactly once";
    EXPECT_EQ(results[0], c.error);
    if (!c.error) {
      EXPECT_EQ(reply, nlohmann::json({{"a", 1}}));
    }
  }
}

TEST_F(DeviceApiTest, RequestsWithABodyArePostsOfCompactJson) {
  settings.set(DeviceApi::kSettingsKey, "k");
  auto api = start();
  api->deviceRequest("/api/1/audit_event", nlohmann::json{{"event_list", {1, 2}}}, 0,
                     [](auto, auto) {});
  const HttpRequest post = http.requests().back().request;
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.url, "https://backend:8443/api/1/audit_event?device_session_key=k");
  EXPECT_EQ(post.body, R"({"event_list":[1,2]})");
  EXPECT_THAT(post.headers,
              ElementsAre(std::pair<std::string, std::string>("Content-Type", "application/json")));
}

TEST(DeviceApiText, KeysAreEncodedForAQueryAndRedactedWholeCharacters) {
  EXPECT_EQ(DeviceApi::stringFromUrl("/p?a=1", "é/?:@!$'()*,;=~"),
            "/p?a=1?device_session_key=%C3%A9/?:@!$'()*,;=~");
  EXPECT_EQ(DeviceApi::redacted("éééééé"), "éééé...(12 bytes)");
  EXPECT_EQ(DeviceApi::redacted("ab"), "ab...(2 bytes)");
}

}  // namespace
}  // namespace zorva
