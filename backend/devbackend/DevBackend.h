#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorva {

// One request as the stand-in saw it, recorded before it is answered so that a client holding
// the response can already find it in the log.
struct RecordedRequest {
  std::string time;  // ISO-8601 UTC with milliseconds
  std::string method;
  std::string path;                               // decoded, without the query
  std::multimap<std::string, std::string> query;  // decoded names and values
  std::string body;
};

// The record as one line of JSON without the newline: {"time","method","path","query","body"}.
// A query name given once maps to its value, a repeated one to the array of its values.
std::string toJsonLine(const RecordedRequest& request);

struct DevBackendOptions {
  std::string host = "127.0.0.1";  // must pass isLoopbackHost()
  int port = 0;                    // 0: the system picks one; start() returns it
  std::string certPath{};          // both set: HTTPS; both empty: plain HTTP
  std::string keyPath{};
  std::vector<std::string> validTokens{};  // empty: every non-empty key is valid
  std::vector<std::string> disabledTokens{};
  std::map<std::string, int> statusOverrides{};  // path -> status answered instead of the route
  std::string org = "zorva";                     // first segment of the analytics paths
  std::string logPath{};                         // JSON lines, truncated at start(); empty: no file
  std::function<void(const RecordedRequest&)> onRequest{};
  // Called once bound and before the first request is served, so an announcement printed here
  // precedes every request line written to the same stream.
  std::function<void(const std::string& url)> onListening{};
};

// The request as lines a person follows during a demo: one per audit event received, one per
// batch of telemetry, and the method and path for anything else. A body that does not parse is
// shown by its size.
std::vector<std::string> describeRequest(const RecordedRequest& request);

// True for 127.0.0.0/8 in dotted-quad form and for ::1; a stand-in that answers any token must
// never be reachable from another machine.
bool isLoopbackHost(std::string_view host);

// Parses PATH=CODE (PATH starting with '/', CODE in 200..599); nothing when malformed.
std::optional<std::pair<std::string, int>> parseStatusOverride(std::string_view text);

// The backend and analytics endpoints the service talks to, served on loopback for the demo and
// for tests. Requests are handled on a pool of threads; the callbacks are called one at a time.
class DevBackend {
 public:
  explicit DevBackend(DevBackendOptions options);
  ~DevBackend();
  DevBackend(const DevBackend&) = delete;
  DevBackend& operator=(const DevBackend&) = delete;

  // Binds and starts serving; returns the bound port. Throws std::invalid_argument for a
  // non-loopback host or half a certificate pair, std::runtime_error when the certificate, the
  // log file or the port cannot be used, std::logic_error when already started.
  int start();
  // Stops accepting, finishes the requests in progress and returns; safe to call repeatedly.
  void stop();
  // scheme://host:port, e.g. https://127.0.0.1:41234 or http://[::1]:8080; empty until started.
  std::string url() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace zorva
