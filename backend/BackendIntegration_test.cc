// The backend client and the audit-event queue against the in-process development backend, over
// HTTPS, through the real libcurl client, with the service killed in the middle of its uploads.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "backend/AuditEventStore.h"
#include "backend/DeviceApi.h"
#include "backend/EventQueue.h"
#include "backend/devbackend/DevBackend.h"
#include "platform/dispatch/RealClock.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/WatchedHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"
#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

namespace zorva {
namespace {

using ::testing::IsEmpty;
using json = nlohmann::json;

constexpr const char* kUploadPath = "/api/1/audit_event";
constexpr const char* kGoodKey = "good-key-0123";
constexpr int kRecords = 300;
// Generous: the same waits run under ThreadSanitizer on a busy machine.
constexpr auto kWait = std::chrono::seconds(30);

// A self-signed certificate for 127.0.0.1; the client trusts it as its CA.
struct Certificate {
  TempFolder folder{"zorva-backend"};
  TestCertificate made{folder.path()};
  std::string cert = made.cert();
  std::string key = made.key();
};

// The development backend over HTTPS, keeping the uploads it received. It holds its second upload
// unanswered until release(), so that the test knows an upload is in flight.
class RecordingBackend {
 public:
  explicit RecordingBackend(const Certificate& certificate) {
    _server = std::make_unique<DevBackend>(DevBackendOptions{
        .certPath = certificate.cert,
        .keyPath = certificate.key,
        .validTokens = {kGoodKey},
        .onRequest = [this](const RecordedRequest& request) { record(request); }});
    _server->start();
  }
  ~RecordingBackend() {
    release();
    _server.reset();
  }

  std::string url() const { return _server->url(); }
  std::vector<RecordedRequest> uploads() const {
    std::lock_guard lock(_mutex);
    return _uploads;
  }
  bool waitForUploads(size_t count) const {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, kWait, [&] { return _uploads.size() >= count; });
  }
  void release() {
    std::lock_guard lock(_mutex);
    _released = true;
    _changed.notify_all();
  }

 private:
  void record(const RecordedRequest& request) {
    if (request.path != kUploadPath) return;
    std::unique_lock lock(_mutex);
    _uploads.push_back(request);
    _changed.notify_all();
    if (_uploads.size() == 2) _changed.wait_for(lock, kWait, [this] { return _released; });
  }

  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  std::vector<RecordedRequest> _uploads;
  bool _released = false;
  std::unique_ptr<DevBackend> _server;  // last: stopped before what its callback uses
};

// How often each source arrived, over all uploads.
std::map<std::string, int> sourceCounts(const std::vector<RecordedRequest>& uploads) {
  std::map<std::string, int> counts;
  for (const auto& upload : uploads) {
    const json body = json::parse(upload.body, nullptr, /*allow_exceptions=*/false);
    EXPECT_TRUE(body.is_object() && body["event_list"].is_array()) << upload.body;
    for (const json& record : body.value("event_list", json::array())) {
      ++counts[record.value("source", "<none>")];
    }
  }
  return counts;
}

// Reads one byte, or fails after `timeout`; 0 when the other end closed.
int readByte(int fd, std::chrono::milliseconds timeout) {
  pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
  char byte = 0;
  return ::read(fd, &byte, 1) == 1 ? static_cast<unsigned char>(byte) : 0;
}

// The child: the service as it runs, on the real clock, tracking as fast as it can while its
// uploads run. Tells the parent once every record is in the store, then waits to be killed.
[[noreturn]] void runKilledService(int fromParent, int toParent, const std::string& folder,
                                   const Certificate& certificate) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  setLogWriter(makeLogWriter(LogTarget::Off, LogLevel::Error).release());
  std::string url;
  for (int byte; (byte = readByte(fromParent, kWait)) > 0 && byte != '\n';) {
    url.push_back(static_cast<char>(byte));
  }
  if (url.empty()) ::_exit(2);
  MemorySettingsStore settings;
  settings.set(DeviceApi::kSettingsKey, std::string(kGoodKey));
  CurlHttpClient http(certificate.cert);
  DeviceApi api({.settings = settings, .http = http, .clock = RealClock::shared(), .baseUrl = url});
  SqliteAuditEventStore store(folder);
  EventQueue queue({.api = api, .store = store, .clock = RealClock::shared()});
  for (int i = 0; i < kRecords; ++i) queue.track("/kill/" + std::to_string(i), "/home/u/dest", 11);
  // track() returns before the record is written: wait for the list queue to have taken all in.
  queue.inspect([](size_t, bool) {});
  if (::write(toParent, "s", 1) != 1) ::_exit(3);
  readByte(fromParent, std::chrono::hours(1));  // until killed, or the parent is gone
  ::_exit(4);
}

TEST(DurableQueue, NoRecordIsLostToAKillInTheMiddleOfUploads) {
  TempFolder folder("zorva-backend");
  const Certificate certificate;  // before the fork, so both sides share it
  // Forked before any thread starts: the child then starts its own threads safely.
  int down[2], up[2];
  ASSERT_EQ(::pipe2(down, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(up, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) runKilledService(down[0], up[1], folder.path(), certificate);
  ::close(down[0]);
  ::close(up[1]);

  // A child that died early must fail the test, not end it with SIGPIPE on the write below.
  std::signal(SIGPIPE, SIG_IGN);
  // The first upload is accepted; the second is held unanswered until the child is dead.
  RecordingBackend server(certificate);
  const std::string line = server.url() + "\n";
  ASSERT_EQ(::write(down[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const int stored = readByte(up[0], kWait);
  const bool holding = server.waitForUploads(2);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(down[1]);
  ::close(up[0]);
  ASSERT_EQ(stored, 's') << "the child did not store its records";
  ASSERT_TRUE(holding) << "no second upload";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  server.release();

  const auto firstRun = server.uploads();
  ASSERT_EQ(firstRun.size(), 2u);
  // The second upload went only after the first was accepted and its records removed.
  const std::map<std::string, int> accepted = sourceCounts({firstRun[0]});
  std::map<std::string, int> unaccepted;
  for (int i = 0; i < kRecords; ++i) {
    const std::string source = "/kill/" + std::to_string(i);
    if (!accepted.contains(source)) unaccepted[source] = 1;
  }

  // The restart, on a manual clock so that the pauses between batches cost nothing.
  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  settings.set(DeviceApi::kSettingsKey, std::string(kGoodKey));
  SqliteAuditEventStore store(folder.path());
  auto http = std::make_unique<WatchedHttpClient>(clock, certificate.cert);
  bool finished = true;
  {
    DeviceApi api({.settings = settings, .http = *http, .clock = clock, .baseUrl = server.url()});
    EventQueue queue({.api = api, .store = store, .clock = clock});
    // At most 300 records: 6 batches, each after a pause.
    // The store is the queue's alone while it runs: what waits is asked on its queue.
    auto waiting = [&queue] {
      bool more = false;
      queue.inspect([&more](size_t waiting, bool sending) { more = waiting > 0 || sending; });
      return more;
    };
    for (int round = 0; round < 10 && finished && waiting(); ++round) {
      finished = http->finishExchanges();
      clock.advance(EventQueue::kPauseAfterSuccess);
    }
    http.reset();  // before the backend client and the queue it calls back
    clock.settle();
  }
  ASSERT_TRUE(finished) << "an upload did not finish";
  const auto all = server.uploads();
  const std::vector<RecordedRequest> secondRun(all.begin() + 2, all.end());
  EXPECT_EQ(sourceCounts(secondRun), unaccepted)
      << "every record not accepted before the kill, including the batch in flight, once";
  EXPECT_EQ(sourceCounts(all).size(), static_cast<size_t>(kRecords));
  EXPECT_THAT(store.all().value(), IsEmpty());
  for (const auto& text : log.texts()) EXPECT_EQ(text.find("unreadable"), std::string::npos);
}

}  // namespace
}  // namespace zorva
