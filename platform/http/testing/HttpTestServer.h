#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorva {

// A local HTTPS (or plain HTTP) server for tests on an ephemeral port of 127.0.0.1. It answers
// with the handler set for a request's method (GET or POST) and path, 404 when there is none, and
// logs every request. Its fresh self-signed certificate names 127.0.0.1 alone (so "localhost"
// is a name it does not match) under a subject of its own, so a client may trust several servers
// at once; trust it with caFile().
//
// Handlers run on up to 64 server threads; one that plays a slow server blocks in
// waitForRelease(), which the destructor ends. State a handler shares with the test needs a lock
// (ThreadSanitizer does not count a reply on the wire as synchronisation) and must outlive the
// server. SIGPIPE is ignored from the first construction: a client that gave up must not kill the
// test with the server's next write.
class HttpTestServer {
 public:
  struct Request {
    std::string method;
    std::string path;   // as sent, without the query
    std::string query;  // after '?', as sent
    std::string body{};
    std::vector<std::pair<std::string, std::string>> headers;  // empty values are dropped

    // The first value of the header `name`, ignoring case.
    std::optional<std::string> header(std::string_view name) const;
  };

  struct Reply {
    int status = 200;
    std::string body{};
    std::vector<std::pair<std::string, std::string>> headers{};
    bool chunked = false;  // sent without a Content-Length, in pieces
  };

  using Handler = std::function<Reply(const Request&)>;

  explicit HttpTestServer(bool tls = true);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::string url() const;            // "https://127.0.0.1:<port>"; append the path
  const std::string& caFile() const;  // empty without TLS

  void setHandler(std::string method, std::string path, Handler handler);

  // For handlers: blocks until release() or the destructor; returns at once after either.
  void waitForRelease();
  void release();

  // Every request so far, in order of arrival (logged before its handler runs).
  std::vector<Request> requests() const;
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace zorva
