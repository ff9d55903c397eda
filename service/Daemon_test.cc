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

using ::testing::Contains;
using Lines = std::vector<std::string>;

// Says in the log what is asked of it, so the start-up's steps and lines are one sequence.
class ScriptedSource final : public EventSource {
 public:
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

  es_new_client_result_t created = ES_NEW_CLIENT_RESULT_SUCCESS;
  es_return_t subscribeResult = ES_RETURN_SUCCESS;
  std::vector<es_event_type_t> subscribed;
  es_client_t client;
};

// The real parts on fakes of the platform, with real stores in a temporary folder. How they
// join up at run time is zorvad_program's and the end-to-end tests' concern; here, the order.
class ServiceStartUp : public ::testing::Test {
 protected:
  int start(es_new_client_result_t created, es_return_t subscribed) {
    _daemon.reset();
    _log.clear();
    auto source = std::make_unique<ScriptedSource>();
    auto http = std::make_unique<ScriptedHttpClient>(_clock);
    http->hold();  // the first upload stays in flight and what was recorded stays to be read
    auto bus = std::make_unique<FakeBusTransport>();
    _source = source.get();
    _http = http.get();
    _bus = bus.get();
    source->created = created;
    source->subscribeResult = subscribed;
    _daemon = std::make_unique<Daemon>(Daemon::Setup{"1.2.3",
                                                     _state.path(),
                                                     "https://backend.test",
                                                     "https://analytics.test",
                                                     {"state folder note"}},
                                       Daemon::Platform{.clock = _clock,
                                                        .eventSource = std::move(source),
                                                        .http = std::move(http),
                                                        .bus = std::move(bus)});
    const int status = _daemon->start();
    _clock.settle();
    return status;
  }
  // Without the prefix, and without the audit queue's line, which its own queue writes whenever.
  Lines lines() {
    Lines lines;
    for (const std::string& text : _log.texts()) {
      if (text != "ZORVA_LOG: EventQueue: init done") lines.push_back(text.substr(11));
    }
    return lines;
  }
  Lines appLog() {  // the telemetry client's log lines, sent or waiting
    Lines lines;
    for (const auto& [request, at] : _http->sent()) {
      if (request.url.find("/1/app_log?") == std::string::npos) continue;
      const auto body = nlohmann::json::parse(request.body);
      for (const auto& line : body["events"]) lines.push_back(line["log_line"]);
    }
    for (const auto& line : _daemon->telemetry()->waitingLogLines()) {
      lines.push_back(line["log_line"]);
    }
    return lines;
  }

  MemoryLogWriter _log;
  ManualClock _clock;
  TempFolder _state{"zorva-daemon-test"};
  ScriptedSource* _source = nullptr;  // the three are the daemon's
  ScriptedHttpClient* _http = nullptr;
  FakeBusTransport* _bus = nullptr;
  std::unique_ptr<Daemon> _daemon;
};

// A start-up's log begins with its launch line, whatever the stores have to say; the control
// interface listens only once events flow. A service that cannot see events never listens for
// client applications and records no launch; its error line reaches the telemetry client.
TEST_F(ServiceStartUp, RunsInOrderAndRecordsItsLaunchOrEndsWithStatusOneWithoutEvents) {
  const Lines before = {"launch app: 1.2.3", "state folder note", "source: newClient"};
  // Each on the stores of the one before, where a start that ran would leave its launch line.
  // The results of creating the client and of subscribing, {} for success, and the lines after.
  const std::tuple<es_new_client_result_t, es_return_t, Lines> cases[] = {
      {ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED, {}, {"ERROR: Failed to create new ES client: 4"}},
      {{},
       ES_RETURN_ERROR,
       {"source: subscribe", "ERROR: Failed to subscribe to events", "source: deleteClient"}},
      {{}, {}, {"source: subscribe", "XPCServer: init done", "XPC: listening", "dispatch_main"}}};
  for (const auto& [created, subscribed, after] : cases) {
    ::setenv("CFNETWORK_DIAGNOSTICS", "1", 1);
    const bool runs = subscribed == ES_RETURN_SUCCESS && created == ES_NEW_CLIENT_RESULT_SUCCESS;
    EXPECT_EQ(start(created, subscribed), runs ? EXIT_SUCCESS : 1);
    EXPECT_STREQ(std::getenv("CFNETWORK_DIAGNOSTICS"), "0");
    Lines expected = before;
    expected.insert(expected.end(), after.begin(), after.end());
    Lines logged = lines();
    if (runs) logged.resize(expected.size());
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(_bus->listening(), runs);
    const nlohmann::json launch = {{"event_datetime", "2026-01-01T00:00:00Z"},
                                   {"type", "event"},
                                   {"kingdom", "game"},
                                   {"phylum", "launch"}};
    EXPECT_EQ(std::ranges::count(_daemon->telemetry()->events(), launch), runs);
    EXPECT_EQ(std::ranges::count(appLog(), "launch app"), runs);
    if (!runs) {
      EXPECT_THAT(appLog(), Contains(after[after.size() > 1].substr(7)));
    }
  }
  EXPECT_EQ(_source->subscribed,
            (std::vector<es_event_type_t>{
                ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK,
                ES_EVENT_TYPE_NOTIFY_LINK, ES_EVENT_TYPE_NOTIFY_OPEN, ES_EVENT_TYPE_NOTIFY_CLOSE,
                ES_EVENT_TYPE_NOTIFY_CLONE, ES_EVENT_TYPE_NOTIFY_COPYFILE,
                ES_EVENT_TYPE_NOTIFY_RENAME, ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA}));
}

}  // namespace
}  // namespace zorva
