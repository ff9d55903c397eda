#include "backend/devbackend/DevBackend.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace zorva {
namespace {

// The service sends whole batches of audit events in one request.
constexpr size_t kMaxPayload = size_t{32} * 1024 * 1024;
// A client that keeps an idle connection open holds stop() back for up to this long.
constexpr time_t kKeepAliveSeconds = 1;
constexpr auto kStartTimeout = std::chrono::seconds(5);
// Room for "YYYY-MM-DDTHH:MM:SS", and for that with ".mmmZ" appended.
constexpr size_t kTimeTextSize = 32;
constexpr size_t kTimeWithMillisSize = 48;
// Where "HH:MM:SS.mmm" starts in a record's time, and its length: what a person reads.
constexpr size_t kClockStart = 11;
constexpr size_t kClockLength = 12;
// The statuses a rehearsal may answer with: successes and every error.
constexpr int kLowestOverride = 200;
constexpr int kHighestOverride = 599;
constexpr uint32_t kLoopbackNet = 127;  // 127.0.0.0/8

std::string utcNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[kTimeTextSize];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  char withMillis[kTimeWithMillisSize];
  std::snprintf(withMillis, sizeof withMillis, "%.*s.%03dZ", static_cast<int>(length), text,
                static_cast<int>(millis));
  return withMillis;
}

bool contains(const std::vector<std::string>& tokens, const std::string& token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

void answer(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

}  // namespace

std::string toJsonLine(const RecordedRequest& request) {
  nlohmann::json query = nlohmann::json::object();
  for (const auto& [name, value] : request.query) {
    auto& slot = query[name];
    if (slot.is_null()) {
      slot = value;
    } else {
      if (!slot.is_array()) slot = nlohmann::json::array({slot});
      slot.push_back(value);
    }
  }
  const nlohmann::json line = {{"time", request.time},
                               {"method", request.method},
                               {"path", request.path},
                               {"query", query},
                               {"body", request.body}};
  // Bodies are whatever a client sent; bytes that are not UTF-8 must not cost the record.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

std::string memberText(const nlohmann::json& object, const char* name) {
  auto member = object.find(name);
  if (member == object.end()) return "(none)";
  if (member->is_string()) return member->get<std::string>();
  return member->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::vector<std::string> describeRequest(const RecordedRequest& request) {
  const std::string head =
      request.time.substr(std::min(request.time.size(), kClockStart), kClockLength) + "  " +
      request.method + " " + request.path;
  const auto body = nlohmann::json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  const bool audit = request.path == "/api/1/audit_event";
  const char* listName = audit ? "event_list" : "events";
  if (!body.is_object() || !body.contains(listName) || !(*body.find(listName)).is_array()) {
    if (request.body.empty()) return {head};
    return {head + " (" + std::to_string(request.body.size()) + " bytes)"};
  }
  const nlohmann::json& list = *body.find(listName);
  std::vector<std::string> lines;
  if (!audit) {
    std::string kinds;
    for (const nlohmann::json& record : list) {
      if (!record.is_object()) continue;
      std::string kind =
          record.contains("type") ? memberText(record, "type") : memberText(record, "log_line");
      kinds += (kinds.empty() ? "" : ", ") + kind;
    }
    return {head + ": " + std::to_string(list.size()) + " record(s): " + kinds};
  }
  lines.push_back(head + ": " + std::to_string(list.size()) + " audit event(s)");
  for (const nlohmann::json& event : list) {
    if (!event.is_object()) continue;
    lines.push_back("    volume " + memberText(event, "volume_id") + ": " +
                    memberText(event, "source") + " -> " + memberText(event, "dest") + "  (" +
                    memberText(event, "create_time") + ")");
  }
  return lines;
}

bool isLoopbackHost(std::string_view host) {
  const std::string text(host);
  if (text.find('\0') != std::string::npos) return false;
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == kLoopbackNet;
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

std::optional<std::pair<std::string, int>> parseStatusOverride(std::string_view text) {
  const size_t equals = text.rfind('=');
  if (equals == std::string_view::npos) return std::nullopt;
  const std::string_view path = text.substr(0, equals);
  const std::string_view code = text.substr(equals + 1);
  int status = 0;
  const auto [end, error] = std::from_chars(code.data(), code.data() + code.size(), status);
  if (path.empty() || path.front() != '/' || code.empty() || error != std::errc() ||
      end != code.data() + code.size() || status < kLowestOverride || status > kHighestOverride) {
    return std::nullopt;
  }
  return std::make_pair(std::string(path), status);
}

struct DevBackend::Impl {
  enum class Token { Unknown, Valid, Disabled };

  explicit Impl(DevBackendOptions o) : options(std::move(o)) {}

  Token token(const httplib::Params& query) const {
    const auto found = query.find("device_session_key");
    const std::string key = found == query.end() ? "" : found->second;
    if (key.empty()) return Token::Unknown;
    if (contains(options.disabledTokens, key)) return Token::Disabled;
    if (options.validTokens.empty() || contains(options.validTokens, key)) return Token::Valid;
    return Token::Unknown;
  }

  void record(const httplib::Request& req, const httplib::Params& query) {
    RecordedRequest recorded{.time = utcNow(),
                             .method = req.method,
                             .path = req.path,
                             .query = {query.begin(), query.end()},
                             .body = req.body};
    std::lock_guard lock(recordMutex);
    if (log.is_open()) log << toJsonLine(recorded) << '\n' << std::flush;
    if (options.onRequest) options.onRequest(recorded);
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    // The library's params also take in the fields of a form-encoded body; a key sent that way
    // must neither pass the token check nor be logged as query.
    httplib::Params query;
    if (const size_t mark = req.target.find('?'); mark != std::string::npos) {
      httplib::detail::parse_query_text(req.target.substr(mark + 1), query);
    }
    record(req, query);
    if (auto rehearsed = options.statusOverrides.find(req.path);
        rehearsed != options.statusOverrides.end()) {
      return answer(res, rehearsed->second, {{"error", "rehearsed"}});
    }
    const std::string analytics = "/" + options.org + "/1/";
    if (req.method == "GET" && req.path == "/api/1/device/current") {
      switch (token(query)) {
        case Token::Valid:
          return answer(res, 200, {{"is_disabled", 0}});
        case Token::Disabled:
          return answer(res, 200, {{"is_disabled", 1}});
        case Token::Unknown:
          return answer(res, 401, {{"error", "unknown device"}});
      }
    }
    if (req.method == "POST" && req.path == "/api/1/audit_event") {
      // A disabled device is still a known one: it is told so by the device check, not here.
      if (token(query) == Token::Unknown) return answer(res, 401, {{"error", "unknown device"}});
      return acceptJson(req, res);
    }
    if (req.method == "POST" &&
        (req.path == analytics + "track" || req.path == analytics + "app_log")) {
      return acceptJson(req, res);
    }
    answer(res, 404, {{"error", "not found"}});
  }

  static void acceptJson(const httplib::Request& req, httplib::Response& res) {
    if (!nlohmann::json::accept(req.body)) return answer(res, 400, {{"error", "body is not JSON"}});
    answer(res, 200, {{"ok", true}});
  }

  std::string hostForUrl() const {
    return options.host.find(':') == std::string::npos ? options.host : "[" + options.host + "]";
  }

  DevBackendOptions options;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> finished{false};
  std::string url;
  std::mutex recordMutex;
  std::ofstream log;
};

DevBackend::DevBackend(DevBackendOptions options)
    : _impl(std::make_unique<Impl>(std::move(options))) {}

DevBackend::~DevBackend() { stop(); }

int DevBackend::start() {
  Impl& s = *_impl;
  const DevBackendOptions& o = s.options;
  if (s.server) throw std::logic_error("the development backend is already started");
  if (!isLoopbackHost(o.host)) {
    throw std::invalid_argument("host " + o.host + " is not a loopback address");
  }
  if (o.certPath.empty() != o.keyPath.empty()) {
    throw std::invalid_argument("a certificate needs its key and a key its certificate");
  }

  std::unique_ptr<httplib::Server> server;
  if (o.certPath.empty()) {
    server = std::make_unique<httplib::Server>();
  } else {
    server = std::make_unique<httplib::SSLServer>(o.certPath.c_str(), o.keyPath.c_str());
    if (!server->is_valid()) {
      throw std::runtime_error("cannot load certificate " + o.certPath + " with key " + o.keyPath);
    }
  }
  if (!o.logPath.empty()) {
    s.log.open(o.logPath, std::ios::out | std::ios::trunc);
    if (!s.log.is_open()) throw std::runtime_error("cannot open request log " + o.logPath);
  }

  // The library's default also sets SO_REUSEPORT, which would let a second server share a busy
  // port silently and split the requests between the two.
  server->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server->set_payload_max_length(kMaxPayload);
  server->set_keep_alive_timeout(kKeepAliveSeconds);
  const auto handler = [&s](const httplib::Request& req, httplib::Response& res) {
    s.handle(req, res);
  };
  server->Get(".*", handler);
  server->Post(".*", handler);
  server->Put(".*", handler);
  server->Patch(".*", handler);
  server->Delete(".*", handler);
  server->Options(".*", handler);

  int port = o.port;
  const bool bound = port == 0 ? (port = server->bind_to_any_port(o.host)) > 0
                               : server->bind_to_port(o.host, port);
  if (!bound) {
    throw std::runtime_error("cannot listen on " + s.hostForUrl() + ":" + std::to_string(o.port));
  }
  s.url =
      (o.certPath.empty() ? "http://" : "https://") + s.hostForUrl() + ":" + std::to_string(port);
  s.server = std::move(server);
  if (o.onListening) o.onListening(s.url);

  s.thread = std::thread([&s] {
    s.server->listen_after_bind();
    s.finished = true;
  });
  // stop() is a no-op until the loop reports itself running, so start() must not return sooner.
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!s.server->is_running()) {
    if (s.finished || std::chrono::steady_clock::now() > deadline) {
      s.server->stop();
      s.thread.join();
      throw std::runtime_error("the server at " + s.url + " did not start serving");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return port;
}

void DevBackend::stop() {
  if (!_impl->thread.joinable()) return;
  _impl->server->stop();
  _impl->thread.join();
}

std::string DevBackend::url() const { return _impl->url; }

}  // namespace zorva
