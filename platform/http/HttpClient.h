#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zorva {

struct HttpRequest {
  std::string method = "GET";  // "GET" or "POST"
  std::string url;             // absolute URL
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};                        // sent when method is POST
  std::chrono::milliseconds timeout{60000};  // whole exchange
};

struct HttpResponse {
  long status = 0;  // the HTTP status; 0 when no HTTP answer came
  std::string body{};
  // Set when the exchange failed below HTTP (no connection, name resolution, TLS, time-out, a
  // reply cut short): a short text such as "Couldn't connect to server", with `transportCode`
  // the libcurl code. A reply with any HTTP status is never a transport error.
  std::optional<std::string> transportError{};
  int transportCode = 0;
};

class HttpClient {
 public:
  using Completion = std::function<void(HttpResponse)>;

  virtual ~HttpClient() = default;

  // Starts the exchange and returns at once, never blocking the caller; `done` runs exactly once,
  // on the client's own completion thread.
  virtual void send(HttpRequest request, Completion done) = 0;
};

}  // namespace zorva
