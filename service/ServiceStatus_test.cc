#include "service/ServiceStatus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backend/testing/MemoryAuditEventStore.h"
#include "platform/dbus/testing/FakeBusTransport.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/testing/MessageBuilders.h"
#include "platform/files/testing/FakeContentComparator.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "tracking/testing/TrackerFakes.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// The backend client, which takes every upload at once once it holds a key, and the control
// interface's other targets.
class FakeBackend final : public DeviceRequests, public DeviceTokenHolder, public VolumeRegistrar {
 public:
  bool isReady() const override { return ready; }
  void setOnReady(std::function<void()> onReady) override { _onReady = std::move(onReady); }
  void deviceRequest(std::string, std::optional<json>, int64_t, RequestHandler handler) override {
    handler(std::nullopt, std::nullopt);
  }
  void setDeviceToken(std::string) override {}
  void addVolume(int64_t, std::string_view, bool) override {}
  void becomeReady() {
    ready = true;
    _onReady();
  }
  std::atomic<bool> ready{false};

 private:
  std::function<void()> _onReady;
};

class FakeSource final : public EventSource {
 public:
  es_new_client_result_t newClient(es_client_t**, es_handler_block_t) override { return {}; }
  es_return_t subscribe(es_client_t*, const es_event_type_t*, uint32_t) override { return {}; }
  es_return_t deleteClient(es_client_t*) override { return {}; }
  EventSourceStatus status() const override {
    return {.eventsRead = 42,
            .queueOverflows = 3,
            .processTableLosses = 2,
            .staleHandles = 1,
            .mounts = {{"/", "ext4", MountCoverage::Coverage::Full, ""},
                       {"/mnt/share", "nfs4", MountCoverage::Coverage::Partial, "no renames"}}};
  }
};

// Asks for the status; the answers come once the clock has let every queue do its share.
struct Asker {
  explicit Asker(StatusSource& status) {
    status.gather([this](std::string text) {
      std::lock_guard lock(mutex);
      answers.push_back(json::parse(text));
    });
  }
  std::mutex mutex;
  std::vector<json> answers;
};

class ServiceStatusTest : public ::testing::Test {
 protected:
  json statusNow() {
    Asker asker(_status);
    _clock.settle();
    EXPECT_EQ(asker.answers.size(), 1u);
    return asker.answers.empty() ? json() : asker.answers[0];
  }
  void dispatch(const std::unique_ptr<OwnedMessage>& message) {
    _dispatcher.handle(message->message());
  }

  MemoryLogWriter _log;
  ManualClock _clock;
  MemorySettingsStore _settings;
  MemoryAuditEventStore _auditStore;
  FakeBackend _backend;
  FakeContentComparator _comparator;
  RecordingNotifier _notifier;
  FakeSource _source;
  FakeBusTransport _transport;
  DispatchCounters _counters;
  EventQueue _queue{{.api = _backend, .store = _auditStore, .clock = _clock}};
  PathTracker _tracker{{.settings = _settings,
                        .clock = _clock,
                        .audit = _queue,
                        .notifier = _notifier,
                        .comparator = _comparator}};
  XPCServer _server{{_transport, _backend, _backend, _clock, "1.2.3"}};
  EventDispatcher _dispatcher{_tracker, &_counters};
  ServiceStatus _status{_clock, "1.2.3",
                        statusParts({.eventSource = _source,
                                     .dispatch = _counters,
                                     .deviceApi = [this] { return &_backend; },
                                     .tracker = [this] { return &_tracker; },
                                     .auditQueue = [this] { return &_queue; },
                                     .telemetry = [] { return nullptr; },
                                     .control = [this] { return &_server; }},
                                    _clock)};
};

TEST_F(ServiceStatusTest, EachSubsystemsFiguresLandWhereTheReadmeSaysAfterTransfersAndAnUpload) {
  _server.start();
  _tracker.addVolume(7, "/media/usb", true);
  _tracker.addVolume(8, "/media/other", false);
  _server.trackVolume(7, _transport.connect(500));
  _comparator.setEqual("/media/usb/a.txt", "/tmp/a.txt");
  const testing::Actor reader{.pid = 11, .ppid = 10}, writer{.pid = 12, .ppid = 10};
  const testing::Actor client{.executable = "/opt/zorva-client/bin/zorva-client",
                              .platform = false};
  dispatch(testing::makeOpen("/media/usb/a.txt", S_IFREG | 0644, 1000, 1, reader));
  dispatch(testing::makeClose("/media/usb/a.txt", false, S_IFREG | 0644, 1000, reader));
  dispatch(testing::makeClose("/tmp/a.txt", true, S_IFREG | 0644, 1000, writer));  // a copy
  dispatch(testing::makeRenameToNew("/media/usb/b.txt", "/tmp", "b.txt"));
  dispatch(testing::makeOpen("/etc/hosts"));                  // concerns no watched file
  dispatch(testing::makeOpen("/media/usb", S_IFDIR | 0755));  // a folder
  dispatch(testing::makeOpen("/media/usb/c.txt", S_IFREG | 0644, 1000, 1, client));
  _clock.settle();
  _clock.advance(PathTracker::kFinalNameWait + 1s);  // the copy is reported once due

  struct Row {
    const char* pointer;
    json expected;
  };
  auto check = [](const json& status, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      EXPECT_EQ(status.value(json::json_pointer(row.pointer), json("(missing)")), row.expected)
          << row.pointer << " in " << status.dump();
    }
  };
  const json before = statusNow();
  check(before,
        {{"/version", "1.2.3"},
         {"/uptimeSeconds", 3},
         {"/deviceKeyHeld", false},
         {"/volumes",
          json::array(
              {{{"id", 7}, {"path", "/media/usb/"}, {"notify", true}, {"listener", ":1.1"}},
               {{"id", 8}, {"path", "/media/other/"}, {"notify", false}, {"listener", nullptr}}})},
         {"/events/read", 42},
         {"/events/dispatched", 7},
         {"/events/droppedByFilter", 2},
         {"/events/droppedByTracker", 1},
         {"/transfers/byRename", 1},
         {"/transfers/byContent", 1},
         {"/transfers/comparisons", 1},
         {"/audit/waiting", 2},
         {"/audit/oldestWaitingSince", "2026-01-01T00:00:00Z"},
         {"/audit/oldestWaitingSeconds", 3},
         {"/audit/lastUpload", nullptr},
         {"/audit/droppedByCap", 0},
         {"/kernel", {{"queueOverflows", 3}, {"processTableLosses", 2}, {"staleHandles", 1}}},
         {"/mounts/1",
          {{"mountPoint", "/mnt/share"},
           {"fsType", "nfs4"},
           {"coverage", "partial"},
           {"detail", "no renames"}}},
         {"/telemetry", "(missing)"},  // not created: left out, never created by a request
         {"/late", json::array()}});

  _backend.becomeReady();
  _clock.settle();
  check(
      statusNow(),
      {{"/deviceKeyHeld", true},
       {"/audit/waiting", 0},
       {"/audit/oldestWaitingSince", nullptr},
       {"/audit/lastUpload",
        {{"at", "2026-01-01T00:00:03Z"}, {"result", "accepted"}, {"status", 0}, {"records", 2}}}});
}

// A part that does not answer in time is left out and named; the others still arrive, nested
// members merged, and a late answer changes nothing.
TEST(ServiceStatusDeadlineTest, AnAnswerComesAtTheDeadlineWithoutTheSubsystemsThatAreStillBusy) {
  MemoryLogWriter log;
  ManualClock clock;
  std::mutex mutex;
  std::vector<StatusPart::Reply> held;
  ServiceStatus status(clock, std::nullopt,
                       {{"first",
                         [](StatusPart::Reply reply) {
                           reply({{"events", {{"read", 5}}}});
                         }},
                        {"stuck",
                         [&](StatusPart::Reply reply) {
                           std::lock_guard lock(mutex);
                           held.push_back(std::move(reply));
                         }},
                        {"second", [](StatusPart::Reply reply) {
                           reply({{"events", {{"dispatched", 4}}}});
                         }}});
  Asker asker(status);
  clock.settle();
  EXPECT_TRUE(asker.answers.empty()) << "waits for the busy part";
  clock.advance(ServiceStatus::kDeadline);
  ASSERT_EQ(asker.answers.size(), 1u);
  EXPECT_EQ(asker.answers[0], (json{{"events", {{"read", 5}, {"dispatched", 4}}},
                                    {"late", {"stuck"}},
                                    {"uptimeSeconds", 2},
                                    {"version", nullptr}}));
  held.at(0)({{"events", {{"read", 99}}}});
  clock.settle();
  EXPECT_EQ(asker.answers.size(), 1u);
}

}  // namespace
}  // namespace zorva
