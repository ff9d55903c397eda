#include "service/Daemon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/dbus/testing/FakeBusTransport.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/ScriptedHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

using Lines = std::vector<std::string>;

// Says in the log what is asked of it, so the start-up's steps and lines are one sequence.
struct ScriptedSource final : EventSource {
  ScriptedSource(es_new_client_result_t c, es_return_t s) : created(c), subscribeResult(s) {}
  es_new_client_result_t newClient(es_client_t** out, es_handler_block_t) override {
    ZorvaLog("source: newClient");
    *out = &client;
    return created;
  }
  es_return_t subscribe(es_client_t*, const es_event_type_t* events, uint32_t count) override {
    ZorvaLog("source: subscribe");
    subscribed.assign(events, events + count);
    return subscribeResult;
  }
  es_return_t deleteClient(es_client_t* deleted) override {
    if (deleted == &client) ZorvaLog("source: deleteClient");
    return ES_RETURN_SUCCESS;
  }
  es_new_client_result_t created;
  es_return_t subscribeResult;
  std::vector<es_event_type_t> subscribed;
  es_client_t client;
};

// The real parts on fakes of the platform, with real stores in a temporary folder, each start on
// the stores of the one before, where a start that ran would leave its launch line. A start-up's
// log begins with its launch line, whatever the stores have to say; the control interface listens
// only once events flow. A service that cannot see events never listens for client applications
// and records no launch; its error line reaches the telemetry client.
TEST(ServiceStartUp, RunsInOrderAndRecordsItsLaunchOrEndsWithStatusOneWithoutEvents) {
  MemoryLogWriter log;
  ManualClock clock;
  TempFolder state{"zorva-daemon-test"};
  const Lines before = {"launch app: 1.2.3", "state folder note", "source: newClient"};
  // The results of creating the client and of subscribing, {} for success, and the lines after.
  const std::tuple<es_new_client_result_t, es_return_t, Lines> cases[] = {
      {ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED, {}, {"ERROR: Failed to create new ES client: 4"}},
      {{},
       ES_RETURN_ERROR,
       {"source: subscribe", "ERROR: Failed to subscribe to events", "source: deleteClient"}},
      {{}, {}, {"source: subscribe", "XPCServer: init done", "XPC: listening", "dispatch_main"}}};
  for (const auto& [created, subscribed, after] : cases) {
    auto source = std::make_unique<ScriptedSource>(created, subscribed);
    auto http = std::make_unique<ScriptedHttpClient>(clock);
    auto bus = std::make_unique<FakeBusTransport>();
    const ScriptedSource& events = *source;
    const FakeBusTransport& listener = *bus;
    const ScriptedHttpClient& sent = *http;
    http->hold();  // the first upload stays in flight and what was recorded stays to be read
    log.clear();
    ::setenv("CFNETWORK_DIAGNOSTICS", "1", 1);
    Daemon daemon(
        {"1.2.3", state.path(), "https://b.test", "https://a.test", {"state folder note"}},
        {.clock = clock,
         .eventSource = std::move(source),
         .http = std::move(http),
         .bus = std::move(bus)});
    const bool runs = subscribed == ES_RETURN_SUCCESS && created == ES_NEW_CLIENT_RESULT_SUCCESS;
    EXPECT_EQ(daemon.start(), runs ? EXIT_SUCCESS : 1);
    clock.settle();
    EXPECT_STREQ(std::getenv("CFNETWORK_DIAGNOSTICS"), "0");
    Lines expected = before, logged;
    expected.insert(expected.end(), after.begin(), after.end());
    for (const std::string& text : log.texts()) {
      // The audit queue's line is written whenever its own queue gets to it.
      if (text != "ZORVA_LOG: EventQueue: init done") logged.push_back(text.substr(11));
    }
    if (runs) logged.resize(expected.size());
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(listener.listening(), runs);
    const auto launch = nlohmann::json::parse(R"({"event_datetime": "2026-01-01T00:00:00Z",
        "type": "event", "kingdom": "game", "phylum": "launch"})");
    EXPECT_EQ(std::ranges::count(daemon.telemetry()->events(), launch), runs);
    Lines appLog;  // the telemetry client's log lines
    for (const auto& [request, at] : sent.sent()) {
      if (request.url.find("/1/app_log?") == std::string::npos) continue;
      const auto body = nlohmann::json::parse(request.body);
      for (const auto& line : body["events"]) appLog.push_back(line["log_line"]);
    }
    EXPECT_EQ(std::ranges::count(appLog, "launch app"), runs);
    if (!runs) {
      EXPECT_THAT(appLog, ::testing::Contains(after[after.size() > 1].substr(7)));
    } else {
      EXPECT_EQ(events.subscribed, (std::vector<es_event_type_t>{
                                       ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK,
                                       ES_EVENT_TYPE_NOTIFY_LINK, ES_EVENT_TYPE_NOTIFY_OPEN,
                                       ES_EVENT_TYPE_NOTIFY_CLOSE, ES_EVENT_TYPE_NOTIFY_CLONE,
                                       ES_EVENT_TYPE_NOTIFY_COPYFILE, ES_EVENT_TYPE_NOTIFY_RENAME,
                                       ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA}));
    }
  }
}

}  // namespace
}  // namespace zorva
