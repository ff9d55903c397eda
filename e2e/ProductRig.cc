#include "e2e/ProductRig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/fanotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "platform/settings/SqliteSettingsStore.h"
#include "tracking/WatchRegistry.h"

namespace zorva::e2e {
namespace {

using json = nlohmann::json;

std::string errnoText() { return std::strerror(errno); }

int waitStatusCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::string keyOf(const RecordedRequest& request) {
  auto found = request.query.find("device_session_key");
  return found == request.query.end() ? std::string() : found->second;
}

}  // namespace

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval) {
  const auto deadline = Steady::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

std::optional<std::string> whyProductCannotRun() {
  if (::geteuid() != 0) return "needs root: zorvad watches the machine through fanotify";
  // The service needs both of its groups; a kernel without directory handles cannot run it.
  int fd = ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME_TARGET, O_RDONLY);
  if (fd < 0) return "fanotify with directory handles is not available: " + errnoText();
  ::close(fd);
  return std::nullopt;
}

CommandResult runCommand(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + errnoText());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<std::string> args = argv;
  std::vector<char*> argPointers = pointers(args);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argPointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  CommandResult result;
  if (spawned != 0) {
    ::close(pipeFds[0]);
    result.output = "cannot start " + args[0] + ": " + std::strerror(spawned);
    return result;
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = waitStatusCode(status);
  return result;
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TestCertificate::TestCertificate(const std::string& folder)
    : cert_(folder + "/cert.pem"), key_(folder + "/key.pem") {
  const CommandResult made = runCommand(
      {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key_, "-out", cert_,
       "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
  if (made.status != 0) throw std::runtime_error("openssl failed: " + made.output);
}

std::vector<AuditEvent> parseUpload(const std::string& body, std::vector<std::string>& problems) {
  static const std::regex kId("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  static const std::regex kTime("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  static const std::set<std::string> kMembers = {"audit_event_id", "volume_id", "source", "dest",
                                                 "create_time"};
  const json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object() || parsed.size() != 1 || !parsed.contains("event_list") ||
      !parsed["event_list"].is_array()) {
    problems.push_back("not an event list: " + body.substr(0, 300));
    return {};
  }
  std::vector<AuditEvent> events;
  for (const json& record : parsed["event_list"]) {
    std::set<std::string> members;
    if (record.is_object()) {
      for (const auto& [name, value] : record.items()) members.insert(name);
    }
    const bool valid = members == kMembers && record["audit_event_id"].is_string() &&
                       std::regex_match(record["audit_event_id"].get<std::string>(), kId) &&
                       record["volume_id"].is_number_integer() && record["source"].is_string() &&
                       record["dest"].is_string() && record["create_time"].is_string() &&
                       std::regex_match(record["create_time"].get<std::string>(), kTime);
    if (!valid) {
      problems.push_back("malformed record: " + record.dump());
      continue;
    }
    events.push_back({record["audit_event_id"].get<std::string>(),
                      record["volume_id"].get<int64_t>(), record["source"].get<std::string>(),
                      record["dest"].get<std::string>(), record["create_time"].get<std::string>()});
  }
  return events;
}

std::string BackendBehaviour::describe() const {
  switch (kind) {
    case Kind::Healthy:
      return "healthy";
    case Kind::Slow:
      return "slow (" + std::to_string(delay.count()) + " ms per request)";
    case Kind::Status:
      return "answering " + std::to_string(status) + " to uploads";
    case Kind::Down:
      return "down";
    case Kind::GarbageBytes:
      return "answering bytes that are not TLS";
    case Kind::GarbageBody:
      return "answering 200 with a body that is not JSON";
  }
  return "?";
}

// One way of serving the port.
class RigBackend::Server {
 public:
  virtual ~Server() = default;
};

namespace {

class DevServer final : public RigBackend::Server {
 public:
  explicit DevServer(DevBackendOptions options) : backend_(std::move(options)) {}
  int start() { return backend_.start(); }

 private:
  DevBackend backend_;
};

// A plain TCP listener that answers every connection with bytes that are not a TLS handshake.
class GarbageBytesServer final : public RigBackend::Server {
 public:
  GarbageBytesServer(int port, std::function<void()> onConnection)
      : onConnection_(std::move(onConnection)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 16) != 0) {
      const std::string reason = errnoText();
      ::close(fd_);
      throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " + reason);
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~GarbageBytesServer() override {
    stopping_ = true;
    thread_.join();
    ::close(fd_);
  }

 private:
  void serve() {
    static const char kGarbage[] = "HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\n\x01\x02garbage";
    while (!stopping_) {
      pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      onConnection_();
      char buffer[2048];
      pollfd c{.fd = client, .events = POLLIN, .revents = 0};
      if (::poll(&c, 1, 1000) > 0) [[maybe_unused]]
        auto n = ::read(client, buffer, sizeof buffer);
      [[maybe_unused]] auto written = ::send(client, kGarbage, sizeof kGarbage - 1, MSG_NOSIGNAL);
      ::close(client);
    }
  }

  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::function<void()> onConnection_;
  std::thread thread_;
};

// HTTPS whose uploads are answered 200 with an HTML page; the device check as usual.
class GarbageBodyServer final : public RigBackend::Server {
 public:
  GarbageBodyServer(const TestCertificate& certificate, int port,
                    const std::function<void(const RecordedRequest&)>& onRequest)
      : server_(certificate.cert().c_str(), certificate.key().c_str()) {
    server_.set_socket_options([](int sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    auto handler = [onRequest](const httplib::Request& req, httplib::Response& res) {
      RecordedRequest recorded{
          .time = "", .method = req.method, .path = req.path, .query = {}, .body = req.body};
      if (const size_t mark = req.target.find('?'); mark != std::string::npos) {
        httplib::Params query;
        httplib::detail::parse_query_text(req.target.substr(mark + 1), query);
        recorded.query = {query.begin(), query.end()};
      }
      onRequest(recorded);
      res.status = 200;
      if (req.path == RigBackend::kCheckPath) {
        res.set_content(R"({"is_disabled":0})", "application/json");
      } else {
        res.set_content("<html><body>\x01 temporarily garbled {\"ok\": tr", "text/html");
      }
    };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    if (!server_.bind_to_port("127.0.0.1", port)) {
      throw std::runtime_error("cannot listen on port " + std::to_string(port));
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    if (!waitFor([this] { return server_.is_running(); }, 10s, 1ms)) {
      server_.stop();
      thread_.join();
      throw std::runtime_error("the garbage server did not start");
    }
  }
  ~GarbageBodyServer() override {
    server_.stop();
    thread_.join();
  }

 private:
  httplib::SSLServer server_;
  std::thread thread_;
};

}  // namespace

RigBackend::RigBackend(const TestCertificate& certificate, std::string validKey,
                       BackendBehaviour behaviour)
    : certificate_(certificate), validKey_(std::move(validKey)) {
  // The port is chosen once, by the first server to listen, and kept.
  auto first = std::make_unique<DevServer>(DevBackendOptions{
      .certPath = certificate_.cert(), .keyPath = certificate_.key(), .validTokens = {validKey_}});
  port_ = first->start();
  url_ = "https://127.0.0.1:" + std::to_string(port_);
  first.reset();
  set(behaviour);
}

RigBackend::~RigBackend() { server_.reset(); }

std::unique_ptr<RigBackend::Server> RigBackend::makeServer(const BackendBehaviour& behaviour,
                                                           int port) {
  using Kind = BackendBehaviour::Kind;
  const Kind kind = behaviour.kind;
  switch (kind) {
    case Kind::Down:
      return nullptr;
    case Kind::GarbageBytes:
      return std::make_unique<GarbageBytesServer>(port, [this] {
        record(
            RecordedRequest{
                .time = "", .method = "?", .path = "(not TLS)", .query = {}, .body = ""},
            Kind::GarbageBytes);
      });
    case Kind::GarbageBody:
      return std::make_unique<GarbageBodyServer>(
          certificate_, port,
          [this](const RecordedRequest& request) { record(request, Kind::GarbageBody); });
    case Kind::Healthy:
    case Kind::Slow:
    case Kind::Status:
      break;
  }
  DevBackendOptions options{.port = port,
                            .certPath = certificate_.cert(),
                            .keyPath = certificate_.key(),
                            .validTokens = {validKey_}};
  if (kind == Kind::Status) options.statusOverrides = {{kUploadPath, behaviour.status}};
  int analytics = 0;
  {
    std::lock_guard lock(mutex_);
    analytics = analyticsStatus_;
  }
  if (analytics != 0) options.statusOverrides[kTrackPath] = analytics;
  const auto delay = behaviour.delay;
  options.onRequest = [this, kind, delay](const RecordedRequest& request) {
    record(request, kind);
    // Called before the answer is sent: holding it here is a slow backend.
    if (kind == Kind::Slow) std::this_thread::sleep_for(delay);
  };
  auto server = std::make_unique<DevServer>(std::move(options));
  server->start();
  return server;
}

void RigBackend::set(BackendBehaviour behaviour) {
  server_.reset();
  {
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
  }
  // The port was just released by this process: binding it again can only fail briefly.
  std::string failure;
  const bool started = waitFor(
      [&] {
        try {
          server_ = makeServer(behaviour, port_);
          return true;
        } catch (const std::exception& error) {
          failure = error.what();
          return false;
        }
      },
      10s, 20ms);
  if (!started) throw std::runtime_error("backend cannot serve again: " + failure);
}

void RigBackend::setAnalyticsStatus(int status) {
  {
    std::lock_guard lock(mutex_);
    analyticsStatus_ = status;
  }
  set(behaviour());
}

BackendBehaviour RigBackend::behaviour() const {
  std::lock_guard lock(mutex_);
  return behaviour_;
}

void RigBackend::record(const RecordedRequest& request, BackendBehaviour::Kind kind) {
  using Kind = BackendBehaviour::Kind;
  const auto arrived = Steady::now();
  std::lock_guard lock(mutex_);
  BackendRequest entry{.request = request, .servedAs = kind};
  if (request.method == "POST" && request.path == kUploadPath) {
    std::vector<std::string> found;
    std::vector<AuditEvent> events = parseUpload(request.body, found);
    problems_.insert(problems_.end(), found.begin(), found.end());
    const bool answeredOk =
        kind == Kind::Healthy || kind == Kind::Slow || kind == Kind::GarbageBody ||
        (kind == Kind::Status && behaviour_.status >= 200 && behaviour_.status < 300);
    // The development backend refuses an unknown key and a body that is not JSON.
    entry.accepted = answeredOk && found.empty() && keyOf(request) == validKey_;
    if (entry.accepted) {
      for (const AuditEvent& event : events) {
        delivered_.push_back(event);
        byDest_[event.dest].push_back(event);
        firstDelivery_.emplace(event.dest, arrived);
      }
    }
    // Any upload that carried a destination counts as an attempt for it.
    for (const AuditEvent& event : events) byDest_["attempt:" + event.dest].push_back(event);
  }
  if (request.method == "POST" && request.path == kTrackPath) {
    ++telemetryUploads_;
    const bool served = kind == Kind::Healthy || kind == Kind::Slow || kind == Kind::Status;
    entry.accepted = served && analyticsStatus_ == 0;
    if (entry.accepted) {
      const json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
      if (body.is_object() && body.contains("events") && body["events"].is_array()) {
        for (const json& event : body["events"]) telemetryEvents_.push_back(event.dump());
      } else {
        problems_.push_back("a telemetry upload without a list of events: " + request.body);
      }
    }
  }
  requests_.push_back(std::move(entry));
}

std::vector<BackendRequest> RigBackend::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<BackendRequest> RigBackend::uploads() const {
  std::lock_guard lock(mutex_);
  std::vector<BackendRequest> out;
  for (const auto& r : requests_) {
    if (r.request.path == kUploadPath) out.push_back(r);
  }
  return out;
}

std::vector<AuditEvent> RigBackend::delivered() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

std::vector<AuditEvent> RigBackend::deliveredTo(const std::string& dest) const {
  std::lock_guard lock(mutex_);
  auto found = byDest_.find(dest);
  return found == byDest_.end() ? std::vector<AuditEvent>{} : found->second;
}

std::optional<Steady::time_point> RigBackend::firstDeliveryTime(const std::string& dest) const {
  std::lock_guard lock(mutex_);
  auto found = firstDelivery_.find(dest);
  if (found == firstDelivery_.end()) return std::nullopt;
  return found->second;
}

bool RigBackend::waitForDelivery(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return !deliveredTo(dest).empty(); }, timeout);
}

bool RigBackend::waitForAttempt(const std::string& dest, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return !deliveredTo("attempt:" + dest).empty(); }, timeout);
}

std::vector<std::string> RigBackend::acceptedTelemetryEvents() const {
  std::lock_guard lock(mutex_);
  return telemetryEvents_;
}

size_t RigBackend::telemetryUploads() const {
  std::lock_guard lock(mutex_);
  return telemetryUploads_;
}

std::vector<std::string> RigBackend::problems() const {
  std::lock_guard lock(mutex_);
  return problems_;
}

ZorvadProcess::ZorvadProcess(ZorvadOptions options) : options_(std::move(options)) {
  noBus_ = "unix:path=" + options_.logFolder + "/nobus";
}

ZorvadProcess::~ZorvadProcess() {
  if (pid_ > 0) kill();
}

std::string ZorvadProcess::logPath(int run) const {
  return options_.logFolder + "/zorvad-" + std::to_string(run) + ".log";
}

void ZorvadProcess::start() {
  if (pid_ > 0) throw std::logic_error("zorvad is still running");
  ++runs_;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "ZORVA_", 6) != 0) environment.emplace_back(*entry);
  }
  for (const std::string& setting : std::vector<std::string>{
           "ZORVA_EVENT_SOURCE=fanotify",
           "ZORVA_STATE_DIR=" + options_.stateDir,
           "ZORVA_BACKEND_URL=" + options_.backendUrl,
           "ZORVA_ANALYTICS_URL=" + options_.analyticsUrl,
           "ZORVA_CA_FILE=" + options_.caFile,
           "ZORVA_LOG=stderr",
           "ZORVA_BUS=" + options_.busAddress.value_or(noBus_),
       }) {
    environment.push_back(setting);
  }
  environment.insert(environment.end(), options_.extraEnvironment.begin(),
                     options_.extraEnvironment.end());
  std::vector<std::string> args = {options_.program};
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(environment);
  const std::string log = logPath(runs_);
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd < 0) throw std::runtime_error("cannot create " + log + ": " + errnoText());
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(logFd);
    throw std::runtime_error("fork: " + errnoText());
  }
  if (child == 0) {
    // Only async-signal-safe calls from here to exec: the parent has threads. A test that dies
    // must not leave a service watching the machine behind it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  pid_ = child;
}

bool ZorvadProcess::waitUntilReady(std::chrono::milliseconds timeout) const {
  return waitForLog("ZORVA_LOG: dispatch_main", timeout);
}

int ZorvadProcess::signalAndWait(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

int ZorvadProcess::stop() { return signalAndWait(SIGTERM); }
int ZorvadProcess::kill() { return signalAndWait(SIGKILL); }

bool ZorvadProcess::running() const {
  if (pid_ <= 0) return false;
  // Reaps nothing: a service that ended on its own stays waitable for stop() and kill().
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

std::string ZorvadProcess::log() const { return runs_ == 0 ? std::string() : logOfRun(runs_); }
std::string ZorvadProcess::logOfRun(int run) const { return readFile(logPath(run)); }

bool ZorvadProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return waitFor([&] { return log().find(text) != std::string::npos; }, timeout, 20ms);
}

std::vector<std::string> ZorvadProcess::logLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

void saveServiceState(const std::string& stateDir, const std::string& deviceKey,
                      const std::map<int64_t, std::string>& volumes) {
  std::filesystem::create_directories(stateDir);
  auto settings = SqliteSettingsStore::open(stateDir);
  SettingValue::Dictionary roots;
  for (const auto& [volumeId, folder] : volumes) {
    const std::string root = WatchRegistry::watchRoot(folder);
    roots.emplace(root, SettingValue::Dictionary{{"path", root}, {"volumeId", volumeId}});
  }
  if (!settings->set("zorva_device_key", deviceKey) ||
      !settings->set(WatchRegistry::kSettingsKey, std::move(roots))) {
    throw std::runtime_error("cannot save the service's state in " + stateDir);
  }
}

std::vector<std::string> storedAuditEvents(const std::string& stateDir) {
  const std::string path = stateDir + "/audit-events.sqlite3";
  std::vector<std::string> records;
  if (!std::filesystem::exists(path)) return records;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string reason = db ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close_v2(db);
    throw std::runtime_error("cannot read " + path + ": " + reason);
  }
  sqlite3_stmt* select = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT record FROM audit_events ORDER BY id", -1, &select, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(select) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
      records.emplace_back(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(select, 0)));
    }
  }
  sqlite3_finalize(select);
  sqlite3_close_v2(db);
  return records;
}

const char* driveKindName(DriveKind kind) {
  switch (kind) {
    case DriveKind::Ext4:
      return "ext4";
    case DriveKind::Xfs:
      return "xfs";
    case DriveKind::BtrfsSubvolume:
      return "btrfs_subvolume";
    case DriveKind::Tmpfs:
      return "tmpfs";
    case DriveKind::Overlay:
      return "overlay";
    case DriveKind::FuseFat:
      return "fuse_fat";
    case DriveKind::FuseNtfs:
      return "fuse_ntfs";
    case DriveKind::FuseExfat:
      return "fuse_exfat";
  }
  return "?";
}

LoopDrive::LoopDrive(const std::string& folder, DriveKind kind)
    : image_(folder + "/drive.img"), mountPoint_(folder + "/drive"), tmpfs_(folder + "/tmpfs") {
  std::filesystem::create_directories(mountPoint_);
  std::filesystem::create_directories(tmpfs_);
  auto check = [](const std::vector<std::string>& step) {
    const CommandResult result = runCommand(step);
    if (result.status != 0) {
      throw std::runtime_error(step[0] + " for the loop drive failed: " + result.output);
    }
    return result.output;
  };
  // Sparse images: xfs wants 300 MB at least, but only what is written takes room.
  const std::string size =
      kind == DriveKind::Xfs || kind == DriveKind::BtrfsSubvolume ? "320M" : "64M";
  if (kind != DriveKind::Tmpfs && kind != DriveKind::Overlay)
    check({"truncate", "-s", size, image_});
  switch (kind) {
    case DriveKind::Ext4:
      check({"mkfs.ext4", "-q", "-F", image_});
      check({"mount", "-o", "loop", image_, mountPoint_});
      break;
    case DriveKind::Xfs:
      check({"mkfs.xfs", "-q", image_});
      check({"mount", "-o", "loop", image_, mountPoint_});
      break;
    case DriveKind::BtrfsSubvolume:
      check({"mkfs.btrfs", "-q", image_});
      check({"mount", "-o", "loop", image_, mountPoint_});
      check({"btrfs", "-q", "subvolume", "create", mountPoint_ + "/volume"});
      check({"umount", mountPoint_});
      check({"mount", "-o", "loop,subvol=volume", image_, mountPoint_});
      break;
    case DriveKind::Tmpfs:
      check({"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e-drive", mountPoint_});
      break;
    case DriveKind::Overlay:
      for (const char* layer : {"/lower", "/upper", "/work"}) {
        std::filesystem::create_directories(folder + layer);
      }
      check({"mount", "-t", "overlay", "zorva-e2e-drive", "-o",
             "lowerdir=" + folder + "/lower,upperdir=" + folder + "/upper,workdir=" + folder +
                 "/work",
             mountPoint_});
      break;
    case DriveKind::FuseFat:
      check({"mkfs.vfat", image_});
      check({"fusefat", "-o", "rw+", image_, mountPoint_});
      break;
    case DriveKind::FuseNtfs:
      check({"mkfs.ntfs", "-F", "-f", "-q", image_});
      check({"ntfs-3g", image_, mountPoint_});
      break;
    case DriveKind::FuseExfat: {
      check({"mkfs.exfat", image_});
      std::string device = check({"losetup", "-f", "--show", image_});
      while (!device.empty() && device.back() == '\n') device.pop_back();
      loopDevice_ = device;
      check({"mount.exfat-fuse", loopDevice_, mountPoint_});
      break;
    }
  }
  check({"mount", "-t", "tmpfs", "-o", "size=64m", "zorva-e2e", tmpfs_});
}

bool LoopDrive::unmount() { return runCommand({"umount", mountPoint_}).status == 0; }

LoopDrive::~LoopDrive() {
  for (const std::string& mounted : {mountPoint_, tmpfs_}) {
    if (runCommand({"mountpoint", "-q", mounted}).status != 0) continue;
    if (runCommand({"umount", mounted}).status != 0) runCommand({"umount", "-l", mounted});
  }
  if (!loopDevice_.empty()) runCommand({"losetup", "-d", loopDevice_});
  std::error_code ignored;
  std::filesystem::remove(image_, ignored);
}

ProductRig::ProductRig(std::string zorvadProgram, RigOptions options)
    : options_(std::move(options)), temp_("zorva-e2e") {
  watched_ = temp_ / "Watched";
  if (options_.loopDrive) {
    drive_ = std::make_unique<LoopDrive>(temp_.path(), options_.driveKind);
    watched_ = drive_->mountPoint() + "/Watched";
    driveOut_ = drive_->mountPoint() + "/out";
    std::filesystem::create_directories(driveOut_);
  }
  watched2_ = temp_ / "watched2";
  outside_ = temp_ / "outside";
  stateDir_ = options_.stateDir.empty() ? temp_ / "state" : options_.stateDir;
  for (const std::string& folder : {watched_, watched2_, outside_, stateDir_, temp_ / "logs"}) {
    std::filesystem::create_directories(folder);
  }
  certificate_ = std::make_unique<TestCertificate>(temp_.path());
  backend_ = std::make_unique<RigBackend>(*certificate_, options_.deviceKey, options_.backend);
  if (options_.analyticsStatus != 0) backend_->setAnalyticsStatus(options_.analyticsStatus);
  service_ = std::make_unique<ZorvadProcess>(ZorvadOptions{.program = std::move(zorvadProgram),
                                                           .stateDir = stateDir_,
                                                           .backendUrl = backend_->url(),
                                                           .analyticsUrl = backend_->url(),
                                                           .caFile = certificate_->cert(),
                                                           .busAddress = options_.busAddress,
                                                           .logFolder = temp_ / "logs",
                                                           .extraEnvironment = {}});
}

ProductRig::~ProductRig() {
  service_.reset();  // first: the service must not outlive the folders it watches
  backend_.reset();
  drive_.reset();  // before the temporary folder that holds it is removed
}

void ProductRig::start() {
  if (options_.seedState) {
    saveServiceState(stateDir_, options_.deviceKey,
                     {{kVolume, watched_}, {kOtherVolume, watched2_}});
  }
  restart();
}

void ProductRig::restart() {
  service_->start();
  if (!service_->waitUntilReady()) {
    throw std::runtime_error("zorvad did not start; its log:\n" + service_->log());
  }
}

std::optional<std::string> ProductRig::markerCopy(std::chrono::milliseconds timeout) {
  const std::string name = "marker-" + std::to_string(++markers_) + ".txt";
  // Distinct content and size, so that no other watched file is taken for its source.
  writeFile(watched(name), name + std::string(static_cast<size_t>(7000 + markers_), 'm'));
  const std::string dest = outside(name);
  if (runCommand({"cp", watched(name), dest}).status != 0) return std::nullopt;
  if (!backend_->waitForDelivery(dest, timeout)) return std::nullopt;
  return dest;
}

}  // namespace zorva::e2e
