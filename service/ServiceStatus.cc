#include "service/ServiceStatus.h"

#include <time.h>

#include <algorithm>
#include <map>

#include "platform/text/Timestamp.h"

namespace zorva {

using json = nlohmann::json;

namespace {

// Objects are merged member by member; anything else is replaced.
void mergeInto(json& into, json from) {
  if (!into.is_object() || !from.is_object()) {
    into = std::move(from);
    return;
  }
  for (auto& [key, value] : from.items()) mergeInto(into[key], std::move(value));
}

const char* coverageName(MountCoverage::Coverage coverage) {
  switch (coverage) {
    case MountCoverage::Coverage::Full:
      return "full";
    case MountCoverage::Coverage::Partial:
      return "partial";
    case MountCoverage::Coverage::None:
      break;
  }
  return "none";
}

const char* resultName(EventQueue::Status::Result result) {
  switch (result) {
    case EventQueue::Status::Result::Accepted:
      return "accepted";
    case EventQueue::Status::Result::Refused:
      return "refused";
    case EventQueue::Status::Result::Failed:
      break;
  }
  return "failed";
}

// How long ago a wire timestamp ("2026-12-06T10:41:01Z") was, or nothing when it is not one.
std::optional<int64_t> secondsSince(const std::string& wire, Clock::TimePoint now) {
  std::tm fields{};
  const char* end = ::strptime(wire.c_str(), "%Y-%m-%dT%H:%M:%SZ", &fields);
  if (!end || *end != '\0') return std::nullopt;
  const auto then = std::chrono::system_clock::from_time_t(::timegm(&fields));
  return std::max<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(now - then).count(), 0);
}

json eventSourceMembers(const EventSourceStatus& status) {
  json mounts = json::array();
  for (const MountCoverage& mount : status.mounts) {
    mounts.push_back({{"mountPoint", mount.mountPoint},
                      {"fsType", mount.fsType},
                      {"coverage", coverageName(mount.coverage)},
                      {"detail", mount.detail}});
  }
  return {{"events", {{"read", status.eventsRead}}},
          {"kernel",
           {{"queueOverflows", status.queueOverflows},
            {"processTableLosses", status.processTableLosses},
            {"staleHandles", status.staleHandles}}},
          {"mounts", std::move(mounts)}};
}

json trackerMembers(const PathTracker::Status& status) {
  json volumes = json::array();
  for (const WatchInfo& volume : status.volumes) {
    volumes.push_back(
        {{"id", volume.volumeId}, {"path", volume.path}, {"notify", volume.notifyEnabled}});
  }
  return {{"volumes", std::move(volumes)},
          {"events", {{"droppedByTracker", status.eventsTaken - status.eventsQueued}}},
          {"transfers",
           {{"byRename", status.transfersByRename},
            {"byContent", status.transfersByContent},
            {"comparisons", status.comparisons}}}};
}

json auditMembers(const EventQueue::Status& status, Clock::TimePoint now) {
  json audit = {{"waiting", status.waiting},           {"oldestWaitingSince", nullptr},
                {"oldestWaitingSeconds", nullptr},     {"lastUpload", nullptr},
                {"droppedByCap", status.droppedByCap}, {"droppedRefused", status.droppedRefused}};
  if (status.oldestWaiting) {
    audit["oldestWaitingSince"] = *status.oldestWaiting;
    if (auto age = secondsSince(*status.oldestWaiting, now)) audit["oldestWaitingSeconds"] = *age;
  }
  if (const auto& upload = status.lastUpload) {
    audit["lastUpload"] = {{"at", wireTimestamp(upload->at)},
                           {"result", resultName(upload->result)},
                           {"status", upload->status},
                           {"records", upload->records}};
  }
  return {{"audit", std::move(audit)}};
}

}  // namespace

struct ServiceStatus::Request {
  json status = json::object();
  std::vector<bool> answered;
  size_t waiting = 0;
  std::function<void(std::string)> done;
  bool finished = false;
};

ServiceStatus::ServiceStatus(Clock& clock, std::optional<std::string> version,
                             std::vector<StatusPart> parts)
    : _clock(clock),
      _version(std::move(version)),
      _started(clock.now()),
      _parts(std::move(parts)),
      _queue("com.zorva.statusQueue", clock) {}

void ServiceStatus::gather(std::function<void(std::string)> done) {
  _queue.async([this, done = std::move(done)]() mutable {
    auto request = std::make_shared<Request>();
    request->answered.assign(_parts.size(), false);
    request->waiting = _parts.size();
    request->done = std::move(done);
    for (size_t part = 0; part < _parts.size(); ++part) {
      _parts[part].gather([this, request, part](json members) {
        _queue.async([this, request, part, members = std::move(members)]() mutable {
          if (request->finished || request->answered[part]) return;
          request->answered[part] = true;
          mergeInto(request->status, std::move(members));
          if (--request->waiting == 0) finish(*request);
        });
      });
    }
    if (_parts.empty()) return finish(*request);
    _queue.after(kDeadline, [this, request] {
      if (!request->finished) finish(*request);
    });
  });
}

void ServiceStatus::finish(Request& request) {
  request.finished = true;
  json& status = request.status;
  // Each volume with the connection told of its changes, once the control interface has said.
  if (status.contains("listeners")) {
    const json& listeners = status["listeners"];
    if (status.contains("volumes")) {
      for (json& volume : status["volumes"]) {
        auto found = listeners.find(std::to_string(volume.value("id", int64_t{0})));
        volume["listener"] = found != listeners.end() ? *found : json(nullptr);
      }
    }
    status.erase("listeners");
  }
  status["version"] = _version ? json(*_version) : json(nullptr);
  status["uptimeSeconds"] = std::max<int64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(_clock.now() - _started).count(), 0);
  json late = json::array();
  for (size_t part = 0; part < _parts.size(); ++part) {
    if (!request.answered[part]) late.push_back(_parts[part].name);
  }
  status["late"] = std::move(late);
  // A mount point need not be UTF-8; a bus string must be.
  auto done = std::move(request.done);
  done(status.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::vector<StatusPart> statusParts(const StatusSubsystems& subsystems, Clock& clock) {
  std::vector<StatusPart> parts;
  // Read where asked: the source's status and the counters may be read from any thread.
  parts.push_back({"eventSource", [&source = subsystems.eventSource](StatusPart::Reply reply) {
                     reply(eventSourceMembers(source.status()));
                   }});
  parts.push_back(
      {"dispatcher", [&counters = subsystems.dispatch](StatusPart::Reply reply) {
         // Dropped first: an event is counted dispatched before it can be dropped.
         const uint64_t dropped = counters.dropped.get();
         reply({{"events",
                 {{"dispatched", counters.dispatched.get()}, {"droppedByFilter", dropped}}}});
       }});
  parts.push_back({"deviceApi", [get = subsystems.deviceApi](StatusPart::Reply reply) {
                     DeviceRequests* api = get ? get() : nullptr;
                     // Whether a key is held; the key itself never leaves the backend client.
                     reply({{"deviceKeyHeld", api != nullptr && api->isReady()}});
                   }});
  // The rest on their own queues.
  parts.push_back({"tracker", [get = subsystems.tracker](StatusPart::Reply reply) {
                     PathTracker* tracker = get ? get() : nullptr;
                     if (!tracker) return reply(json::object());
                     tracker->status([reply](const PathTracker::Status& status) {
                       reply(trackerMembers(status));
                     });
                   }});
  parts.push_back({"auditQueue", [get = subsystems.auditQueue, &clock](StatusPart::Reply reply) {
                     EventQueue* queue = get ? get() : nullptr;
                     if (!queue) return reply(json::object());
                     queue->status([reply, &clock](const EventQueue::Status& status) {
                       reply(auditMembers(status, clock.now()));
                     });
                   }});
  parts.push_back(
      {"telemetry", [get = subsystems.telemetry](StatusPart::Reply reply) {
         Pravix* telemetry = get ? get() : nullptr;
         if (!telemetry) return reply(json::object());
         telemetry->status([reply](size_t events, size_t logLines) {
           reply({{"telemetry", {{"eventsWaiting", events}, {"logLinesWaiting", logLines}}}});
         });
       }});
  parts.push_back({"control", [get = subsystems.control](StatusPart::Reply reply) {
                     XPCServer* server = get ? get() : nullptr;
                     if (!server) return reply(json::object());
                     server->volumeConnections([reply](std::map<int64_t, std::string> held) {
                       json listeners = json::object();
                       for (const auto& [volumeId, name] : held) {
                         listeners[std::to_string(volumeId)] = name;
                       }
                       reply({{"listeners", std::move(listeners)}});
                     });
                   }});
  return parts;
}

}  // namespace zorva
