#include "service/ServiceStatus.h"

#include <gtest/gtest.h>

#include "backend/testing/MemoryAuditEventStore.h"
#include "platform/dbus/testing/FakeBusTransport.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/event_source/testing/MessageBuilders.h"
#include "platform/files/testing/FakeContentComparator.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// The backend client, which takes every upload at once once it holds a key, and the control
// interface's other targets.
struct FakeBackend final : DeviceRequests, DeviceTokenHolder, VolumeRegistrar {
  bool isReady() const override { return ready; }
  void setOnReady(std::function<void()> then) override { onReady = std::move(then); }
  void deviceRequest(std::string, std::optional<json>, int64_t, RequestHandler handler) override {
    handler(std::nullopt, std::nullopt);
  }
  void setDeviceToken(std::string) override {}
  void addVolume(int64_t, std::string_view, bool) override {}
  std::atomic<bool> ready{false};
  std::function<void()> onReady;
};

struct FakeSource final : EventSource {
  es_new_client_result_t newClient(es_client_t**, es_handler_block_t) override { return {}; }
  es_return_t subscribe(es_client_t*, const es_event_type_t*, uint32_t) override { return {}; }
  es_return_t deleteClient(es_client_t*) override { return {}; }
  EventSourceStatus status() const override {
    using enum MountCoverage::Coverage;
    return {42, 3, 2, 1, {{"/", "ext4", Full, ""}, {"/mnt/share", "nfs4", Partial, "no renames"}}};
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

// Every figure in its place, compared whole: a telemetry client not created yet is left out.
TEST(ServiceStatusTest, EachSubsystemsFiguresLandInTheirPlaceAfterTransfersAndAnUpload) {
  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  MemoryAuditEventStore auditStore;
  FakeBackend backend;
  FakeContentComparator comparator;
  FakeSource source;
  FakeBusTransport transport;
  DispatchCounters counters;
  EventQueue queue{{backend, auditStore, clock}};
  XPCServer server{{transport, backend, backend, clock, "1.2.3"}};
  PathTracker tracker{{settings, clock, queue, server, comparator}};
  EventDispatcher dispatcher{tracker, &counters};
  ServiceStatus status{
      clock, "1.2.3",
      statusParts({source, counters, [&] { return &backend; }, [&] { return &tracker; },
                   [&] { return &queue; }, [] { return nullptr; }, [&] { return &server; }},
                  clock)};
  auto statusNow = [&] {
    Asker asker(status);
    clock.settle();
    return asker.answers;
  };
  server.start();
  tracker.addVolume(7, "/media/usb", true);
  tracker.addVolume(8, "/media/other", false);
  server.trackVolume(7, transport.connect(500));
  comparator.setEqual("/media/usb/a.txt", "/tmp/a.txt");
  using namespace testing;
  const Actor reader{.pid = 11, .ppid = 10}, writer{.pid = 12, .ppid = 10};
  const Actor client{.executable = "/opt/zorva-client/bin/zorva-client", .platform = false};
  for (const auto& message : {makeOpen("/media/usb/a.txt", kFile, 1000, 1, reader),
                              makeClose("/media/usb/a.txt", false, kFile, 1000, reader),
                              makeClose("/tmp/a.txt", true, kFile, 1000, writer),  // a copy
                              makeRenameToNew("/media/usb/b.txt", "/tmp", "b.txt"),
                              makeOpen("/etc/hosts"),  // concerns no watched file
                              makeOpen("/media/usb", S_IFDIR | 0755),
                              makeOpen("/media/usb/c.txt", kFile, 1000, 1, client)}) {
    dispatcher.handle(message->message());
  }
  clock.advance(PathTracker::kFinalNameWait + 1s);  // the copy is reported once due
  json expected = json::parse(R"({"version": "1.2.3", "uptimeSeconds": 3, "deviceKeyHeld": false,
    "volumes": [{"id": 7, "path": "/media/usb/", "notify": true, "listener": ":1.1"},
                {"id": 8, "path": "/media/other/", "notify": false, "listener": null}],
    "events": {"read": 42, "dispatched": 7, "droppedByFilter": 2, "droppedByTracker": 1},
    "transfers": {"byRename": 1, "byContent": 1, "comparisons": 1},
    "audit": {"waiting": 2, "oldestWaitingSince": "2026-01-01T00:00:00Z", "oldestWaitingSeconds": 3,
              "lastUpload": null, "droppedByCap": 0, "droppedRefused": 0},
    "kernel": {"queueOverflows": 3, "processTableLosses": 2, "staleHandles": 1},
    "mounts": [{"mountPoint": "/", "fsType": "ext4", "coverage": "full", "detail": ""}, {"mountPoint":
      "/mnt/share", "fsType": "nfs4", "coverage": "partial", "detail": "no renames"}],
    "late": []})");
  EXPECT_EQ(statusNow(), std::vector{expected});

  backend.ready = true;
  backend.onReady();
  clock.settle();
  expected["deviceKeyHeld"] = true;
  expected["audit"] = json::parse(R"({"waiting": 0, "oldestWaitingSince": null,
    "oldestWaitingSeconds": null, "droppedByCap": 0, "droppedRefused": 0, "lastUpload":
    {"at": "2026-01-01T00:00:03Z", "result": "accepted", "status": 0, "records": 2}})");
  EXPECT_EQ(statusNow(), std::vector{expected});
}

// A part that does not answer in time is left out and named; the others still arrive, nested
// members merged, and a late answer changes nothing.
TEST(ServiceStatusDeadlineTest, AnAnswerComesAtTheDeadlineWithoutTheSubsystemsThatAreStillBusy) {
  MemoryLogWriter log;
  ManualClock clock;
  std::mutex mutex;
  std::vector<StatusPart::Reply> held;
  auto answer = [](json members) { return [=](StatusPart::Reply reply) { reply(members); }; };
  ServiceStatus status(clock, std::nullopt,
                       {{"first", answer({{"events", {{"read", 5}}}})},
                        {"stuck",
                         [&](StatusPart::Reply reply) {
                           std::lock_guard lock(mutex);
                           held.push_back(std::move(reply));
                         }},
                        {"second", answer({{"events", {{"dispatched", 4}}}})}});
  Asker asker(status);
  clock.settle();
  EXPECT_TRUE(asker.answers.empty()) << "waits for the busy part";
  clock.advance(ServiceStatus::kDeadline);
  held.at(0)({{"events", {{"read", 99}}}});
  clock.settle();
  EXPECT_EQ(asker.answers, std::vector<json>{json::parse(R"({"events": {"read": 5,
    "dispatched": 4}, "late": ["stuck"], "uptimeSeconds": 2, "version": null})")});
}

}  // namespace
}  // namespace zorva
