#include "backend/EventQueue.h"

#include "platform/log/Log.h"
#include "platform/text/Timestamp.h"
#include "platform/text/Uuid.h"

namespace zorva {

namespace {

constexpr const char* kAuditEventPath = "/api/1/audit_event";
// Retries of one upload, kRetryPause of the backend client apart, before the batch waits its turn
// again behind the records tracked meanwhile.
constexpr int64_t kUploadRetries = 5;
// The statuses with which the backend refuses the records themselves.
constexpr long kFirstRefusal = 300;
constexpr long kLastRefusal = 499;

// A record's "create_time", or nothing. Every one is written in the same fixed form, so the
// earliest is also the smallest string.
const std::string* createTime(const nlohmann::json& record) {
  auto found = record.find("create_time");
  return found != record.end() && found->is_string() ? &found->get_ref<const std::string&>()
                                                     : nullptr;
}

void keepOldest(std::optional<std::string>& oldest, const std::string* time) {
  if (time && (!oldest || *time < *oldest)) oldest = *time;
}

}  // namespace

EventQueue::EventQueue(const Dependencies& dependencies)
    : _api(dependencies.api),
      _store(dependencies.store),
      _clock(dependencies.clock),
      _cap(dependencies.cap),
      _sendQueue("com.zorva.eventQueue.send", dependencies.clock),
      _listQueue("com.zorva.eventQueue.list", dependencies.clock) {
  _listQueue.async([this] {
    restore();
    ZorvaLog("EventQueue: init done");
  });
  _api.setOnReady([this] { maybeSend(); });
  maybeSend();
}

void EventQueue::restore() {
  std::optional<std::vector<AuditEventStore::Record>> stored = _store.all();
  if (!stored) {
    // Busy is not empty: the records a previous run left are still there, and come later.
    if (!_storeAwaySaid) {
      _storeAwaySaid = true;
      ZorvaError(FaultKind::Store,
                 "EventQueue: the audit event store cannot be read now; new audit events wait in "
                 "memory, and it is tried again every %ld s",
                 static_cast<int64_t>(kStoreRetry.count()));
    }
    retryStoreLater();
    return;
  }
  _restored = true;
  // Older than anything tracked while the store was away: they go first.
  std::deque<Entry> list;
  for (AuditEventStore::Record& record : *stored) {
    auto json = nlohmann::json::parse(record.json, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
      ZorvaError(FaultKind::Store, "EventQueue: dropping an unreadable stored audit event: %@",
                 record.json);
      _store.remove({record.id});
      continue;
    }
    list.push_back({record.id, std::move(json)});
  }
  const size_t restored = list.size();
  for (Entry& entry : _eventList) list.push_back(std::move(entry));
  _eventList.clear();
  for (Entry& entry : list) enqueue(std::move(entry));
  if (restored > 0) ZorvaLog("EventQueue: restored %ld unsent audit events", int64_t(restored));
  storeUnstored();
  maybeSend();
}

void EventQueue::storeUnstored() {
  std::vector<Entry*> unstored;
  std::vector<std::string> texts;
  for (Entry& entry : _eventList) {
    if (entry.id) continue;
    unstored.push_back(&entry);
    texts.push_back(entry.record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  if (unstored.empty()) return;
  std::vector<std::optional<int64_t>> ids = _store.appendAll(texts);
  for (size_t i = 0; i < unstored.size(); ++i) unstored[i]->id = ids[i];
  if (std::any_of(ids.begin(), ids.end(), [](const auto& id) { return !id; })) retryStoreLater();
}

void EventQueue::retryStoreLater() {
  if (_storeRetryPending) return;
  _storeRetryPending = true;
  _listQueue.after(kStoreRetry, [this] {
    _storeRetryPending = false;
    if (_restored) {
      storeUnstored();
    } else {
      restore();
    }
  });
}

EventQueue::~EventQueue() { _api.setOnReady(nullptr); }

void EventQueue::track(const std::string& source, const std::string& dest, int64_t volumeId) {
  _listQueue.async([this, source, dest, volumeId] {
    _unstored.push_back({{"audit_event_id", randomUuid()},
                         {"volume_id", volumeId},
                         {"source", source},
                         {"dest", dest},
                         {"create_time", wireTimestamp(_clock.now())}});
    // Records of a burst are stored together, behind the tracks already queued: one durable
    // write instead of one each, so uploads are not kept waiting behind the disk.
    if (_unstored.size() == 1) _listQueue.async([this] { store(); });
  });
}

void EventQueue::store() {
  std::vector<std::string> texts;
  texts.reserve(_unstored.size());
  for (const nlohmann::json& record : _unstored) {
    texts.push_back(record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  // Until the stored records are back, nothing is written: they and these must not meet twice.
  std::vector<std::optional<int64_t>> ids =
      _restored ? _store.appendAll(texts) : std::vector<std::optional<int64_t>>(texts.size());
  bool allStored = true;
  for (size_t i = 0; i < _unstored.size(); ++i) {
    allStored = allStored && ids[i].has_value();
    enqueue({ids[i], std::move(_unstored[i])});
  }
  _unstored.clear();
  if (!allStored) retryStoreLater();
  maybeSend();
}

void EventQueue::enqueue(Entry entry) {
  _eventList.push_back(std::move(entry));
  if (_eventList.size() <= _cap) return;
  // An unreachable backend must not exhaust the disk: the oldest go first, and say so.
  std::vector<int64_t> ids;
  while (_eventList.size() > _cap) {
    if (_eventList.front().id) ids.push_back(*_eventList.front().id);
    _eventList.pop_front();
    ++_dropped;
  }
  _store.remove(ids);
  ZorvaError(FaultKind::Upload,
             "EventQueue: more than %ld audit events waiting; dropped the oldest (%ld so far)",
             static_cast<int64_t>(_cap), static_cast<int64_t>(_dropped));
}

void EventQueue::maybeSend() {
  _listQueue.async([this] {
    if (_sendRunning || !_api.isReady() || _eventList.empty()) return;
    _sendRunning = true;
    size_t count = std::min(_eventList.size(), _batchLimit);
    const auto end = _eventList.begin() + static_cast<ptrdiff_t>(count);
    std::vector<Entry> batch(std::make_move_iterator(_eventList.begin()),
                             std::make_move_iterator(end));
    _eventList.erase(_eventList.begin(), end);
    _inFlight = batch.size();
    std::optional<std::string> oldest;
    for (const Entry& entry : batch) keepOldest(oldest, createTime(entry.record));
    _inFlightOldest = oldest.value_or("");
    send(std::move(batch));
  });
}

void EventQueue::send(std::vector<Entry> batch) {
  _sendQueue.async([this, batch = std::move(batch)]() mutable {
    nlohmann::json list = nlohmann::json::array();
    for (const Entry& entry : batch) list.push_back(entry.record);
    _api.deviceRequest(
        kAuditEventPath, nlohmann::json{{"event_list", std::move(list)}}, kUploadRetries,
        [this, batch = std::move(batch)](const std::optional<DeviceApiError>& error,
                                         const DeviceRequests::Reply&) mutable {
          // The backend's answer to these records themselves, as opposed to its
          // absence.
          const bool refusal = error && error->domain == "http" && error->code >= kFirstRefusal &&
                               error->code <= kLastRefusal;
          sendComplete(std::move(batch),
                       !error    ? Outcome::Accepted
                       : refusal ? Outcome::Refused
                                 : Outcome::Failed,
                       error ? error->code : 0);
        });
  });
}

void EventQueue::sendComplete(std::vector<Entry> batch, Outcome outcome, long status) {
  _listQueue.async([this, batch = std::move(batch), outcome, status]() mutable {
    _sendRunning = false;
    _inFlight = 0;
    _lastUpload = Status::Upload{_clock.now(),
                                 outcome == Outcome::Accepted  ? Status::Result::Accepted
                                 : outcome == Outcome::Refused ? Status::Result::Refused
                                                               : Status::Result::Failed,
                                 status, batch.size()};
    switch (outcome) {
      case Outcome::Accepted: {
        ++_batchesTaken;
        std::vector<int64_t> ids;
        for (const Entry& entry : batch) {
          if (entry.id) ids.push_back(*entry.id);
        }
        _store.remove(ids);
        _suspects -= std::min(_suspects, batch.size());
        if (_suspects == 0) _batchLimit = kBatchSize;
        break;
      }
      case Outcome::Refused:
        refused(std::move(batch), status);
        break;
      case Outcome::Failed:
        // Behind the records tracked meanwhile; still in the store, so a restart sends them too.
        _suspects = 0;
        _batchLimit = kBatchSize;
        for (Entry& entry : batch) _eventList.push_back(std::move(entry));
        break;
    }
    _listQueue.after(outcome == Outcome::Accepted ? Clock::Duration(kPauseAfterSuccess)
                                                  : Clock::Duration(kPauseAfterFailure),
                     [this] { maybeSend(); });
  });
}

void EventQueue::refused(std::vector<Entry> batch, long status) {
  ZorvaError(FaultKind::Upload,
             "EventQueue: the backend refused %ld audit events with status %ld (the first %@)",
             static_cast<int64_t>(batch.size()), static_cast<int64_t>(status),
             batch.front().record.value("audit_event_id", std::string()));
  if (batch.size() > 1) {
    // Back in front, to go again in halves: the records it does take go through.
    _suspects = std::max(_suspects, batch.size());
    _batchLimit = std::max<size_t>(batch.size() / 2, 1);
    for (auto entry = batch.rbegin(); entry != batch.rend(); ++entry) {
      _eventList.push_front(std::move(*entry));
    }
    return;
  }
  _suspects = 0;
  _batchLimit = kBatchSize;
  Entry& entry = batch.front();
  // Only refusals with other records taken in between count: a backend that takes nothing is
  // away, whatever it answers, and a record is never dropped for that.
  if (entry.refusals == 0 || _batchesTaken > entry.refusedAtTaken) ++entry.refusals;
  entry.refusedAtTaken = _batchesTaken;
  if (entry.refusals >= kRefusalsBeforeDrop) {
    ZorvaError(FaultKind::Upload,
               "EventQueue: dropping audit event %@ to %@: the backend refused it %ld times "
               "while it took others",
               entry.record.value("audit_event_id", std::string()),
               entry.record.value("dest", std::string()), static_cast<int64_t>(entry.refusals));
    if (entry.id) _store.remove({*entry.id});
    ++_droppedRefused;
    return;
  }
  // Behind the others, so they go first and the backend shows whether it takes anything.
  _eventList.push_back(std::move(entry));
}

void EventQueue::status(std::function<void(Status)> done) {
  _listQueue.async([this, done = std::move(done)] {
    Status status;
    status.waiting = _eventList.size() + _unstored.size() + _inFlight;
    if (_inFlight > 0 && !_inFlightOldest.empty()) status.oldestWaiting = _inFlightOldest;
    // Records go back to either end after a failure or a refusal: the list is not in age order.
    for (const Entry& entry : _eventList) {
      keepOldest(status.oldestWaiting, createTime(entry.record));
    }
    if (!_unstored.empty()) keepOldest(status.oldestWaiting, createTime(_unstored.front()));
    status.lastUpload = _lastUpload;
    status.droppedByCap = _dropped;
    status.droppedRefused = _droppedRefused;
    done(std::move(status));
  });
}

void EventQueue::inspect(const std::function<void(size_t waiting, bool sending)>& work) {
  _listQueue.sync([&] { work(_eventList.size(), _sendRunning); });
}

}  // namespace zorva
