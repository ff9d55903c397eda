#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backend/AuditEventStore.h"
#include "backend/DeviceApi.h"
#include "platform/dispatch/SerialQueue.h"
#include "tracking/TrackerSinks.h"

namespace zorva {

// Collects audit events and uploads them to the backend in batches of at most 50, one upload at
// a time: the next batch 5 seconds after a success, 30 seconds after a failure, or at once when a
// record is tracked meanwhile.
//
// Every record is written to the store before it is queued and removed only once the backend
// accepted its batch, so a restart, a crash or a kill loses none (delivery is at least once: a
// batch in flight at a crash goes again, and the backend deduplicates by "audit_event_id"). A
// store that cannot be read or written just now (another process holds it) is tried again every
// kStoreRetry; meanwhile new records wait in memory, and the stored ones join them once it opens.
//
// A batch the backend refuses (a status from 300 to 499) is split and its halves sent on their
// own, down to single records, so one record it will not take holds back no other. A record
// refused on its own three times, while the backend took other records in between, is dropped
// with an error line. A backend that refuses everything is an outage, not bad records: nothing is
// dropped then, and the refusals are retried on the failure pause.
class EventQueue final : public AuditEventSink {
 public:
  static constexpr size_t kBatchSize = 50;
  static constexpr size_t kDefaultCap = 100000;
  static constexpr auto kPauseAfterSuccess = std::chrono::seconds(5);
  static constexpr auto kPauseAfterFailure = std::chrono::seconds(30);
  static constexpr auto kStoreRetry = std::chrono::seconds(10);
  static constexpr int kRefusalsBeforeDrop = 3;

  struct Dependencies {
    DeviceRequests& api;
    AuditEventStore& store;
    Clock& clock;
    size_t cap = kDefaultCap;  // past it the oldest unsent records are dropped, with an error
  };

  // Restores the records a previous run left unsent, in their order, and sends them as soon as a
  // key is held.
  explicit EventQueue(const Dependencies& dependencies);
  ~EventQueue() override;

  // From any thread: records an audit event and returns at once.
  void track(const std::string& source, const std::string& dest, int64_t volumeId) override;

  // What the queue holds and has done since it started, for the service's status.
  struct Status {
    enum class Result { Accepted, Refused, Failed };
    struct Upload {
      Clock::TimePoint at;  // when its answer (or failure) came
      Result result = Result::Accepted;
      long status = 0;  // the HTTP status of a refusal or failure, when there was one
      size_t records = 0;
    };
    size_t waiting = 0;  // not yet accepted by the backend, the batch in flight included
    std::optional<std::string> oldestWaiting;  // the "create_time" of the oldest of them
    std::optional<Upload> lastUpload;
    uint64_t droppedByCap = 0;
    uint64_t droppedRefused = 0;  // refused on their own kRefusalsBeforeDrop times
  };
  // Reads the figures on the list queue and hands them to `done` there; returns at once.
  void status(std::function<void(Status)> done);

  // For tests: runs `work` on the list queue with the waiting records and waits.
  void inspect(const std::function<void(size_t waiting, bool sending)>& work);

 private:
  struct Entry {
    std::optional<int64_t> id;  // its row in the store; nothing while it could not be stored
    nlohmann::json record;
    int refusals = 0;             // refused on its own, with other records taken in between
    uint64_t refusedAtTaken = 0;  // _batchesTaken when it was last refused on its own
  };
  enum class Outcome { Accepted, Refused, Failed };

  // Takes the next batch and sends it, unless one is in flight or no key is held.
  void maybeSend();
  void restore();
  void enqueue(Entry entry);
  void store();
  // Writes the waiting records that are only in memory, when the store takes them.
  void storeUnstored();
  void retryStoreLater();
  void send(std::vector<Entry> batch);
  void sendComplete(std::vector<Entry> batch, Outcome outcome, long status);
  void refused(std::vector<Entry> batch, long status);

  DeviceRequests& _api;
  AuditEventStore& _store;
  Clock& _clock;
  const size_t _cap;
  std::deque<Entry> _eventList;           // on _listQueue
  std::vector<nlohmann::json> _unstored;  // on _listQueue: tracked, not yet written
  bool _sendRunning = false;              // on _listQueue
  uint64_t _dropped = 0;                  // on _listQueue
  uint64_t _droppedRefused = 0;           // on _listQueue
  size_t _inFlight = 0;                   // on _listQueue: the batch being sent
  std::string _inFlightOldest;            // on _listQueue: its oldest "create_time"
  bool _restored = false;                 // on _listQueue: the stored records are in the list
  bool _storeRetryPending = false;        // on _listQueue
  bool _storeAwaySaid = false;            // on _listQueue
  // On _listQueue: after a refusal, the next batches are at most _batchLimit records, until the
  // _suspects records from refused batches at the front of the list have been taken.
  size_t _batchLimit = kBatchSize;
  size_t _suspects = 0;
  uint64_t _batchesTaken = 0;  // on _listQueue
  // On _listQueue.
  std::optional<Status::Upload> _lastUpload;
  SerialQueue _sendQueue;
  SerialQueue _listQueue;  // declared last: stops first, before the send queue it feeds
};

}  // namespace zorva
