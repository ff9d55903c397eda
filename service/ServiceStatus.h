#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "backend/DeviceApi.h"
#include "backend/EventQueue.h"
#include "control/ControlTargets.h"
#include "control/XPCServer.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/event_source/EventSource.h"
#include "service/EventDispatcher.h"
#include "telemetry/Pravix.h"
#include "tracking/PathTracker.h"

namespace zorva {

// One subsystem's share of the status. `gather` returns at once and hands `reply` the members it
// adds to the status object (nested objects are merged), once, from whichever thread it likes:
// each subsystem reads its figures on the queue they belong to.
struct StatusPart {
  using Reply = std::function<void(nlohmann::json members)>;
  std::string name;
  std::function<void(Reply reply)> gather;
};

// The answer to GetStatus. The parts are asked and their answers put together on
// "com.zorva.statusQueue", so the bus's delivery thread only queues the request. A subsystem
// still busy after kDeadline (a comparison of a large file, a store another process holds) does
// not hold the answer up: it goes without that part, whose name is listed under "late".
//
// Parts answer into this object: it must outlive every subsystem queue they use (the service's
// lives until the process ends; tests settle their clock first).
class ServiceStatus final : public StatusSource {
 public:
  static constexpr auto kDeadline = std::chrono::seconds(2);

  // Uptime is counted from here.
  ServiceStatus(Clock& clock, std::optional<std::string> version, std::vector<StatusPart> parts);

  void gather(std::function<void(std::string json)> done) override;

 private:
  struct Request;
  void finish(Request& request);

  Clock& _clock;
  const std::optional<std::string> _version;
  const Clock::TimePoint _started;
  const std::vector<StatusPart> _parts;
  SerialQueue _queue;  // last: stops first, before what its work uses
};

// What the parts are read from. A getter that returns null stands for a subsystem not created
// yet, whose part is left out; a status request never creates one.
struct StatusSubsystems {
  EventSource& eventSource;
  const DispatchCounters& dispatch;
  std::function<DeviceRequests*()> deviceApi;
  std::function<PathTracker*()> tracker;
  std::function<EventQueue*()> auditQueue;
  std::function<Pravix*()> telemetry;
  std::function<XPCServer*()> control;
};

// The service's parts, in the order they are asked.
std::vector<StatusPart> statusParts(const StatusSubsystems& subsystems, Clock& clock);

}  // namespace zorva
