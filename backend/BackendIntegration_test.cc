// The backend client and the audit-event queue against the in-process development backend, over
// HTTPS, through the real libcurl client. Time-based rules run on a ManualClock; since the clock
// cannot see exchanges in flight on the HTTP thread, every step waits for the exchanges it caused
// to finish before looking.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>

#include "backend/AuditEventStore.h"
#include "backend/DeviceApi.h"
#include "backend/EventQueue.h"
#include "backend/devbackend/DevBackend.h"
#include "platform/dispatch/RealClock.h"
#include "platform/dispatch/testing/ManualClock.h"
#include "platform/http/testing/WatchedHttpClient.h"
#include "platform/log/testing/MemoryLogWriter.h"
#include "platform/settings/testing/MemorySettingsStore.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using json = nlohmann::json;

constexpr const char* kCheckPath = "/api/1/device/current";
constexpr const char* kUploadPath = "/api/1/audit_event";
constexpr const char* kGoodKey = "good-key-0123";
// Generous: the same waits run under ThreadSanitizer on a busy machine.
constexpr auto kWait = 30s;

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zorva-backend.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string path() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// One self-signed certificate for 127.0.0.1 for the whole run; the client trusts it as its CA.
struct Certificate {
  Certificate() {
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key +
                                " -out " + cert +
                                " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                                " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed");
  }
  TempDir dir;
  std::string cert = dir.file("cert.pem");
  std::string key = dir.file("key.pem");
};

const Certificate& certificate() {
  static const Certificate shared;
  return shared;
}

// The development backend over HTTPS, keeping every request it records. It can hold one upload
// unanswered, so that a test knows an upload is in flight.
class RecordingBackend {
 public:
  explicit RecordingBackend(DevBackendOptions options, size_t holdUpload = 0)
      : holdUpload_(holdUpload) {
    options.certPath = certificate().cert;
    options.keyPath = certificate().key;
    options.onRequest = [this](const RecordedRequest& request) { record(request); };
    server_ = std::make_unique<DevBackend>(std::move(options));
    server_->start();
  }
  ~RecordingBackend() {
    release();
    server_.reset();
  }

  std::string url() const { return server_->url(); }

  std::vector<RecordedRequest> requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> matching;
    for (const auto& request : requests_) {
      if (request.path == path) matching.push_back(request);
    }
    return matching;
  }

  bool waitForRequests(size_t count, const std::string& path) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      return std::count_if(requests_.begin(), requests_.end(), [&](const auto& r) {
               return r.path == path;
             }) >= static_cast<ptrdiff_t>(count);
    });
  }

  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  void record(const RecordedRequest& request) {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
    if (request.path == kUploadPath && ++uploads_ == holdUpload_) {
      changed_.wait_for(lock, kWait, [this] { return released_; });
    }
  }

  const size_t holdUpload_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RecordedRequest> requests_;
  size_t uploads_ = 0;
  bool released_ = false;
  std::unique_ptr<DevBackend> server_;  // last: stopped before what its callback uses
};

const std::set<std::string> kRecordMembers = {"audit_event_id", "volume_id", "source", "dest",
                                              "create_time"};

// The records of one upload, each checked for the members and types the backend reads.
std::vector<json> eventsOf(const RecordedRequest& upload) {
  const json body = json::parse(upload.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object() || body.size() != 1 || !body.contains("event_list") ||
      !body["event_list"].is_array()) {
    ADD_FAILURE() << "not an event list: " << upload.body;
    return {};
  }
  static const std::regex kId("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  static const std::regex kTime("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  std::vector<json> events;
  for (const json& record : body["event_list"]) {
    std::set<std::string> members;
    if (record.is_object()) {
      for (const auto& [name, value] : record.items()) members.insert(name);
    }
    const bool valid = members == kRecordMembers && record["audit_event_id"].is_string() &&
                       std::regex_match(record["audit_event_id"].get<std::string>(), kId) &&
                       record["volume_id"].is_number_integer() && record["source"].is_string() &&
                       record["dest"].is_string() && record["create_time"].is_string() &&
                       std::regex_match(record["create_time"].get<std::string>(), kTime);
    EXPECT_TRUE(valid) << record.dump();
    if (valid) events.push_back(record);
  }
  return events;
}

std::vector<size_t> batchSizes(const std::vector<RecordedRequest>& uploads) {
  std::vector<size_t> sizes;
  sizes.reserve(uploads.size());
  for (const auto& upload : uploads) sizes.push_back(eventsOf(upload).size());
  return sizes;
}

// How often each source arrived, over all uploads.
std::map<std::string, int> sourceCounts(const std::vector<RecordedRequest>& uploads) {
  std::map<std::string, int> counts;
  for (const auto& upload : uploads) {
    for (const json& event : eventsOf(upload)) ++counts[event["source"].get<std::string>()];
  }
  return counts;
}

std::map<std::string, int> eachOnce(const std::string& prefix, int count) {
  std::map<std::string, int> counts;
  for (int i = 0; i < count; ++i) counts[prefix + std::to_string(i)] = 1;
  return counts;
}

std::string keyOf(const RecordedRequest& request) {
  auto found = request.query.find("device_session_key");
  return found == request.query.end() ? "<none>" : found->second;
}

class BackendIntegrationTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // The client first: its cancelled completions still reach the backend client and the queue.
    http.reset();
    clock.settle();
    queue.reset();
    api.reset();
    server.reset();
  }

  void serve(DevBackendOptions options, size_t holdUpload = 0) {
    server = std::make_unique<RecordingBackend>(std::move(options), holdUpload);
  }

  // A backend client as at start-up, with `storedKey` (if any) in the settings.
  void startApi(std::optional<std::string> storedKey = std::nullopt) {
    if (storedKey) settings.set(DeviceApi::kSettingsKey, *storedKey);
    if (!http) http = std::make_unique<WatchedHttpClient>(clock, certificate().cert);
    api = std::make_unique<DeviceApi>(DeviceApi::Dependencies{
        .settings = settings, .http = *http, .clock = clock, .baseUrl = server->url()});
    finishExchanges();
  }

  void startQueue() {
    queue = std::make_unique<EventQueue>(
        EventQueue::Dependencies{.api = *api, .store = store, .clock = clock});
    finishExchanges();
  }

  void track(int count, const std::string& prefix) {
    for (int i = 0; i < count; ++i) queue->track(prefix + std::to_string(i), "/home/u/copy", 3);
  }

  // Waits until every exchange begun so far has finished and its consequences have run,
  // including exchanges those consequences began.
  void finishExchanges() { ASSERT_TRUE(http->finishExchanges()) << "an exchange did not finish"; }

  void advance(Clock::Duration by) {
    clock.advance(by);
    finishExchanges();
  }

  std::optional<std::string> storedKey() { return settings.getString(DeviceApi::kSettingsKey); }

  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  MemoryAuditEventStore store;
  std::unique_ptr<RecordingBackend> server;
  std::unique_ptr<WatchedHttpClient> http;
  std::unique_ptr<DeviceApi> api;
  std::unique_ptr<EventQueue> queue;
};

// --- The key's life cycle ---

TEST_F(BackendIntegrationTest, AStoredKeyIsCheckedOnceAndKeptOnlyIfTheBackendConfirmsIt) {
  serve({.validTokens = {kGoodKey}, .disabledTokens = {"disabled-key"}});
  struct Case {
    std::string key;
    bool kept;
  };
  for (const Case& c : {Case{"unknown-key", false},   // 401
                        Case{"disabled-key", false},  // 200 {"is_disabled":1}
                        Case{kGoodKey, true}}) {
    const size_t checksBefore = server->requests(kCheckPath).size();
    startApi(c.key);
    const auto checks = server->requests(kCheckPath);
    ASSERT_EQ(checks.size(), checksBefore + 1) << c.key;
    EXPECT_EQ(checks.back().method, "GET");
    EXPECT_EQ(checks.back().body, "");
    EXPECT_EQ(keyOf(checks.back()), c.key);
    EXPECT_EQ(api->isReady(), c.kept) << c.key;
    EXPECT_EQ(storedKey(), c.kept ? std::optional<std::string>(c.key) : std::nullopt) << c.key;
  }
  advance(10min);
  EXPECT_EQ(server->requests(kCheckPath).size(), 3u) << "a confirmed key is not checked again";
  EXPECT_THAT(http->transportErrors(), IsEmpty());
}

TEST_F(BackendIntegrationTest, AnOfferedKeyIsHeldAndStoredOnlyOnceConfirmed) {
  serve({.validTokens = {kGoodKey}});
  startApi();
  advance(10min);
  EXPECT_EQ(http->sent(), 0u) << "no key, no request";

  api->setDeviceToken("refused-key");
  finishExchanges();
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(storedKey(), std::nullopt);

  api->setDeviceToken(kGoodKey);
  finishExchanges();
  EXPECT_TRUE(api->isReady());
  EXPECT_EQ(storedKey(), kGoodKey);
  const auto checks = server->requests(kCheckPath);
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(keyOf(checks[1]), kGoodKey);
}

TEST_F(BackendIntegrationTest, KeysReachTheBackendsQueryAsTheyWereGiven) {
  serve({});  // every non-empty key is valid: what matters here is what the server decoded
  const std::string spaced = "two words, é ü 日本\t~!$'()*,;:@/?";
  const std::string long8k(8000, 'k');  // within the server's 8 KiB request line
  for (const std::string& key : {spaced, long8k}) {
    settings.remove(DeviceApi::kSettingsKey);
    startApi();
    api->setDeviceToken(key);
    finishExchanges();
    const auto checks = server->requests(kCheckPath);
    ASSERT_FALSE(checks.empty());
    EXPECT_TRUE(keyOf(checks.back()) == key) << keyOf(checks.back()).substr(0, 100);
    EXPECT_EQ(checks.back().query.size(), 1u);
    EXPECT_TRUE(api->isReady()) << key.size() << " bytes";
    EXPECT_TRUE(storedKey() == key);
  }
}

TEST_F(BackendIntegrationTest, AKeyPastTheServersRequestLineLimitIsAnsweredAsARefusal) {
  // The server's HTTP library answers 414 to a request line over 8 KiB before its handler sees
  // the request. The client sends the whole 10 kB key, and the service, having had an answer
  // that is not a server error, neither holds nor keeps it.
  serve({});
  startApi(std::string(10000, 'k'));
  EXPECT_THAT(http->statuses(), ElementsAre(414));
  EXPECT_THAT(server->requests(kCheckPath), IsEmpty());
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(storedKey(), std::nullopt);
}

TEST_F(BackendIntegrationTest, AmpersandEqualsAndPlusGoOutUnencoded) {
  // Clients of this backend send these three as they are, and the service does the same. A
  // server that decodes the query as a form therefore sees "+" as a space, "&" as the start of
  // another parameter and "=" as the split between its name and value: for the key below it
  // sees device_session_key="a b" and c="d". Had the client percent-encoded them, the server
  // would have seen the key whole.
  serve({});
  startApi();
  api->setDeviceToken("a+b&c=d");
  finishExchanges();
  const auto checks = server->requests(kCheckPath);
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_THAT(checks[0].query,
              ElementsAre(std::pair<const std::string, std::string>("c", "d"),
                          std::pair<const std::string, std::string>("device_session_key", "a b")));
  EXPECT_EQ(storedKey(), "a+b&c=d") << "kept as given, not as the server decoded it";
}

// --- Retries ---

TEST_F(BackendIntegrationTest, AServerErrorOnTheCheckIsRetriedEveryTwentySecondsAndTheKeyKept) {
  serve({.validTokens = {kGoodKey}, .statusOverrides = {{kCheckPath, 500}}});
  startApi(kGoodKey);
  ASSERT_EQ(http->sent(), 1u);
  constexpr size_t kAttempts = 100;  // the first and 99 retries
  for (size_t attempt = 2; attempt <= kAttempts; ++attempt) {
    advance(19s);
    ASSERT_EQ(http->sent(), attempt - 1) << "too early";
    advance(1s);
    ASSERT_EQ(http->sent(), attempt);
  }
  advance(1h);
  EXPECT_EQ(server->requests(kCheckPath).size(), kAttempts);
  const auto times = http->sentAt();
  for (size_t i = 1; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 20s);
  EXPECT_TRUE(api->isReady()) << "the backend never refused the key";
  EXPECT_EQ(storedKey(), kGoodKey);
}

TEST_F(BackendIntegrationTest, ANotFoundOnTheCheckIsAnAnswerNotAnOutage) {
  serve({.validTokens = {kGoodKey}, .statusOverrides = {{kCheckPath, 404}}});
  startApi(kGoodKey);
  advance(1h);
  EXPECT_EQ(server->requests(kCheckPath).size(), 1u) << "no retry";
  // The backend answered, and not with a server error: the key goes as with any refusal.
  EXPECT_FALSE(api->isReady());
  EXPECT_EQ(storedKey(), std::nullopt);
}

// A server that accepts and never answers is not staged here: the 60-second time-out runs on
// libcurl's real clock, which a ManualClock cannot move; the HTTP client's own tests cover it.

// --- Audit events ---

TEST_F(BackendIntegrationTest, TrackedRecordsGoOutInBatchesOfFiftyFiveSecondsApartEachOnce) {
  // The first record goes alone at once; its upload is held so that the next 120 all wait.
  serve({.validTokens = {kGoodKey}}, /*holdUpload=*/1);
  startApi(kGoodKey);
  startQueue();
  track(1, "/first");
  ASSERT_TRUE(server->waitForRequests(1, kUploadPath));
  track(120, "/f");
  clock.settle();
  server->release();
  finishExchanges();
  ASSERT_THAT(batchSizes(server->requests(kUploadPath)), ElementsAre(1u));

  for (size_t expected : {50u, 50u, 20u}) {
    const size_t before = server->requests(kUploadPath).size();
    advance(4999ms);
    ASSERT_EQ(server->requests(kUploadPath).size(), before);
    advance(1ms);
    const auto uploads = server->requests(kUploadPath);
    ASSERT_EQ(uploads.size(), before + 1);
    EXPECT_EQ(eventsOf(uploads.back()).size(), expected);
  }
  advance(10min);
  const auto uploads = server->requests(kUploadPath);
  EXPECT_EQ(uploads.size(), 4u);
  auto expected = eachOnce("/f", 120);
  expected["/first0"] = 1;
  EXPECT_EQ(sourceCounts(uploads), expected);
  for (const auto& upload : uploads) {
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(keyOf(upload), kGoodKey);
    for (const json& event : eventsOf(upload)) {
      EXPECT_EQ(event["dest"], "/home/u/copy");
      EXPECT_EQ(event["volume_id"], 3);
    }
  }
  EXPECT_THAT(store.all().value(), IsEmpty()) << "accepted records leave the store";
}

TEST_F(BackendIntegrationTest, ARefusedBatchIsTriedSixTimesThenWaitsBehindNewerRecords) {
  serve({.validTokens = {kGoodKey}, .statusOverrides = {{kUploadPath, 500}}});
  startApi(kGoodKey);
  startQueue();
  track(1, "/old");
  finishExchanges();
  track(2, "/new");  // while the first batch is being retried
  finishExchanges();
  const size_t firstUpload = http->sent() - 1;  // its index in sentAt(): the key check went first
  for (size_t attempt = 2; attempt <= 6; ++attempt) {
    advance(19s);
    ASSERT_EQ(server->requests(kUploadPath).size(), attempt - 1);
    advance(1s);
    ASSERT_EQ(server->requests(kUploadPath).size(), attempt);
  }
  auto uploads = server->requests(kUploadPath);
  for (const auto& upload : uploads) EXPECT_EQ(upload.body, uploads[0].body) << "the same batch";
  const auto times = http->sentAt();
  for (size_t i = firstUpload + 1; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 20s);

  queue->inspect([](size_t waiting, bool sending) {
    EXPECT_EQ(waiting, 3u) << "back in the list";
    EXPECT_FALSE(sending);
  });
  EXPECT_EQ(store.all()->size(), 3u);
  advance(29s);
  ASSERT_EQ(server->requests(kUploadPath).size(), 6u);
  advance(1s);
  uploads = server->requests(kUploadPath);
  ASSERT_EQ(uploads.size(), 7u);
  const auto retried = eventsOf(uploads.back());
  ASSERT_EQ(retried.size(), 3u);
  EXPECT_EQ(retried[0]["source"], "/new0");
  EXPECT_EQ(retried[1]["source"], "/new1");
  EXPECT_EQ(retried[2], eventsOf(uploads[0])[0]) << "the refused record, unchanged";
}

TEST_F(BackendIntegrationTest, ABackendAwayForTenMinutesCostsNoRecordAndEachArrivesOnce) {
  serve({.validTokens = {kGoodKey}});
  startApi(kGoodKey);
  startQueue();
  const std::string url = server->url();
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  server.reset();  // nothing listens on the port from here on: every connection is refused

  track(3, "/away");
  finishExchanges();
  // In steps, so that each retry a failure schedules is due within a later step.
  for (int step = 0; step < 60; ++step) advance(10s);
  EXPECT_GE(http->transportErrors().size(), 10u) << "tried all along, on the queue's timers";
  EXPECT_THAT(log.texts(),
              Contains(HasSubstr("DeviceApi: sendRequest: retry: url: "
                                 "/api/1/audit_event?device_session_key=good...(13 bytes)")))
      << "says what is wrong, without the key";
  EXPECT_EQ(store.all()->size(), 3u) << "every record still kept";
  EXPECT_TRUE(api->isReady()) << "an unreachable backend is no reason to drop the key";

  serve({.port = port, .validTokens = {kGoodKey}});
  for (int step = 0; step < 6; ++step) advance(10s);
  EXPECT_EQ(sourceCounts(server->requests(kUploadPath)), eachOnce("/away", 3));
  EXPECT_THAT(store.all().value(), IsEmpty());
}

TEST_F(BackendIntegrationTest, NothingGoesOutWithoutAKeyAndTheWaitingRecordsGoOnceOneIsHeld) {
  serve({.validTokens = {kGoodKey}});
  startApi();
  startQueue();
  track(120, "/f");
  advance(10min);
  EXPECT_EQ(http->sent(), 0u);
  EXPECT_EQ(store.all()->size(), 120u);

  api->setDeviceToken(kGoodKey);  // and no new record
  finishExchanges();
  ASSERT_THAT(batchSizes(server->requests(kUploadPath)), ElementsAre(50u));
  advance(5s);
  advance(5s);
  const auto uploads = server->requests(kUploadPath);
  EXPECT_THAT(batchSizes(uploads), ElementsAre(50u, 50u, 20u));
  EXPECT_EQ(sourceCounts(uploads), eachOnce("/f", 120));
  EXPECT_THAT(store.all().value(), IsEmpty());
}

// --- A kill in the middle of uploads ---

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer keeps a thread of its own once any other has started; it survives a fork.
constexpr size_t kRuntimeThreads = 1;
#else
constexpr size_t kRuntimeThreads = 0;
#endif

size_t threadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

// Reads one byte, or fails after `timeout`; 0 when the other end closed.
int readByte(int fd, std::chrono::milliseconds timeout) {
  pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
  char byte = 0;
  return ::read(fd, &byte, 1) == 1 ? static_cast<unsigned char>(byte) : 0;
}

constexpr int kKillRecords = 300;

// The child: the service as it runs, on the real clock, tracking as fast as it can while its
// uploads run. Tells the parent once every record is in the store, then waits to be killed.
[[noreturn]] void runKilledService(int fromParent, int toParent, const std::string& folder) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  setLogWriter(makeLogWriter(LogTarget::Off, LogLevel::Error).release());
  std::string url;
  for (int byte; (byte = readByte(fromParent, kWait)) > 0 && byte != '\n';) {
    url.push_back(static_cast<char>(byte));
  }
  if (url.empty()) ::_exit(2);
  MemorySettingsStore settings;
  settings.set(DeviceApi::kSettingsKey, std::string(kGoodKey));
  CurlHttpClient http(certificate().cert);
  DeviceApi api({.settings = settings, .http = http, .clock = RealClock::shared(), .baseUrl = url});
  SqliteAuditEventStore store(folder);
  EventQueue queue({.api = api, .store = store, .clock = RealClock::shared()});
  for (int i = 0; i < kKillRecords; ++i) {
    queue.track("/kill/" + std::to_string(i), "/home/u/dest", 11);
  }
  // track() returns before the record is written: wait for the list queue to have taken all in.
  queue.inspect([](size_t, bool) {});
  if (::write(toParent, "s", 1) != 1) ::_exit(3);
  readByte(fromParent, std::chrono::hours(1));  // until killed, or the parent is gone
  ::_exit(4);
}

TEST(DurableQueue, NoRecordIsLostToAKillInTheMiddleOfUploads) {
  TempDir folder;
  certificate();  // before the fork, so both sides share it
  // Forked while single-threaded: the child then starts its own threads safely.
  ASSERT_LE(threadCount(), 1u + kRuntimeThreads) << "fork before any thread starts";
  int down[2], up[2];
  ASSERT_EQ(::pipe2(down, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(up, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) runKilledService(down[0], up[1], folder.path());
  ::close(down[0]);
  ::close(up[1]);

  // A child that died early must fail the test, not end it with SIGPIPE on the write below.
  std::signal(SIGPIPE, SIG_IGN);
  // The first upload is accepted; the second is held unanswered until the child is dead.
  RecordingBackend server({.validTokens = {kGoodKey}}, /*holdUpload=*/2);
  const std::string line = server.url() + "\n";
  ASSERT_EQ(::write(down[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const int stored = readByte(up[0], kWait);
  const bool holding = server.waitForRequests(2, kUploadPath);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(down[1]);
  ::close(up[0]);
  ASSERT_EQ(stored, 's') << "the child did not store its records";
  ASSERT_TRUE(holding) << "no second upload";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  server.release();

  const auto firstRun = server.requests(kUploadPath);
  ASSERT_EQ(firstRun.size(), 2u);
  // The second upload went only after the first was accepted and its records removed.
  const std::map<std::string, int> accepted = sourceCounts({firstRun[0]});
  std::map<std::string, int> unaccepted;
  for (int i = 0; i < kKillRecords; ++i) {
    const std::string source = "/kill/" + std::to_string(i);
    if (!accepted.contains(source)) unaccepted[source] = 1;
  }

  // The restart, on a manual clock so that the pauses between batches cost nothing.
  MemoryLogWriter log;
  ManualClock clock;
  MemorySettingsStore settings;
  settings.set(DeviceApi::kSettingsKey, std::string(kGoodKey));
  SqliteAuditEventStore store(folder.path());
  auto http = std::make_unique<WatchedHttpClient>(clock, certificate().cert);
  bool finished = true;
  {
    DeviceApi api({.settings = settings, .http = *http, .clock = clock, .baseUrl = server.url()});
    EventQueue queue({.api = api, .store = store, .clock = clock});
    // At most 300 records: 6 batches, each after a pause.
    for (int round = 0; round < 10; ++round) {
      clock.settle();
      finished = http->waitCompleted(http->sent());
      clock.settle();
      if (!finished || store.all()->empty()) break;
      clock.advance(EventQueue::kPauseAfterSuccess);
    }
    http.reset();  // before the backend client and the queue it calls back
    clock.settle();
  }
  ASSERT_TRUE(finished) << "an upload did not finish";
  const auto all = server.requests(kUploadPath);
  const std::vector<RecordedRequest> secondRun(all.begin() + 2, all.end());
  EXPECT_EQ(sourceCounts(secondRun), unaccepted)
      << "every record not accepted before the kill, including the batch in flight, once";
  EXPECT_EQ(sourceCounts(all).size(), static_cast<size_t>(kKillRecords));
  EXPECT_THAT(store.all().value(), IsEmpty());
  for (const auto& text : log.texts()) EXPECT_EQ(text.find("unreadable"), std::string::npos);
}

}  // namespace
}  // namespace zorva
