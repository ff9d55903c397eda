#include "backend/EventQueue.h"

#include "platform/text/Timestamp.h"
#include "platform/text/Uuid.h"
#include "service/Log.h"

namespace zorva {

EventQueue::EventQueue(const Dependencies& dependencies)
    : api_(dependencies.api),
      store_(dependencies.store),
      clock_(dependencies.clock),
      cap_(dependencies.cap),
      _sendQueue("com.zorva.eventQueue.send", dependencies.clock),
      _listQueue("com.zorva.eventQueue.list", dependencies.clock) {
  _listQueue.async([this] {
    size_t restored = 0;
    for (AuditEventStore::Record& stored : store_.all()) {
      auto record = nlohmann::json::parse(stored.json, nullptr, /*allow_exceptions=*/false);
      if (!record.is_object()) {
        ZorvaError("EventQueue: dropping an unreadable stored audit event: %@", stored.json);
        store_.remove({stored.id});
        continue;
      }
      _eventList.push_back({stored.id, std::move(record)});
      ++restored;
    }
    if (restored > 0) ZorvaLog("EventQueue: restored %ld unsent audit events", int64_t(restored));
    ZorvaLog("EventQueue: init done");
  });
  api_.setOnReady([this] { maybeSend(); });
  maybeSend();
}

EventQueue::~EventQueue() { api_.setOnReady(nullptr); }

void EventQueue::track(const std::string& source, const std::string& dest, int64_t volumeId) {
  _listQueue.async([this, source, dest, volumeId] {
    unstored_.push_back({{"audit_event_id", randomUuid()},
                         {"volume_id", volumeId},
                         {"source", source},
                         {"dest", dest},
                         {"create_time", wireTimestamp(clock_.now())}});
    // Records of a burst are stored together, behind the tracks already queued: one durable
    // write instead of one each, so uploads are not kept waiting behind the disk.
    if (unstored_.size() == 1) _listQueue.async([this] { store(); });
  });
}

void EventQueue::store() {
  std::vector<std::string> texts;
  texts.reserve(unstored_.size());
  for (const nlohmann::json& record : unstored_) {
    texts.push_back(record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  std::vector<std::optional<int64_t>> ids = store_.appendAll(texts);
  for (size_t i = 0; i < unstored_.size(); ++i) enqueue({ids[i], std::move(unstored_[i])});
  unstored_.clear();
  maybeSend();
}

void EventQueue::enqueue(Entry entry) {
  _eventList.push_back(std::move(entry));
  if (_eventList.size() <= cap_) return;
  // An unreachable backend must not exhaust the disk: the oldest go first, and say so.
  std::vector<int64_t> ids;
  while (_eventList.size() > cap_) {
    if (_eventList.front().id) ids.push_back(*_eventList.front().id);
    _eventList.pop_front();
    ++dropped_;
  }
  store_.remove(ids);
  ZorvaError("EventQueue: more than %ld audit events waiting; dropped the oldest (%ld so far)",
             static_cast<int64_t>(cap_), static_cast<int64_t>(dropped_));
}

void EventQueue::maybeSend() {
  _listQueue.async([this] {
    if (_isSendRunning || !api_.isReady() || _eventList.empty()) return;
    _isSendRunning = true;
    size_t count = std::min(_eventList.size(), kBatchSize);
    const auto end = _eventList.begin() + static_cast<ptrdiff_t>(count);
    std::vector<Entry> batch(std::make_move_iterator(_eventList.begin()),
                             std::make_move_iterator(end));
    _eventList.erase(_eventList.begin(), end);
    send(std::move(batch));
  });
}

void EventQueue::send(std::vector<Entry> batch) {
  _sendQueue.async([this, batch = std::move(batch)]() mutable {
    nlohmann::json list = nlohmann::json::array();
    for (const Entry& entry : batch) list.push_back(entry.record);
    api_.deviceRequest("/api/1/audit_event", nlohmann::json{{"event_list", std::move(list)}}, 5,
                       [this, batch = std::move(batch)](const std::optional<DeviceApiError>& error,
                                                        const DeviceRequests::Reply&) mutable {
                         sendComplete(std::move(batch), error.has_value());
                       });
  });
}

void EventQueue::sendComplete(std::vector<Entry> batch, bool failed) {
  _listQueue.async([this, batch = std::move(batch), failed]() mutable {
    _isSendRunning = false;
    if (failed) {
      // Behind the records tracked meanwhile; still in the store, so a restart sends them too.
      for (Entry& entry : batch) _eventList.push_back(std::move(entry));
    } else {
      std::vector<int64_t> ids;
      for (const Entry& entry : batch) {
        if (entry.id) ids.push_back(*entry.id);
      }
      store_.remove(ids);
    }
    _listQueue.after(
        failed ? Clock::Duration(kPauseAfterFailure) : Clock::Duration(kPauseAfterSuccess),
        [this] { maybeSend(); });
  });
}

void EventQueue::inspect(const std::function<void(size_t waiting, bool sending)>& work) {
  _listQueue.sync([&] { work(_eventList.size(), _isSendRunning); });
}

}  // namespace zorva
