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
    : api_(dependencies.api),
      store_(dependencies.store),
      clock_(dependencies.clock),
      cap_(dependencies.cap),
      sendQueue_("com.zorva.eventQueue.send", dependencies.clock),
      listQueue_("com.zorva.eventQueue.list", dependencies.clock) {
  listQueue_.async([this] {
    restore();
    ZorvaLog("EventQueue: init done");
  });
  api_.setOnReady([this] { maybeSend(); });
  maybeSend();
}

void EventQueue::restore() {
  std::optional<std::vector<AuditEventStore::Record>> stored = store_.all();
  if (!stored) {
    // Busy is not empty: the records a previous run left are still there, and come later.
    if (!storeAwaySaid_) {
      storeAwaySaid_ = true;
      ZorvaError(FaultKind::Store,
                 "EventQueue: the audit event store cannot be read now; new audit events wait in "
                 "memory, and it is tried again every %ld s",
                 static_cast<int64_t>(kStoreRetry.count()));
    }
    retryStoreLater();
    return;
  }
  restored_ = true;
  // Older than anything tracked while the store was away: they go first.
  std::deque<Entry> list;
  for (AuditEventStore::Record& record : *stored) {
    auto json = nlohmann::json::parse(record.json, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
      ZorvaError(FaultKind::Store, "EventQueue: dropping an unreadable stored audit event: %@",
                 record.json);
      store_.remove({record.id});
      continue;
    }
    list.push_back({record.id, std::move(json)});
  }
  const size_t restored = list.size();
  for (Entry& entry : eventList_) list.push_back(std::move(entry));
  eventList_.clear();
  for (Entry& entry : list) enqueue(std::move(entry));
  if (restored > 0) ZorvaLog("EventQueue: restored %ld unsent audit events", int64_t(restored));
  storeUnstored();
  maybeSend();
}

void EventQueue::storeUnstored() {
  std::vector<Entry*> unstored;
  std::vector<std::string> texts;
  for (Entry& entry : eventList_) {
    if (entry.id) continue;
    unstored.push_back(&entry);
    texts.push_back(entry.record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  if (unstored.empty()) return;
  std::vector<std::optional<int64_t>> ids = store_.appendAll(texts);
  for (size_t i = 0; i < unstored.size(); ++i) unstored[i]->id = ids[i];
  if (std::any_of(ids.begin(), ids.end(), [](const auto& id) { return !id; })) retryStoreLater();
}

void EventQueue::retryStoreLater() {
  if (storeRetryPending_) return;
  storeRetryPending_ = true;
  listQueue_.after(kStoreRetry, [this] {
    storeRetryPending_ = false;
    if (restored_) {
      storeUnstored();
    } else {
      restore();
    }
  });
}

EventQueue::~EventQueue() { api_.setOnReady(nullptr); }

void EventQueue::track(const std::string& source, const std::string& dest, int64_t volumeId) {
  listQueue_.async([this, source, dest, volumeId] {
    unstored_.push_back({{"audit_event_id", randomUuid()},
                         {"volume_id", volumeId},
                         {"source", source},
                         {"dest", dest},
                         {"create_time", wireTimestamp(clock_.now())}});
    // Records of a burst are stored together, behind the tracks already queued: one durable
    // write instead of one each, so uploads are not kept waiting behind the disk.
    if (unstored_.size() == 1) listQueue_.async([this] { store(); });
  });
}

void EventQueue::store() {
  std::vector<std::string> texts;
  texts.reserve(unstored_.size());
  for (const nlohmann::json& record : unstored_) {
    texts.push_back(record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  // Until the stored records are back, nothing is written: they and these must not meet twice.
  std::vector<std::optional<int64_t>> ids =
      restored_ ? store_.appendAll(texts) : std::vector<std::optional<int64_t>>(texts.size());
  bool allStored = true;
  for (size_t i = 0; i < unstored_.size(); ++i) {
    allStored = allStored && ids[i].has_value();
    enqueue({ids[i], std::move(unstored_[i])});
  }
  unstored_.clear();
  if (!allStored) retryStoreLater();
  maybeSend();
}

void EventQueue::enqueue(Entry entry) {
  eventList_.push_back(std::move(entry));
  if (eventList_.size() <= cap_) return;
  // An unreachable backend must not exhaust the disk: the oldest go first, and say so.
  std::vector<int64_t> ids;
  while (eventList_.size() > cap_) {
    if (eventList_.front().id) ids.push_back(*eventList_.front().id);
    eventList_.pop_front();
    ++dropped_;
  }
  store_.remove(ids);
  ZorvaError(FaultKind::Upload,
             "EventQueue: more than %ld audit events waiting; dropped the oldest (%ld so far)",
             static_cast<int64_t>(cap_), static_cast<int64_t>(dropped_));
}

void EventQueue::maybeSend() {
  listQueue_.async([this] {
    if (sendRunning_ || !api_.isReady() || eventList_.empty()) return;
    sendRunning_ = true;
    size_t count = std::min(eventList_.size(), batchLimit_);
    const auto end = eventList_.begin() + static_cast<ptrdiff_t>(count);
    std::vector<Entry> batch(std::make_move_iterator(eventList_.begin()),
                             std::make_move_iterator(end));
    eventList_.erase(eventList_.begin(), end);
    inFlight_ = batch.size();
    std::optional<std::string> oldest;
    for (const Entry& entry : batch) keepOldest(oldest, createTime(entry.record));
    inFlightOldest_ = oldest.value_or("");
    send(std::move(batch));
  });
}

void EventQueue::send(std::vector<Entry> batch) {
  sendQueue_.async([this, batch = std::move(batch)]() mutable {
    nlohmann::json list = nlohmann::json::array();
    for (const Entry& entry : batch) list.push_back(entry.record);
    api_.deviceRequest(
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
  listQueue_.async([this, batch = std::move(batch), outcome, status]() mutable {
    sendRunning_ = false;
    inFlight_ = 0;
    lastUpload_ = Status::Upload{clock_.now(),
                                 outcome == Outcome::Accepted  ? Status::Result::Accepted
                                 : outcome == Outcome::Refused ? Status::Result::Refused
                                                               : Status::Result::Failed,
                                 status, batch.size()};
    switch (outcome) {
      case Outcome::Accepted: {
        ++batchesTaken_;
        std::vector<int64_t> ids;
        for (const Entry& entry : batch) {
          if (entry.id) ids.push_back(*entry.id);
        }
        store_.remove(ids);
        suspects_ -= std::min(suspects_, batch.size());
        if (suspects_ == 0) batchLimit_ = kBatchSize;
        break;
      }
      case Outcome::Refused:
        refused(std::move(batch), status);
        break;
      case Outcome::Failed:
        // Behind the records tracked meanwhile; still in the store, so a restart sends them too.
        suspects_ = 0;
        batchLimit_ = kBatchSize;
        for (Entry& entry : batch) eventList_.push_back(std::move(entry));
        break;
    }
    listQueue_.after(outcome == Outcome::Accepted ? Clock::Duration(kPauseAfterSuccess)
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
    suspects_ = std::max(suspects_, batch.size());
    batchLimit_ = std::max<size_t>(batch.size() / 2, 1);
    for (auto entry = batch.rbegin(); entry != batch.rend(); ++entry) {
      eventList_.push_front(std::move(*entry));
    }
    return;
  }
  suspects_ = 0;
  batchLimit_ = kBatchSize;
  Entry& entry = batch.front();
  // Only refusals with other records taken in between count: a backend that takes nothing is
  // away, whatever it answers, and a record is never dropped for that.
  if (entry.refusals == 0 || batchesTaken_ > entry.refusedAtTaken) ++entry.refusals;
  entry.refusedAtTaken = batchesTaken_;
  if (entry.refusals >= kRefusalsBeforeDrop) {
    ZorvaError(FaultKind::Upload,
               "EventQueue: dropping audit event %@ to %@: the backend refused it %ld times "
               "while it took others",
               entry.record.value("audit_event_id", std::string()),
               entry.record.value("dest", std::string()), static_cast<int64_t>(entry.refusals));
    if (entry.id) store_.remove({*entry.id});
    ++droppedRefused_;
    return;
  }
  // Behind the others, so they go first and the backend shows whether it takes anything.
  eventList_.push_back(std::move(entry));
}

void EventQueue::status(std::function<void(Status)> done) {
  listQueue_.async([this, done = std::move(done)] {
    Status status;
    status.waiting = eventList_.size() + unstored_.size() + inFlight_;
    if (inFlight_ > 0 && !inFlightOldest_.empty()) status.oldestWaiting = inFlightOldest_;
    // Records go back to either end after a failure or a refusal: the list is not in age order.
    for (const Entry& entry : eventList_) {
      keepOldest(status.oldestWaiting, createTime(entry.record));
    }
    if (!unstored_.empty()) keepOldest(status.oldestWaiting, createTime(unstored_.front()));
    status.lastUpload = lastUpload_;
    status.droppedByCap = dropped_;
    status.droppedRefused = droppedRefused_;
    done(std::move(status));
  });
}

void EventQueue::inspect(const std::function<void(size_t waiting, bool sending)>& work) {
  listQueue_.sync([&] { work(eventList_.size(), sendRunning_); });
}

}  // namespace zorva
