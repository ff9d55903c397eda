#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/TempFolder.h"

namespace zorva {

// A local HTTPS server for tests on an ephemeral port of 127.0.0.1. It answers with the handler
// set for a request's method (GET or POST) and path, 404 when there is none, and logs every
// request. Its fresh self-signed certificate names 127.0.0.1 alone (so "localhost" is a name it
// does not match) under a subject of its own, so a client may trust several servers at once.
//
// Handlers run on up to 64 server threads; one that plays a slow server blocks in
// waitForRelease(), which the destructor ends. SIGPIPE is ignored from the first construction: a
// client that gave up must not kill the test with the server's next write.
class HttpTestServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  HttpTestServer();
  ~HttpTestServer();

  std::string url() const { return "https://127.0.0.1:" + std::to_string(_port); }
  const std::string& caFile() const { return _caFile; }
  void setHandler(const std::string& method, const std::string& path, Handler handler);

  // For handlers: blocks until release() or the destructor; returns at once after either.
  void waitForRelease();
  void release();

  std::vector<httplib::Request> requests() const;  // in order of arrival, before their handlers
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  TempFolder _folder{"zorva-http"};
  std::string _caFile;
  std::unique_ptr<httplib::SSLServer> _server;
  std::thread _listener;
  int _port = -1;
  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  std::vector<httplib::Request> _log;
  std::map<std::pair<std::string, std::string>, Handler> _handlers;
  bool _released = false;
};

}  // namespace zorva
