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

// A local HTTPS (or plain HTTP) server for tests: listens on an ephemeral port of 127.0.0.1 from
// construction to destruction, answers with the handler set for a request's method and path
// (404 when there is none), and keeps a log of every request it received.
//
// With TLS it serves a fresh self-signed certificate for 127.0.0.1 and localhost; trust it with
// caFile(). Each server's certificate has a subject of its own, so a client may trust several.
//
// Handlers run on the server's threads, up to 64 at once. A handler simulating a slow or silent
// server blocks in waitForRelease(); blocking on anything else must end before the destructor,
// which would otherwise wait for it. SIGPIPE is ignored process-wide from the first
// construction, since a client that gave up must not kill the test with the server's next write.
//
// ThreadSanitizer does not count a reply on the wire as synchronisation: state a handler shares
// with the test needs a lock or an atomic even if the test reads it only after the reply came,
// and must outlive the server (handlers are kept until its destruction).
class HttpTestServer {
 public:
  struct Options {
    bool tls = true;
    // Where to listen; the certificate still names 127.0.0.1, so any other loopback address
    // (127.0.0.2) gives a server whose name does not match its certificate.
    std::string host = "127.0.0.1";
  };

  struct Request {
    std::string method;
    std::string path;   // as sent, not decoded
    std::string query;  // after '?', as sent; empty when there is none
    std::string body{};
    // Ordered by name. A header sent with an empty value is missing: the parser drops it.
    std::vector<std::pair<std::string, std::string>> headers;

    // The first value of the header `name`, ignoring case.
    std::optional<std::string> header(std::string_view name) const;
  };

  struct Reply {
    int status = 200;
    std::string body{};
    // Content-Type is text/plain unless set here.
    std::vector<std::pair<std::string, std::string>> headers{};
    bool chunked = false;  // sent without a Content-Length, in pieces
  };

  using Handler = std::function<Reply(const Request&)>;

  HttpTestServer();
  explicit HttpTestServer(Options options);
  ~HttpTestServer();

  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // "https://127.0.0.1:<port>" (or http, or the other host); append the path.
  std::string url() const;
  int port() const;
  // The PEM certificate to trust; empty without TLS.
  const std::string& caFile() const;

  // Replaces the handler for `method` (GET, POST, ...) and `path` (exact, without the query).
  void setHandler(std::string method, std::string path, Handler handler);

  // For handlers: blocks until release() or the server's destruction. Once released, it no
  // longer blocks.
  void waitForRelease();
  void release();

  // Every request received so far, in order of arrival (logged before its handler runs).
  std::vector<Request> requests() const;
  // Whether at least `count` requests have arrived within `timeout`.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zorva
