// The telemetry uploads against a real local HTTPS server through the real libcurl client. Time
// rules run on a ManualClock; since the clock cannot see exchanges in flight on the HTTP thread,
// every step waits for the exchanges it caused to finish before looking.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/HttpTestServer.h"
#include "platform/http/testing/WatchedHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "telemetry/Pravix.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kTrack = "/zorva/1/track";
constexpr const char* kAppLog = "/zorva/1/app_log";

const TelemetryIdentity kIdentity{.appVersion = "1.2.3",
                                  .osVersion = "6.1.0",
                                  .deviceType = "x86_64",
                                  .language = "en",
                                  .country = "US"};

struct StartOptions {
  std::string url{};  // empty: the local server
  size_t logCap = Pravix::kDefaultCap;
  std::optional<std::string> zone{};
};

struct Received {
  std::string path;
  json body;
  std::string query;
  std::optional<std::string> contentType;
};

class PravixUploadTest : public ::testing::Test {
 protected:
  PravixUploadTest() {
    for (const char* path : {kTrack, kAppLog}) {
      server.setHandler("POST", path, [this, path](const HttpTestServer::Request&) {
        std::function<void(size_t)> hook;
        int status = 200;
        size_t count = 0;
        {
          std::lock_guard lock(mutex_);
          count = ++counts_[path];
          auto& scripted = statuses_[path];
          if (!scripted.empty()) {
            status = scripted.front();
            scripted.pop_front();
          }
          hook = hooks_[path];
        }
        // Runs while the request is in flight: what it records arrives before the answer.
        if (hook) {
          hook(count);
          // ThreadSanitizer cannot see the reply on the wire: this lock hands what the hook did
          // over to the test's thread, which takes it before tearing the client down.
          std::lock_guard lock(mutex_);
        }
        return HttpTestServer::Reply{.status = status, .body = "{}"};
      });
    }
  }

  void TearDown() override { stop(); }

  void start(SettingsStore& store, const StartOptions& options = StartOptions()) {
    http = std::make_unique<WatchedHttpClient>(clock, server.caFile());
    pravix = std::make_unique<Pravix>(
        Pravix::Dependencies{.settings = store,
                             .http = *http,
                             .clock = clock,
                             .analyticsUrl = options.url.empty() ? server.url() : options.url,
                             .identity = kIdentity,
                             .logCap = options.logCap},
        "key-1", "Zorva", options.zone);
    finish();
  }
  void start() { start(settings); }
  // A start whose install and "dau" are already behind it.
  void startQuiet(SettingsStore& store, const StartOptions& options = StartOptions()) {
    store.set(Pravix::kInstallSentKey, true);
    store.set(Pravix::kLastDauKey, SettingValue(clock.now()));
    start(store, options);
  }
  void startQuiet() { startQuiet(settings); }

  void stop() {
    // The client first: its cancelled completions still reach the telemetry client.
    http.reset();
    clock.settle();
    { std::lock_guard lock(mutex_); }
    pravix.reset();
  }

  // Waits until every exchange begun so far has finished and its consequences have run,
  // including exchanges those consequences began.
  void finish() { ASSERT_TRUE(http->finishExchanges()) << "an exchange did not finish"; }
  void advance(Clock::Duration by) {
    clock.advance(by);
    finish();
  }

  void script(const std::string& path, std::initializer_list<int> statuses) {
    std::lock_guard lock(mutex_);
    statuses_[path].insert(statuses_[path].end(), statuses);
  }
  void hook(const std::string& path, std::function<void(size_t)> onRequest) {
    std::lock_guard lock(mutex_);
    hooks_[path] = std::move(onRequest);
  }

  std::vector<Received> received(const std::string& path) const {
    std::vector<Received> out;
    for (const auto& request : server.requests()) {
      if (request.path != path) continue;
      out.push_back({request.path, json::parse(request.body, nullptr, false), request.query,
                     request.header("Content-Type")});
    }
    return out;
  }
  // Per request, each event's or line's label: "kingdom" of events (else their type),
  // "log_line" of log lines.
  std::vector<std::vector<std::string>> batches(const std::string& path) const {
    std::vector<std::vector<std::string>> out;
    for (const Received& request : received(path)) {
      std::vector<std::string> labels;
      for (const json& record : request.body["events"]) {
        const char* label = record.contains("log_line")  ? "log_line"
                            : record.contains("kingdom") ? "kingdom"
                                                         : "type";
        labels.push_back(record[label].get<std::string>());
      }
      out.push_back(labels);
    }
    return out;
  }
  std::vector<std::string> console() const {
    std::vector<std::string> lines;
    for (const auto& line : log.lines()) {
      if (line.level == LogLevel::Console) lines.push_back(line.text);
    }
    return lines;
  }

  static SettingValue storedRecords(int count) {
    SettingValue::Array records;
    for (int i = 0; i < count; ++i) {
      // Built in place: GCC 12 at -O2 warns falsely on moving a temporary variant here.
      SettingValue::Dictionary record;
      record.emplace("type", "event");
      record.emplace("kingdom", "r" + std::to_string(i));
      record.emplace("event_datetime", "2025-12-31T10:00:00Z");
      records.emplace_back(std::move(record));
    }
    return records;
  }
  static std::vector<std::string> labels(const std::string& prefix, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i) out.push_back(prefix + std::to_string(i));
    return out;
  }

  // "first" goes out alone with ten older lines handed in behind it; their batch then fails with
  // a 500 while three newer lines are handed in.
  void failABatchWithNewerLinesWaiting() {
    script(kAppLog, {200, 500});
    hook(kAppLog, [this](size_t count) {
      const int lines = count == 1 ? 10 : count == 2 ? 3 : 0;
      for (int i = 0; i < lines; ++i) pravix->log((count == 1 ? "old" : "new") + std::to_string(i));
    });
    pravix->log("first");
    finish();
    advance(1s);
  }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  std::mutex mutex_;
  std::map<std::string, std::deque<int>> statuses_;
  std::map<std::string, std::function<void(size_t)>> hooks_;
  std::map<std::string, size_t> counts_;
  HttpTestServer server;  // after what its handlers use
  std::unique_ptr<WatchedHttpClient> http;
  std::unique_ptr<Pravix> pravix;
};

// --- Event upload ---

TEST_F(PravixUploadTest, StoredRecordsGoFirstTenAtATimeBackToBack) {
  // A restart after the first start, and a first start (whose install and dau queue behind).
  for (bool firstStart : {false, true}) {
    MemorySettingsStore store;
    store.set(Pravix::kEventListKey, storedRecords(25));
    const size_t before = batches(kTrack).size();
    firstStart ? start(store) : startQuiet(store);  // no clock step: each answer starts the next
    auto sent = batches(kTrack);
    ASSERT_EQ(sent.size(), before + 3);
    EXPECT_EQ(sent[before], labels("r", 0, 10));
    EXPECT_EQ(sent[before + 1], labels("r", 10, 20));
    std::vector<std::string> last = labels("r", 20, 25);
    if (firstStart) last.insert(last.end(), {"organic", "dau"});
    EXPECT_EQ(sent[before + 2], last);
    EXPECT_THAT(pravix->events(), IsEmpty());
    EXPECT_THAT(*store.getArray(Pravix::kEventListKey), IsEmpty());
    stop();
  }
  const Received first = received(kTrack)[0];
  EXPECT_EQ(first.query, "current_time=2026-01-01T00:00:00Z");
  EXPECT_EQ(first.contentType, "application/json");
  EXPECT_EQ(first.body["api_key"], "key-1");
  EXPECT_EQ(first.body["device_family"], "linux");
  EXPECT_EQ(first.body["os"], "Linux");
  EXPECT_EQ(first.body.size(), 11u) << "identity, os, marketplace and events; no tags";
}

TEST_F(PravixUploadTest, AServerErrorKeepsTheBatchForThirtySeconds) {
  startQuiet();
  script(kTrack, {500});
  pravix->eventWithProperties(json{{"kingdom", "a"}});
  finish();
  EXPECT_THAT(console(), ElementsAre("PX_LOG: sendEvents: send complete: unknown error"));
  EXPECT_EQ(pravix->events().size(), 1u);
  EXPECT_EQ(settings.getArray(Pravix::kEventListKey)->size(), 1u);
  advance(29s);
  EXPECT_EQ(batches(kTrack).size(), 1u);
  advance(1s);
  EXPECT_THAT(batches(kTrack), ElementsAre(ElementsAre("a"), ElementsAre("a")));
  EXPECT_EQ(received(kTrack)[0].body["events"], received(kTrack)[1].body["events"]);
  EXPECT_THAT(pravix->events(), IsEmpty());
}

TEST_F(PravixUploadTest, RejectedBatchesAreDroppedAndTheNextGoesAtOnce) {
  const std::pair<int, std::vector<std::string>> cases[] = {
      {403, {"PX_LOG: Bad authentication, please check your API Key"}},
      {409, {"PX_LOG: Conflict, dup send?"}},
      {400, {}},
  };
  for (const auto& [status, lines] : cases) {
    MemorySettingsStore store;
    store.set(Pravix::kEventListKey, storedRecords(15));
    const size_t before = batches(kTrack).size();
    log.clear();
    script(kTrack, {status});
    startQuiet(store);
    auto sent = batches(kTrack);
    ASSERT_EQ(sent.size(), before + 2) << status;
    EXPECT_EQ(sent[before + 1], labels("r", 10, 15)) << status;
    EXPECT_THAT(pravix->events(), IsEmpty()) << status;
    EXPECT_THAT(*store.getArray(Pravix::kEventListKey), IsEmpty()) << status;
    EXPECT_EQ(console(), lines) << status;
    stop();
  }
}

TEST_F(PravixUploadTest, TwoIdenticalRecordsLeaveWithOneUpload) {
  startQuiet();
  hook(kTrack, [this](size_t) { pravix->eventWithProperties(json{{"kingdom", "same"}}); });
  pravix->eventWithProperties(json{{"kingdom", "same"}});
  finish();
  EXPECT_THAT(batches(kTrack), ElementsAre(ElementsAre("same")));
  EXPECT_THAT(pravix->events(), IsEmpty());
}

TEST_F(PravixUploadTest, RecordsJsonCannotCarryNeverHoldBackTheRest) {
  startQuiet();
  script(kTrack, {500});
  pravix->eventWithProperties(json{{"kingdom", "first"}});  // fails once: the rest queue up
  finish();
  pravix->eventWithProperties(json{{"kingdom", "a\xff"}});
  pravix->eventWithProperties(json{{"kingdom", "b"}, {"float1", std::nan("")}});
  pravix->economyWithProperties(json{{"kingdom", "c"}}, std::string("USD"), json(-INFINITY));
  pravix->eventWithProperties(json{{"kingdom", "d"}});
  finish();
  // Each new record starts a new attempt at once; the one JSON cannot carry never goes.
  std::vector<std::string> sent;
  for (const auto& batch : batches(kTrack)) sent.insert(sent.end(), batch.begin(), batch.end());
  EXPECT_THAT(sent, ElementsAre("first", "first", "b", "d"));
  EXPECT_FALSE(received(kTrack).back().body["events"][0].contains("float1"));
  EXPECT_THAT(pravix->events(), IsEmpty());
  EXPECT_THAT(console(), Contains("PX_LOG: bad value (nan) for float1"));
  EXPECT_THAT(console(), Contains("PX_LOG: bad value (-inf) for spendAmount"));
  EXPECT_THAT(console(), Contains("PX_LOG: dropping an event that cannot be sent: "
                                  "[json.exception.type_error.316] invalid UTF-8 byte at index "
                                  "1: 0xFF"));

  hook(kAppLog, [this](size_t count) {
    if (count == 1) {
      pravix->log("bad \xc3");
      pravix->log("good");
    }
  });
  pravix->log("first");
  finish();
  advance(1s);
  EXPECT_THAT(batches(kAppLog), ElementsAre(ElementsAre("first"), ElementsAre("good")));
}

TEST_F(PravixUploadTest, WithoutANetworkRecordsAndLinesWaitAndAreRetriedEveryThirtySeconds) {
  startQuiet(settings, {.url = "https://127.0.0.1:1"});  // nothing listens there
  pravix->eventWithProperties(json{{"kingdom", "a"}});
  pravix->log("line");
  finish();
  const std::string refused = "PX_LOG: error from url: 7, Couldn't connect to server";
  const std::string unknown = "PX_LOG: sendEvents: send complete: unknown error";
  EXPECT_THAT(console(), ::testing::UnorderedElementsAre(refused, unknown));
  advance(30s);
  EXPECT_THAT(console(), ::testing::UnorderedElementsAre(refused, unknown, refused, unknown));
  EXPECT_EQ(pravix->events().size(), 1u);
  EXPECT_EQ(pravix->waitingLogLines().size(), 1u);
}

// --- Daily-active ---

TEST_F(PravixUploadTest, DauAfterMidnightInItsTimeZoneAndWhenTheClockGoesBack) {
  struct Case {
    std::optional<std::string> zone;
    // "dau" events so far at 15:05 UTC (past midnight in Tokyo), at 00:05 UTC the next day, and
    // after the clock is set back to the day before the first.
    int atTokyoMidnight, atUtcMidnight, setBack;
  };
  for (const Case& c : {Case{std::nullopt, 1, 2, 3}, Case{"Asia/Tokyo", 2, 2, 3}}) {
    MemorySettingsStore store;
    store.set(Pravix::kInstallSentKey, true);
    clock.setWallTime(ManualClock::kDefaultStart);
    const size_t before = batches(kTrack).size();
    start(store, {.zone = c.zone});
    auto dauCount = [&] { return static_cast<int>(batches(kTrack).size() - before); };
    EXPECT_EQ(dauCount(), 1) << "the first check records one";
    advance(600s);
    EXPECT_EQ(dauCount(), 1) << "same day";
    clock.setWallTime(ManualClock::kDefaultStart + 14h + 55min);
    advance(600s);
    EXPECT_EQ(dauCount(), c.atTokyoMidnight);
    clock.setWallTime(ManualClock::kDefaultStart + 23h + 55min);
    advance(600s);  // 00:05 UTC on 2 January
    EXPECT_EQ(dauCount(), c.atUtcMidnight);
    clock.setWallTime(ManualClock::kDefaultStart - 12h);
    advance(600s);  // set back to the last day of the year before
    EXPECT_EQ(dauCount(), c.setBack);
    EXPECT_EQ(store.getDate(Pravix::kLastDauKey), clock.now());
    stop();
  }
}

// --- App log ---

TEST_F(PravixUploadTest, WaitingLinesGoOutTenAtATimeOneSecondApart) {
  startQuiet();
  hook(kAppLog, [this](size_t count) {
    if (count == 1) {
      for (int i = 0; i < 25; ++i) pravix->log("l" + std::to_string(i));
    }
  });
  pravix->log("alone");
  finish();
  EXPECT_THAT(batches(kAppLog), ElementsAre(ElementsAre("alone")));
  for (auto [from, to] : {std::pair{0, 10}, {10, 20}, {20, 25}}) {
    advance(999ms);
    EXPECT_EQ(batches(kAppLog).size(), static_cast<size_t>(1 + from / 10));
    advance(1ms);
    EXPECT_EQ(batches(kAppLog).back(), labels("l", from, to));
  }
  EXPECT_THAT(pravix->waitingLogLines(), IsEmpty());
}

TEST_F(PravixUploadTest, AFailedLogBatchGoesBehindNewerLines) {
  startQuiet();
  failABatchWithNewerLinesWaiting();
  EXPECT_EQ(batches(kAppLog).back(), labels("old", 0, 10));
  EXPECT_THAT(console(), ElementsAre("PX_LOG: sendEvents: send complete: unknown error"));
  advance(29s);
  EXPECT_EQ(batches(kAppLog).size(), 2u) << "30 seconds after a failure";
  advance(1s);
  std::vector<std::string> third = labels("new", 0, 3);
  for (const auto& line : labels("old", 0, 7)) third.push_back(line);
  EXPECT_EQ(batches(kAppLog).back(), third);
  advance(1s);
  EXPECT_EQ(batches(kAppLog).back(), labels("old", 7, 10));
}

TEST_F(PravixUploadTest, APutBackPastTheCapLosesItsOldestLines) {
  startQuiet(settings, {.logCap = 11});
  failABatchWithNewerLinesWaiting();
  std::vector<std::string> waiting;
  for (const json& line : pravix->waitingLogLines()) waiting.push_back(line["log_line"]);
  std::vector<std::string> expected = labels("new", 0, 3);
  for (const auto& line : labels("old", 2, 10)) expected.push_back(line);
  EXPECT_EQ(waiting, expected);
  EXPECT_THAT(console(),
              Contains("PX_LOG: more than 11 log lines waiting; dropped the oldest 2 (2 so far)"));
}

TEST_F(PravixUploadTest, ARejectedLogBatchIsDroppedAndTheNextFollowsAfterASecond) {
  startQuiet();
  script(kAppLog, {403});
  hook(kAppLog, [this](size_t count) {
    if (count == 1) pravix->logError("later");
  });
  pravix->log("first");
  finish();
  EXPECT_THAT(console(), ElementsAre("PX_LOG: Bad authentication, please check your API Key"));
  advance(1s);
  ASSERT_EQ(received(kAppLog).size(), 2u);
  EXPECT_EQ(received(kAppLog)[1].body["events"],
            json::array({{{"event_datetime", "2026-01-01T00:00:00Z"},
                          {"log_line", "later"},
                          {"log_level", "error"}}}));
  EXPECT_EQ(received(kAppLog)[1].body.size(), 11u);
}

// --- Callers on other threads ---

TEST_F(PravixUploadTest, RecordsAndLinesFromManyThreadsAllArrive) {
  startQuiet();
  script(kTrack, {500, 200, 500});
  script(kAppLog, {200, 500});
  constexpr int kThreads = 4;
  constexpr int kEach = 30;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string name = std::to_string(t) + "-" + std::to_string(i);
        pravix->eventWithProperties(json{{"kingdom", name}});
        pravix->logError(name);
        if (i % 10 == 0) pravix->setGroupTag("g" + name);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int step = 0; step < 200; ++step) {
    if (pravix->events().empty() && pravix->waitingLogLines().empty()) break;
    advance(1s);
  }
  std::set<std::string> events;
  std::set<std::string> lines;
  for (const auto& batch : batches(kTrack)) events.insert(batch.begin(), batch.end());
  for (const auto& batch : batches(kAppLog)) lines.insert(batch.begin(), batch.end());
  EXPECT_EQ(events.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_THAT(pravix->events(), IsEmpty());
  for (const Received& request : received(kTrack)) {
    for (const json& event : request.body["events"]) EXPECT_EQ(event.size(), 3u);
  }
}

}  // namespace
}  // namespace zorva
