#include "platform/http/testing/HttpTestServer.h"

#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <stdexcept>

#include "testing/TestCertificate.h"

namespace zorva {

// Enough for every concurrency test in the suite; a request beyond it waits for a free thread.
constexpr size_t kServerThreads = 64;

HttpTestServer::HttpTestServer() {
  signal(SIGPIPE, SIG_IGN);
  // Named for 127.0.0.1 alone, so that "localhost" is a name it does not carry.
  const TestCertificate certificate(_folder.path(), "IP:127.0.0.1");
  _caFile = certificate.cert();
  _server = std::make_unique<httplib::SSLServer>(_caFile.c_str(), certificate.key().c_str());
  // Without it, a reply written in two pieces waits for the client's delayed acknowledgement.
  _server->set_tcp_nodelay(true);
  _server->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  auto route = [this](const httplib::Request& in, httplib::Response& out) {
    Handler handler;
    {
      std::lock_guard lock(_mutex);
      _log.push_back(in);
      if (auto found = _handlers.find({in.method, in.path}); found != _handlers.end()) {
        handler = found->second;
      }
    }
    _changed.notify_all();
    out.status = 404;
    if (handler) handler(in, out);
  };
  _server->Get(".*", route);
  _server->Post(".*", route);

  // No SO_REUSEPORT, cpp-httplib's default: with it, two servers could be handed one port.
  int listening = -1;
  _server->set_socket_options([&listening](socket_t fd) { listening = fd; });
  _port = _server->bind_to_any_port("127.0.0.1");
  // cpp-httplib listens with a backlog of 5; a burst of connections beyond it loses SYNs, which
  // the client resends only a second or more later. Listening again only raises the backlog.
  if (!_server->is_valid() || _port <= 0 || listen(listening, SOMAXCONN) != 0) {
    throw std::runtime_error("HttpTestServer: cannot listen");
  }
  _listener = std::thread([this] { _server->listen_after_bind(); });
  // A stop() before the server counts as running would be lost and the destructor would hang.
  while (!_server->is_running()) std::this_thread::yield();
}

HttpTestServer::~HttpTestServer() {
  release();
  _server->stop();
  _listener.join();
  // Removed without opening a descriptor: cpp-httplib joins its workers inside its own library,
  // where ThreadSanitizer sees no join, so closing a descriptor number a worker once used (as
  // remove_all does) would be reported as a race.
  for (const char* name : {"cert.pem", "key.pem", ""}) std::remove((_folder / name).c_str());
}

void HttpTestServer::setHandler(const std::string& method, const std::string& path,
                                Handler handler) {
  std::lock_guard lock(_mutex);
  _handlers[{method, path}] = std::move(handler);
}

void HttpTestServer::waitForRelease() {
  std::unique_lock lock(_mutex);
  _changed.wait(lock, [this] { return _released; });
}

void HttpTestServer::release() {
  std::lock_guard lock(_mutex);
  _released = true;
  _changed.notify_all();
}

std::vector<httplib::Request> HttpTestServer::requests() const {
  std::lock_guard lock(_mutex);
  return _log;
}

bool HttpTestServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_mutex);
  return _changed.wait_for(lock, timeout, [&] { return _log.size() >= count; });
}

}  // namespace zorva

#if defined(__SANITIZE_THREAD__)
// cpp-httplib is not built with ThreadSanitizer, so the fast path of its function-local statics
// is invisible to it, and a worker reading a static another worker built (with memcmp, which it
// does see) is reported as a race. Only calls made from inside that library are ignored; the
// handlers it runs, this file and the code under test stay checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif
