#include "service/Service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/testing/MessageBuilders.h"
#include "platform/http/testing/SilentHttpClient.h"
#include "platform/log/Log.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "tracking/testing/MockPathTracker.h"

namespace zorva {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Eq;
using ::testing::IsEmpty;

// The fixture is the event source: it records the order of start-up steps and lets a test fail
// creation or subscription.
class ServiceTest : public ::testing::Test, public EventSource {
 protected:
  StartupResult start() {
    ServiceParts parts{.version = "1.2.3",
                       .eventSource = *this,
                       .openState =
                           [this] {
                             steps.push_back("openState");
                             // As a store says what it found wrong while it opens.
                             ZorvaError(FaultKind::Store, "Failed to open settings database");
                           },
                       .sharedDeviceApi = [this] { steps.push_back("deviceApi"); },
                       .sharedTracker = [this]() -> PathTrackerInterface& {
                         steps.push_back("tracker");
                         return tracker;
                       },
                       .sharedEventQueue = [this] { steps.push_back("eventQueue"); },
                       .sharedTelemetry =
                           [this] {
                             steps.push_back("telemetry");
                             pravix = std::make_unique<Pravix>(
                                 Pravix::Dependencies{.settings = settings,
                                                      .http = http,
                                                      .clock = clock,
                                                      .analyticsUrl = "https://analytics.test",
                                                      .identity = {}},
                                 "key", "zorva");
                           },
                       .startControlInterface = [this] { steps.push_back("listen"); },
                       .telemetry = [this] { return pravix.get(); }};
    return startService(parts);
  }

  es_new_client_result_t newClient(es_client_t** out, es_handler_block_t block) override {
    steps.push_back("newClient");
    if (newClientResult != ES_NEW_CLIENT_RESULT_SUCCESS) return newClientResult;
    handler = std::move(block);
    *out = &client;
    return ES_NEW_CLIENT_RESULT_SUCCESS;
  }
  es_return_t subscribe(es_client_t* c, const es_event_type_t* events, uint32_t count) override {
    steps.push_back("subscribe");
    EXPECT_EQ(c, &client);
    subscribed.assign(events, events + count);
    return subscribeResult;
  }
  es_return_t deleteClient(es_client_t* c) override {
    steps.push_back("deleteClient");
    EXPECT_EQ(c, &client);
    return ES_RETURN_SUCCESS;
  }

  MemoryLogWriter log;
  MockPathTracker tracker;
  std::vector<std::string> steps;
  es_new_client_result_t newClientResult = ES_NEW_CLIENT_RESULT_SUCCESS;
  es_return_t subscribeResult = ES_RETURN_SUCCESS;
  std::vector<es_event_type_t> subscribed;
  es_client_t client;
  es_handler_block_t handler;
  ManualClock clock;
  MemorySettingsStore settings;
  SilentHttpClient http;
  std::unique_ptr<Pravix> pravix;  // after what it uses
};

TEST_F(ServiceTest, StartsInOrderSubscribesToTheNineEventsAndDispatches) {
  ::setenv("CFNETWORK_DIAGNOSTICS", "1", 1);
  StartupResult result = start();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.client, nullptr);
  EXPECT_STREQ(std::getenv("CFNETWORK_DIAGNOSTICS"), "0");
  EXPECT_THAT(steps, ElementsAre("openState", "deviceApi", "tracker", "eventQueue", "telemetry",
                                 "newClient", "subscribe", "listen"));
  EXPECT_THAT(subscribed,
              ElementsAreArray({ES_EVENT_TYPE_NOTIFY_TRUNCATE, ES_EVENT_TYPE_NOTIFY_UNLINK,
                                ES_EVENT_TYPE_NOTIFY_LINK, ES_EVENT_TYPE_NOTIFY_OPEN,
                                ES_EVENT_TYPE_NOTIFY_CLOSE, ES_EVENT_TYPE_NOTIFY_CLONE,
                                ES_EVENT_TYPE_NOTIFY_COPYFILE, ES_EVENT_TYPE_NOTIFY_RENAME,
                                ES_EVENT_TYPE_NOTIFY_EXCHANGEDATA}));
  // A start-up's log begins with its launch line, whatever the stores have to say.
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: launch app: 1.2.3",
                                       "ZORVA_LOG: ERROR: Failed to open settings database",
                                       "ZORVA_LOG: dispatch_main"));

  EXPECT_CALL(tracker, modify(std::optional<std::string>("/v/a"), _, Eq("UNLINK")));
  handler(&client, &testing::makeModify(ES_EVENT_TYPE_NOTIFY_UNLINK, "/v/a")->message());
}

TEST_F(ServiceTest, FailedClientCreationEndsWithStatusOneBeforeAnyListener) {
  newClientResult = ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED;
  StartupResult result = start();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.client, nullptr);
  EXPECT_THAT(steps, ElementsAre("openState", "deviceApi", "tracker", "eventQueue", "telemetry",
                                 "newClient"));  // nothing to delete, no listener
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: launch app: 1.2.3",
                                       "ZORVA_LOG: ERROR: Failed to open settings database",
                                       "ZORVA_LOG: ERROR: Failed to create new ES client: 4"));
}

TEST_F(ServiceTest, FailedSubscriptionDeletesTheClientAndEndsWithStatusOne) {
  subscribeResult = ES_RETURN_ERROR;
  EXPECT_EQ(start().exitStatus, 1);
  EXPECT_THAT(steps, ElementsAre("openState", "deviceApi", "tracker", "eventQueue", "telemetry",
                                 "newClient", "subscribe", "deleteClient"));
  EXPECT_THAT(log.texts(), ElementsAre("ZORVA_LOG: launch app: 1.2.3",
                                       "ZORVA_LOG: ERROR: Failed to open settings database",
                                       "ZORVA_LOG: ERROR: Failed to subscribe to events"));
}

TEST_F(ServiceTest, ARunningServiceRecordsItsLaunchEventAndLine) {
  EXPECT_EQ(start().exitStatus, 0);
  clock.settle();
  std::vector<nlohmann::json> events = pravix->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["type"], "install");
  EXPECT_EQ(events[1]["type"], "dau");
  EXPECT_EQ(events[2], (nlohmann::json{{"event_datetime", "2026-01-01T00:00:00Z"},
                                       {"type", "event"},
                                       {"kingdom", "game"},
                                       {"phylum", "launch"}}));
  // The first event upload and the launch line, on queues of their own: in either order.
  auto requests = http.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto line = std::find_if(requests.begin(), requests.end(), [](const HttpRequest& r) {
    return r.url.find("/1/app_log?") != std::string::npos;
  });
  ASSERT_NE(line, requests.end());
  EXPECT_EQ(nlohmann::json::parse(line->body)["events"][0]["log_line"], "launch app");
}

TEST_F(ServiceTest, AFailedStartRecordsNoLaunch) {
  subscribeResult = ES_RETURN_ERROR;
  EXPECT_EQ(start().exitStatus, 1);
  clock.settle();
  for (const auto& record : pravix->events()) EXPECT_NE(record["type"], "event");
  EXPECT_THAT(pravix->waitingLogLines(), IsEmpty());
  EXPECT_EQ(http.requests().size(), 1u) << "only the install and dau upload";
}

}  // namespace
}  // namespace zorva
