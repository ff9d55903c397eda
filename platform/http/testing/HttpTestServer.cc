#include "platform/http/testing/HttpTestServer.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace zorva {

namespace {

// Enough for every concurrency test in the suite; a request beyond it waits for a free thread.
constexpr size_t kServerThreads = 64;
constexpr size_t kChunkBytes = size_t{64} * 1024;

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION, X509_EXTENSION_free>>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("HttpTestServer: ") + what);
}

// A self-signed certificate that is its own authority, so trusting the one file is enough.
std::pair<KeyPtr, CertPtr> makeCertificate() {
  KeyPtr key(EVP_EC_gen("P-256"));
  require(key != nullptr, "key generation failed");
  CertPtr cert(X509_new());
  require(cert != nullptr, "X509_new failed");

  // A random serial and a subject of its own: certificates of two servers never collide in one
  // trust store.
  uint64_t serial = 0;
  require(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "RAND_bytes");
  serial >>= 1;
  char name[64];
  std::snprintf(name, sizeof name, "zorva test server %016llx",
                static_cast<unsigned long long>(serial));

  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<unsigned char*>(name),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), subject);
  X509_set_pubkey(cert.get(), key.get());

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::pair<int, const char*> extensions[] = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,digitalSignature,keyCertSign"},
      {NID_subject_key_identifier, "hash"},
      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
  };
  for (const auto& [nid, value] : extensions) {
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    require(extension != nullptr && X509_add_ext(cert.get(), extension.get(), -1) == 1,
            "certificate extension");
  }
  require(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign failed");
  return {std::move(key), std::move(cert)};
}

void writePem(const std::string& path, X509* cert) {
  std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>> out(BIO_new_file(path.c_str(), "w"));
  require(out != nullptr && PEM_write_bio_X509(out.get(), cert) == 1, "cannot write the PEM file");
}

std::string makeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zorva-http-XXXXXX").string();
  require(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
  return pattern;
}

bool isInjectedHeader(const std::string& name) {
  // cpp-httplib adds these to what it received; no client sent them.
  for (const char* added : {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"}) {
    if (name == added) return true;
  }
  return false;
}

}  // namespace

struct HttpTestServer::Impl {
  Options options;
  std::string folder;
  std::string caFile;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  int listening = -1;  // the listening socket
  int port = -1;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Request> log;
  std::map<std::pair<std::string, std::string>, Handler> handlers;
  bool released = false;

  ~Impl() {
    if (folder.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

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
  Request request;
  request.method = in.method;
  size_t question = in.target.find('?');
  request.path = in.target.substr(0, question);
  if (question != std::string::npos) request.query = in.target.substr(question + 1);
  request.body = in.body;
  for (const auto& [name, value] : in.headers) {
    if (!isInjectedHeader(name)) request.headers.emplace_back(name, value);
  }

  Handler handler;
  {
    std::lock_guard lock(mutex);
    log.push_back(request);
    auto found = handlers.find({request.method, request.path});
    if (found != handlers.end()) handler = found->second;
  }
  changed.notify_all();

  Reply reply;
  if (handler) {
    reply = handler(request);
  } else {
    reply.status = 404;
    reply.body = "no handler for " + request.method + " " + request.path;
  }

  out.status = reply.status;
  std::string contentType = "text/plain";
  for (const auto& [name, value] : reply.headers) {
    if (strcasecmp(name.c_str(), "Content-Type") == 0) {
      contentType = value;
    } else {
      out.set_header(name, value);
    }
  }
  if (!reply.chunked) {
    out.set_content(reply.body, contentType);
    return;
  }
  out.set_chunked_content_provider(
      contentType, [body = std::move(reply.body)](size_t offset, httplib::DataSink& sink) {
        if (offset < body.size()) {
          sink.write(body.data() + offset, std::min(kChunkBytes, body.size() - offset));
        } else {
          sink.done();
        }
        return true;
      });
}

HttpTestServer::HttpTestServer() : HttpTestServer(Options{}) {}

HttpTestServer::HttpTestServer(Options options) : impl_(std::make_unique<Impl>()) {
  signal(SIGPIPE, SIG_IGN);
  Impl& impl = *impl_;
  impl.options = std::move(options);
  if (impl.options.tls) {
    auto [key, cert] = makeCertificate();
    impl.folder = makeTempFolder();
    impl.caFile = impl.folder + "/ca.pem";
    writePem(impl.caFile, cert.get());
    // The server's context takes its own references; ours can go.
    impl.server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
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
  impl.server->Put(".*", route);
  impl.server->Patch(".*", route);
  impl.server->Delete(".*", route);
  impl.server->Options(".*", route);

  // No SO_REUSEPORT, cpp-httplib's default: with it, two servers could be handed one port.
  impl.server->set_socket_options([&impl](socket_t fd) { impl.listening = fd; });
  impl.port = impl.server->bind_to_any_port(impl.options.host);
  require(impl.port > 0 && impl.listening >= 0, "cannot listen");
  // cpp-httplib listens with a backlog of 5; a burst of connections beyond it loses SYNs, which
  // the client resends only a second or more later. Listening again only raises the backlog.
  require(listen(impl.listening, SOMAXCONN) == 0, "cannot raise the listen backlog");
  std::promise<void> listenerEnded;
  std::future<void> ended = listenerEnded.get_future();
  impl.listener = std::thread([&impl, done = std::move(listenerEnded)]() mutable {
    impl.server->listen_after_bind();
    done.set_value();
  });
  // A stop() before the server counts as running would be lost and the destructor would hang,
  // so construction returns only once it runs.
  while (!impl.server->is_running()) {
    if (ended.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready) {
      impl.listener.join();
      require(false, "the server stopped as it started");
    }
  }
}

HttpTestServer::~HttpTestServer() {
  release();
  impl_->server->stop();
  impl_->listener.join();
}

std::string HttpTestServer::url() const {
  return std::string(impl_->options.tls ? "https://" : "http://") + impl_->options.host + ":" +
         std::to_string(impl_->port);
}

int HttpTestServer::port() const { return impl_->port; }

const std::string& HttpTestServer::caFile() const { return impl_->caFile; }

void HttpTestServer::setHandler(std::string method, std::string path, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handlers[{std::move(method), std::move(path)}] = std::move(handler);
}

void HttpTestServer::waitForRelease() {
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait(lock, [this] { return impl_->released; });
}

void HttpTestServer::release() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->released = true;
  }
  impl_->changed.notify_all();
}

std::vector<HttpTestServer::Request> HttpTestServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

bool HttpTestServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->log.size() >= count; });
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
