// Audit-event queue figures, each against a baseline measured in the same run:
//   (a) how fast EventQueue::track() accepts records while an upload is in flight (the
//       development backend holds the first upload for 2 seconds), as the time for 100,000 calls
//       to return, and the time until all of them are durably stored; against the same calls on
//       an in-memory store with no key (nothing uploading, nothing written to disk);
//   (b) the cost of the durable write per record, SqliteAuditEventStore::append, against
//       MemoryAuditEventStore::append.
//
//   out/release/bench/backend_bench [--full] [folder for the store; default: the temporary folder]
//
// Every record is its own synced transaction, so the drain in (a) takes as long as 100,000 syncs
// on the store's disk. To keep the run near a minute it is followed for at most 40 seconds, and a
// drain still running then is projected from the rate so far (and says so); --full waits for it
// however long it takes. The closing lines repeat every figure with its ratio.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend/AuditEventStore.h"
#include "backend/DeviceApi.h"
#include "backend/EventQueue.h"
#include "backend/devbackend/DevBackend.h"
#include "backend/testing/MemoryAuditEventStore.h"
#include "bench/Stats.h"
#include "platform/dispatch/RealClock.h"
#include "platform/http/CurlHttpClient.h"
#include "platform/log/LogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "testing/TempFolder.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;
using bench::median;
using Steady = std::chrono::steady_clock;

constexpr int kTracked = 100000;
constexpr auto kHeldUpload = std::chrono::seconds(2);
constexpr int kRounds = 3;
constexpr auto kDrainBudget = std::chrono::seconds(40);

double seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

// A backend client that never holds a key: the queue only stores.
class NeverReady final : public DeviceRequests {
 public:
  bool isReady() const override { return false; }
  void setOnReady(std::function<void()>) override {}
  void deviceRequest(std::string, std::optional<nlohmann::json>, int64_t,
                     RequestHandler handler) override {
    handler(DeviceApiError{"auth", 0, "no key"}, std::nullopt);
  }
};

std::vector<std::string> sources(int count) {
  std::vector<std::string> out;
  out.reserve(count);
  for (int i = 0; i < count; ++i) out.push_back("/Users/u/Documents/report-" + std::to_string(i));
  return out;
}

// Counts appends as they return, so the drain can be followed without queueing behind it; once
// told to stop, it writes nothing more, so that the rest of the queue drains at once.
class CountingStore final : public AuditEventStore {
 public:
  explicit CountingStore(AuditEventStore& inner) : _inner(inner) {}
  std::optional<int64_t> append(const std::string& json) override {
    if (_stopped.load(std::memory_order_acquire)) return std::nullopt;
    auto id = _inner.append(json);
    _appended.fetch_add(1, std::memory_order_release);
    return id;
  }
  std::vector<std::optional<int64_t>> appendAll(const std::vector<std::string>& records) override {
    if (_stopped.load(std::memory_order_acquire)) return {records.size(), std::nullopt};
    auto ids = _inner.appendAll(records);
    _appended.fetch_add(static_cast<int>(records.size()), std::memory_order_release);
    return ids;
  }
  void remove(const std::vector<int64_t>& ids) override { _inner.remove(ids); }
  std::optional<std::vector<Record>> all() override { return _inner.all(); }

  int appended() const { return _appended.load(std::memory_order_acquire); }
  void stop() { _stopped.store(true, std::memory_order_release); }

 private:
  AuditEventStore& _inner;
  std::atomic<int> _appended{0};
  std::atomic<bool> _stopped{false};
};

struct TrackFigures {
  double callsSeconds = 0;   // until the last track() returned
  double storedSeconds = 0;  // until every record was stored (projected when `projected`)
  bool projected = false;
  int storedWithinBudget = 0;
  bool uploadInFlight = false;  // the held upload was still unanswered when the calls returned
  int uploadsDuringDrain = 0;   // received by the backend from the first call to the last write
};

// Times kTracked calls and the drain behind them; the first record was tracked beforehand.
TrackFigures timeTracking(EventQueue& queue, CountingStore& store,
                          const std::vector<std::string>& paths, bool full,
                          const std::function<bool()>& uploadInFlight,
                          const std::function<int()>& uploads) {
  TrackFigures figures;
  const int target = store.appended() + static_cast<int>(paths.size());
  const int uploadsBefore = uploads();
  const auto start = Steady::now();
  for (const std::string& path : paths) queue.track(path, "/home/u/copy.txt", 1);
  figures.callsSeconds = seconds(Steady::now() - start);
  figures.uploadInFlight = uploadInFlight();
  // Polled: a wait on the list queue would itself queue behind the drain it measures.
  while (store.appended() < target && (full || Steady::now() - start < kDrainBudget)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const int stored = static_cast<int>(paths.size()) - (target - store.appended());
  figures.storedSeconds = seconds(Steady::now() - start);
  figures.storedWithinBudget = stored;
  figures.uploadsDuringDrain = uploads() - uploadsBefore;
  if (stored < static_cast<int>(paths.size())) {
    figures.projected = true;
    figures.storedSeconds *= static_cast<double>(paths.size()) / std::max(stored, 1);
    store.stop();
  }
  queue.inspect([](size_t, bool) {});
  return figures;
}

// (a) with the durable store, against the development backend.
TrackFigures trackWhileUploading(const std::string& folder, const std::vector<std::string>& paths,
                                 bool full) {
  std::mutex mutex;
  std::condition_variable changed;
  int uploads = 0;
  bool firstAnswered = false;
  DevBackend server({.onRequest = [&](const RecordedRequest& request) {
    if (request.path != "/api/1/audit_event") return;
    std::unique_lock lock(mutex);
    if (++uploads != 1) return;
    changed.notify_all();
    lock.unlock();
    std::this_thread::sleep_for(kHeldUpload);
    lock.lock();
    firstAnswered = true;
  }});
  server.start();

  MemorySettingsStore settings;
  settings.set(DeviceApi::kSettingsKey, std::string("bench-key"));
  CurlHttpClient http;
  DeviceApi api(
      {.settings = settings, .http = http, .clock = RealClock::shared(), .baseUrl = server.url()});
  SqliteAuditEventStore sqlite(folder);
  CountingStore store(sqlite);
  EventQueue queue(
      {.api = api, .store = store, .clock = RealClock::shared(), .cap = 2 * paths.size()});
  queue.track("/Users/u/Documents/first", "/home/u/copy.txt", 1);
  {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return uploads >= 1; })) {
      throw std::runtime_error("the first upload never arrived");
    }
  }
  return timeTracking(
      queue, store, paths, full,
      [&] {
        std::lock_guard lock(mutex);
        return !firstAnswered;
      },
      [&] {
        std::lock_guard lock(mutex);
        return uploads;
      });
}

// The baseline of (a): the same calls with nothing written to disk and nothing uploading.
TrackFigures trackInMemory(const std::vector<std::string>& paths) {
  NeverReady api;
  MemoryAuditEventStore memory;
  CountingStore store(memory);
  EventQueue queue(
      {.api = api, .store = store, .clock = RealClock::shared(), .cap = 2 * paths.size()});
  queue.track("/Users/u/Documents/first", "/home/u/copy.txt", 1);
  return timeTracking(
      queue, store, paths, /*full=*/true, [] { return false; }, [] { return 0; });
}

const std::string kRecord =
    R"({"audit_event_id":"5B1D9F7E-3C3A-4F43-9A52-0D6B3E9E6C11","create_time":)"
    R"("2026-01-01T00:00:00Z","dest":"/home/u/copy.txt","source":)"
    R"("/Users/u/Documents/report-12345","volume_id":1})";

// Microseconds per append: as many as fit in `budget`, at least `least`, after `warmUp` untimed
// ones (a fresh store's first writes also grow its files, which later writes do not).
double microsPerAppend(AuditEventStore& store, int warmUp, int least, Steady::duration budget) {
  for (int i = 0; i < warmUp; ++i) store.append(kRecord);
  int count = 0;
  const auto start = Steady::now();
  while (count < least || Steady::now() - start < budget) {
    for (int i = 0; i < 100; ++i) store.append(kRecord);
    count += 100;
  }
  return std::chrono::duration<double, std::micro>(Steady::now() - start).count() / count;
}

int run(int argc, char** argv) {
  setLogWriter(makeLogWriter(LogTarget::Off, LogLevel::Error).release());
  bool full = false;
  std::string parent = fs::temp_directory_path().string();
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--full") {
      full = true;
    } else {
      parent = argv[i];
    }
  }

  // (b) first: its figure says how long the drain in (a) will take on this disk.
  std::vector<double> durable, memory;
  for (int round = 0; round < kRounds; ++round) {
    TempFolder folder("zorva-backend-bench", parent);
    SqliteAuditEventStore sqlite(folder.path());
    durable.push_back(microsPerAppend(sqlite, 500, 200, std::chrono::seconds(1)));
    MemoryAuditEventStore inMemory;
    memory.push_back(microsPerAppend(inMemory, 1000, 200000, std::chrono::milliseconds(100)));
  }
  const double durableMicros = median(durable);
  const double memoryMicros = median(memory);
  std::printf("(b) SqliteAuditEventStore::append: %.1f us/record (median of %d rounds)\n",
              durableMicros, kRounds);
  std::printf("    MemoryAuditEventStore::append: %.3f us/record\n", memoryMicros);
  std::printf("    ratio: %.0fx\n\n", durableMicros / memoryMicros);

  const auto paths = sources(kTracked);
  TrackFigures uploading;
  {
    TempFolder folder("zorva-backend-bench", parent);
    std::printf("(a) %d track() calls, first upload held %lld s\n", kTracked,
                static_cast<long long>(kHeldUpload.count()));
    std::fflush(stdout);
    uploading = trackWhileUploading(folder.path(), paths, full);
  }
  const TrackFigures baseline = trackInMemory(paths);
  const double rate = kTracked / uploading.callsSeconds;
  const double baseRate = kTracked / baseline.callsSeconds;
  std::printf("    durable store, upload in flight: calls returned in %.3f s (%.0f calls/s)%s\n",
              uploading.callsSeconds, rate,
              uploading.uploadInFlight ? "" : " [the upload ended before the last call]");
  if (uploading.projected) {
    std::printf(
        "        %d of %d durably stored within %lld s; all projected after %.1f s "
        "(%.0f records/s)\n",
        uploading.storedWithinBudget, kTracked, static_cast<long long>(kDrainBudget.count()),
        uploading.storedSeconds, kTracked / uploading.storedSeconds);
  } else {
    std::printf("        all durably stored after %.2f s (%.0f records/s)\n",
                uploading.storedSeconds, kTracked / uploading.storedSeconds);
  }
  std::printf("        uploads received meanwhile: %d (the held one answered after %lld s)\n",
              uploading.uploadsDuringDrain, static_cast<long long>(kHeldUpload.count()));
  std::printf(
      "    baseline, in-memory store, no key: calls returned in %.3f s (%.0f calls/s), "
      "all taken in after %.3f s\n",
      baseline.callsSeconds, baseRate, baseline.storedSeconds);

  std::printf("\nFigure | value | baseline | ratio\n");
  std::printf(
      "(a) track() calls/s, durable store, upload in flight | %.0f | in-memory, no key: "
      "%.0f | %.2fx\n",
      rate, baseRate, rate / baseRate);
  std::printf("(a) time until all %d durably stored%s | %.2f s | calls returned: %.3f s | %.0fx\n",
              kTracked, uploading.projected ? " (projected)" : "", uploading.storedSeconds,
              uploading.callsSeconds, uploading.storedSeconds / uploading.callsSeconds);
  std::printf("(a) time until all %d taken in | durable %.2f s | in-memory %.3f s | %.0fx\n",
              kTracked, uploading.storedSeconds, baseline.storedSeconds,
              uploading.storedSeconds / baseline.storedSeconds);
  std::printf("(b) append, us/record | SQLite %.1f | memory %.3f | %.0fx\n", durableMicros,
              memoryMicros, durableMicros / memoryMicros);
  return 0;
}

}  // namespace
}  // namespace zorva

int main(int argc, char** argv) {
  try {
    return zorva::run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "backend_bench: %s\n", error.what());
    return 1;
  }
}
