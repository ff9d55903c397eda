#include "platform/http/testing/HttpTestServer.h"

#include <httplib.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

namespace zorva {

namespace {

// Enough for every concurrency test in the suite; a request beyond it waits for a free thread.
constexpr size_t kServerThreads = 64;
constexpr size_t kChunkBytes = size_t{64} * 1024;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("HttpTestServer: ") + what);
}

}  // namespace

struct HttpTestServer::Impl {
  TempFolder folder{"zorva-http"};
  std::string caFile;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  int port = -1;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Request> log;
  std::map<std::pair<std::string, std::string>, Handler> handlers;
  bool released = false;

  void serve(const httplib::Request& in, httplib::Response& out);
};

std::optional<std::string> HttpTestServer::Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

void HttpTestServer::Impl::serve(const httplib::Request& in, httplib::Response& out) {
  const size_t question = in.target.find('?');
  Request request{.method = in.method,
                  .path = in.target.substr(0, question),
                  .query = question == std::string::npos ? "" : in.target.substr(question + 1),
                  .body = in.body,
                  .headers = {in.headers.begin(), in.headers.end()}};
  Handler handler;
  {
    std::lock_guard lock(mutex);
    log.push_back(request);
    if (auto found = handlers.find({request.method, request.path}); found != handlers.end()) {
      handler = found->second;
    }
  }
  changed.notify_all();

  Reply reply{.status = 404, .body = "no handler for " + request.method + " " + request.path};
  if (handler) reply = handler(request);
  out.status = reply.status;
  for (const auto& [name, value] : reply.headers) out.set_header(name, value);
  if (!reply.chunked) return out.set_content(reply.body, "text/plain");
  out.set_chunked_content_provider(
      "text/plain", [body = std::move(reply.body)](size_t offset, httplib::DataSink& sink) {
        if (offset < body.size()) {
          sink.write(body.data() + offset, std::min(kChunkBytes, body.size() - offset));
        } else {
          sink.done();
        }
        return true;
      });
}

HttpTestServer::HttpTestServer(bool tls) : _impl(std::make_unique<Impl>()) {
  signal(SIGPIPE, SIG_IGN);
  Impl& impl = *_impl;
  if (tls) {
    // Named for 127.0.0.1 alone, so that "localhost" is a name it does not carry.
    const TestCertificate certificate(impl.folder.path(), "IP:127.0.0.1");
    impl.caFile = certificate.cert();
    const std::string& key = certificate.key();
    impl.server = std::make_unique<httplib::SSLServer>(impl.caFile.c_str(), key.c_str());
  } else {
    impl.server = std::make_unique<httplib::Server>();
  }
  require(impl.server->is_valid(), "the server could not be set up");

  // Without it, a reply written in two pieces waits for the client's delayed acknowledgement.
  impl.server->set_tcp_nodelay(true);
  impl.server->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  auto route = [&impl](const httplib::Request& in, httplib::Response& out) { impl.serve(in, out); };
  impl.server->Get(".*", route);
  impl.server->Post(".*", route);

  // No SO_REUSEPORT, cpp-httplib's default: with it, two servers could be handed one port.
  int listening = -1;
  impl.server->set_socket_options([&listening](socket_t fd) { listening = fd; });
  impl.port = impl.server->bind_to_any_port("127.0.0.1");
  // cpp-httplib listens with a backlog of 5; a burst of connections beyond it loses SYNs, which
  // the client resends only a second or more later. Listening again only raises the backlog.
  require(impl.port > 0 && listen(listening, SOMAXCONN) == 0, "cannot listen");
  impl.listener = std::thread([&impl] { impl.server->listen_after_bind(); });
  // A stop() before the server counts as running would be lost and the destructor would hang.
  while (!impl.server->is_running()) std::this_thread::yield();
}

HttpTestServer::~HttpTestServer() {
  release();
  _impl->server->stop();
  _impl->listener.join();
  // Removed without opening a descriptor: cpp-httplib joins its workers inside its own library,
  // where ThreadSanitizer sees no join, so closing a descriptor number a worker once used (as
  // remove_all does) would be reported as a race.
  for (const char* name : {"cert.pem", "key.pem", ""}) std::remove((_impl->folder / name).c_str());
}

std::string HttpTestServer::url() const {
  return (_impl->caFile.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
         std::to_string(_impl->port);
}

const std::string& HttpTestServer::caFile() const { return _impl->caFile; }

void HttpTestServer::setHandler(std::string method, std::string path, Handler handler) {
  std::lock_guard lock(_impl->mutex);
  _impl->handlers[{std::move(method), std::move(path)}] = std::move(handler);
}

void HttpTestServer::waitForRelease() {
  std::unique_lock lock(_impl->mutex);
  _impl->changed.wait(lock, [this] { return _impl->released; });
}

void HttpTestServer::release() {
  {
    std::lock_guard lock(_impl->mutex);
    _impl->released = true;
  }
  _impl->changed.notify_all();
}

std::vector<HttpTestServer::Request> HttpTestServer::requests() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->log;
}

bool HttpTestServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_impl->mutex);
  return _impl->changed.wait_for(lock, timeout, [&] { return _impl->log.size() >= count; });
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
