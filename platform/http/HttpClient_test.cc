#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <map>
#include <new>
#include <thread>

#include "platform/http/CurlHttpClient.h"
#include "testing/TempFolder.h"
#include "testing/TestCertificate.h"

// The largest block operator new has handed to the current thread. A reply buffer lives on the
// client's own thread and is gone by the time a refused reply completes, so how large it grew
// can only be seen here. libcurl and OpenSSL allocate with malloc and do not count.
thread_local size_t largestAllocation = 0;

void* operator new(size_t size) {
  largestAllocation = std::max(largestAllocation, size);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// Not inlined: GCC would then see a block from `new` reach free() and call it a mismatch.
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, size_t) noexcept { std::free(block); }

#if defined(__SANITIZE_THREAD__)
// cpp-httplib is not built with ThreadSanitizer, so the fast path of its function-local statics
// is invisible to it, and a worker reading a static another worker built (with memcmp, which it
// does see) is reported as a race. Only calls made from inside that library are ignored.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace zorva {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Request = httplib::Request;
using Response = httplib::Response;
using Handler = std::function<void(const Request&, Response&)>;

// The bound on anything expected to happen promptly; only reached when a test is failing.
constexpr auto kWait = 10s;

// A local HTTPS server on 127.0.0.1 whose fresh certificate names 127.0.0.1 alone (not
// "localhost") under a subject of its own. It logs each request before the handler set for its
// path runs (404 without one); a handler playing a slow server waits for `released`.
class Server {
 public:
  Server() {
    signal(SIGPIPE, SIG_IGN);  // a client that gave up must not kill the test
    const TestCertificate certificate(_folder.path(), "IP:127.0.0.1");
    caFile = certificate.cert();
    _http = std::make_unique<httplib::SSLServer>(caFile.c_str(), certificate.key().c_str());
    // Without it, a reply written in two pieces waits for the client's delayed acknowledgement.
    _http->set_tcp_nodelay(true);
    _http->new_task_queue = [] { return new httplib::ThreadPool(64); };
    auto route = [this](const Request& in, Response& out) {
      std::unique_lock lock(_mutex);
      _log.push_back(in);
      Handler handler = _handlers[in.path];
      lock.unlock();
      _changed.notify_all();
      out.status = 404;
      if (handler) handler(in, out);
    };
    _http->Get(".*", route);
    _http->Post(".*", route);
    // Replaces cpp-httplib's SO_REUSEPORT, with which two servers could be handed one port.
    int fd = -1;
    _http->set_socket_options([&fd](socket_t socket) { fd = socket; });
    _port = _http->bind_to_any_port("127.0.0.1");
    // cpp-httplib's backlog of 5 loses a burst's SYNs, which the client resends a second later.
    if (_port <= 0 || listen(fd, SOMAXCONN) != 0) throw std::runtime_error("cannot listen");
    _listener = std::thread([this] { _http->listen_after_bind(); });
    // A stop() before the server counts as running would be lost and the destructor would hang.
    while (!_http->is_running()) std::this_thread::yield();
  }
  ~Server() {
    release();
    _http->stop();
    _listener.join();
    // Not remove_all: cpp-httplib joins its workers where ThreadSanitizer sees no join, so
    // closing a descriptor number a worker once used would be reported as a race.
    for (const char* name : {"cert.pem", "key.pem", ""}) std::remove((_folder / name).c_str());
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(_port); }
  void handle(const std::string& path, Handler handler) {
    std::lock_guard lock(_mutex);
    _handlers[path] = std::move(handler);
  }
  void release() {
    released = true;
    released.notify_all();
  }
  std::vector<Request> requests(size_t atLeast = 0) {  // waits for that many, up to kWait
    std::unique_lock lock(_mutex);
    _changed.wait_for(lock, kWait, [&] { return _log.size() >= atLeast; });
    return _log;
  }

  std::string caFile;
  std::atomic<bool> released = false;

 private:
  TempFolder _folder{"zorva-http"};
  std::unique_ptr<httplib::SSLServer> _http;
  std::thread _listener;
  int _port = -1;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<Request> _log;
  std::map<std::string, Handler> _handlers;
};

// One completion's result, shared with the callback so that a completion arriving after the test
// gave up on it lands somewhere valid; calls beyond the first are counted, not hidden.
struct Outcome {
  struct State {
    std::atomic<int> calls{0};
    std::thread::id thread;
    std::promise<HttpResponse> promise;
  };
  std::shared_ptr<State> state = std::make_shared<State>();
  std::shared_future<HttpResponse> future = state->promise.get_future().share();

  HttpClient::Completion callback() const {
    return [state = state](HttpResponse response) {
      if (state->calls.fetch_add(1) > 0) return;
      state->thread = std::this_thread::get_id();
      state->promise.set_value(std::move(response));
    };
  }
  bool done() const { return future.wait_for(0s) == std::future_status::ready; }
  HttpResponse wait() const {
    EXPECT_EQ(future.wait_for(kWait), std::future_status::ready) << "no completion in time";
    return done() ? future.get() : HttpResponse{.status = -1};
  }
};

HttpResponse exchange(HttpClient& through, HttpRequest request) {
  Outcome outcome;
  through.send(std::move(request), outcome.callback());
  return outcome.wait();
}

// Each with a Location, which no answer must be taken for a redirect to.
Handler answer(int status, const std::string& body) {
  return [=](const Request&, Response& out) {
    out.status = status;
    out.body = body;
    out.set_header("Location", "/v1/items");
  };
}

void expectTransportError(const HttpResponse& response, int code) {
  EXPECT_EQ(std::tuple(response.transportCode, response.status, response.body),
            std::tuple(code, 0, ""s))
      << response.transportError.value_or("no transport error");
}

class HttpClientTest : public ::testing::Test {
 protected:
  HttpRequest get(const std::string& path, std::chrono::milliseconds timeout = kWait) const {
    return HttpRequest{.url = server.url() + path, .timeout = timeout};
  }
  void holdReplies(const std::string& path) {
    server.handle(path, [this](const Request& in, Response& out) {
      server.released.wait(false);
      answer(200, in.target.substr(in.target.find('?') + 1))(in, out);
    });
  }
  // The server's certificate stands in for the system's store: the real one costs each new
  // connection tens of milliseconds of parsing, ten times that under the sanitizers. The real
  // store is in the trust table below.
  std::unique_ptr<CurlHttpClient> newClient(size_t cap = CurlHttpClient::kDefaultMaxReplyBytes) {
    return std::make_unique<CurlHttpClient>("", cap, server.caFile);
  }

  Server server;
  std::unique_ptr<CurlHttpClient> client = newClient();  // destroyed first: it may cancel
};

TEST_F(HttpClientTest, RequestsArriveAsSentAndEveryStatusComesBackWithItsBodyUnredirected) {
  server.handle("/v1/items", answer(200, "listed"));
  server.handle("/v1/events", answer(201, "stored"));
  // NUL bytes, and past 1 MiB, where libcurl would start an "Expect: 100-continue" round.
  const std::string body = "{\"kind\":\"copy\"}\0"s + std::string(1 << 20, 'x');
  HttpResponse listed = exchange(*client, {.url = server.url() + "/v1/items?since=5&tag=a%20b",
                                           .headers = {{"X-Zorva-Trace", "t-1"}}});
  HttpResponse stored = exchange(*client, {.method = "POST",
                                           .url = server.url() + "/v1/events",
                                           .headers = {{"Content-Type", "application/json"}},
                                           .body = body});
  EXPECT_EQ(std::tuple(listed.status, listed.body, stored.status, stored.body),
            std::tuple(200, "listed"s, 201, "stored"s));
  std::vector<Request> seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(std::tuple(seen[0].method, seen[0].target, seen[0].body,
                       seen[0].get_header_value("x-zorva-trace")),
            std::tuple("GET", "/v1/items?since=5&tag=a%20b", "", "t-1"));
  EXPECT_EQ(std::tuple(seen[1].method, seen[1].target, seen[1].body == body,
                       seen[1].get_header_value("Content-Type"), seen[1].has_header("Expect")),
            std::tuple("POST", "/v1/events", true, "application/json", false));

  for (int status : {299, 300, 404, 500}) {
    const std::string path = "/s/" + std::to_string(status);
    server.handle(path, answer(status, "body"));
    HttpResponse response = exchange(*client, get(path));
    EXPECT_EQ(std::tuple(response.status, response.body, response.transportError),
              std::tuple(status, "body", std::nullopt));
  }
  EXPECT_EQ(server.requests().size(), 6u) << "a redirect was followed";
}

// Trust is the system's store plus the given authority, never less and never more; whatever
// cannot be verified or started completes with a transport error and reaches no server.
TEST_F(HttpClientTest, TrustIsExactlyWhatWasGivenAndExchangesThatCannotSucceedFailBelowHttp) {
  Server other;  // stands in for an authority of the system's store
  constexpr size_t kCap = CurlHttpClient::kDefaultMaxReplyBytes;
  CurlHttpClient realStore, withRealStore{server.caFile}, missingCa{"/nonexistent/ca.pem"};
  CurlHttpClient both{server.caFile, kCap, other.caFile}, systemOnly{"", kCap, other.caFile};
  const std::string localhost = server.url().replace(8, 9, "localhost") + "/";
  // No code: the server's 404. The certificate names 127.0.0.1, not localhost.
  const std::tuple<HttpClient&, std::string, int> cases[] = {
      {withRealStore, server.url(), 0},
      {both, server.url(), 0},
      {both, other.url(), 0},
      {systemOnly, other.url(), 0},
      {systemOnly, server.url(), CURLE_PEER_FAILED_VERIFICATION},
      {realStore, server.url(), CURLE_PEER_FAILED_VERIFICATION},
      {*client, localhost, CURLE_PEER_FAILED_VERIFICATION},
      {missingCa, server.url(), CURLE_SSL_CACERT_BADFILE},
      {*client, "file:///etc/hostname", CURLE_UNSUPPORTED_PROTOCOL},
      {*client, "https://exa mple/", CURLE_URL_MALFORMAT},
  };
  for (const auto& [through, url, code] : cases) {
    HttpResponse response = exchange(through, {.url = url + (url.ends_with('/') ? "" : "/")});
    EXPECT_EQ(std::tuple(response.status, response.transportCode), std::tuple(code ? 0 : 404, code))
        << url << ": " << response.transportError.value_or("");
  }
  expectTransportError(exchange(*client, {.method = "PUT", .url = server.url() + "/"}),
                       CURLE_BAD_FUNCTION_ARGUMENT);
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HttpClientTest, RepliesUpToTheCapArriveWholeAndLargerOnesAreRefusedWithoutBufferingPastIt) {
  // A little past a power of two, where a buffer left to double its way up nearly doubles it.
  constexpr size_t kCap = size_t{600} * 1000;
  constexpr size_t kLarge = 6 << 20;
  auto patterned = [](size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
    return text;
  };
  std::unique_ptr<CurlHttpClient> capped = newClient(kCap);
  for (bool chunked : {false, true}) {
    for (size_t size : {kLarge, kCap, kCap + 1}) {
      server.handle("/" + std::to_string(size), [=](auto&, Response& out) {
        out.status = 200;
        if (!chunked) return out.set_content(patterned(size), "text/plain");
        out.set_chunked_content_provider(
            "text/plain", [body = patterned(size)](size_t offset, httplib::DataSink& sink) {
              if (offset == body.size()) return sink.done(), true;
              return sink.write(&body[offset], std::min<size_t>(body.size() - offset, 65536));
            });
      });
    }
    HttpResponse whole = exchange(*client, get("/" + std::to_string(kLarge)));
    EXPECT_TRUE(whole.status == 200 && whole.body == patterned(kLarge)) << whole.body.size();
    HttpResponse atCap = exchange(*capped, get("/" + std::to_string(kCap)));
    EXPECT_EQ(std::tuple(atCap.status, atCap.body.size()), std::tuple(200, kCap)) << chunked;
    HttpResponse over = exchange(*capped, get("/" + std::to_string(kCap + 1)));
    expectTransportError(over, CURLE_FILESIZE_EXCEEDED);
    EXPECT_EQ(over.transportError, "reply too large");
  }
  // A request that cannot start completes at once on the client's thread, where the buffers grew.
  std::promise<size_t> largest;
  capped->send(HttpRequest{.method = "PUT", .url = "/"},
               [&largest](const HttpResponse&) { largest.set_value(largestAllocation); });
  // The string's terminating NUL is the one byte past the cap.
  EXPECT_LE(largest.get_future().get(), kCap + 1);
}

TEST_F(HttpClientTest, ExchangesRunAtOnceAndEachCompletesOnceOnTheClientsThread) {
  constexpr int kCount = 50;
  holdReplies("/echo");
  server.handle("/quick", answer(200, "quick"));
  std::vector<Outcome> outcomes(kCount + 2);
  std::thread::id sender;
  auto sending = std::async(std::launch::async, [&] {
    sender = std::this_thread::get_id();
    for (int i = 0; i < kCount; ++i)
      client->send(get("/echo?n=" + std::to_string(i)), outcomes[i].callback());
  });
  ASSERT_EQ(sending.wait_for(kWait), std::future_status::ready) << "send() waited for a reply";
  // All of them reach the server before any is answered: none waits for another to finish.
  EXPECT_EQ(server.requests(kCount).size(), size_t{kCount});

  // Sending from within a completion is how callers retry and chain; held exchanges delay neither.
  const Outcome& quick = outcomes[kCount];
  const Outcome& chained = outcomes[kCount + 1];
  client->send(get("/quick"), [&, done = quick.callback()](HttpResponse response) {
    client->send(get("/quick"), chained.callback());
    done(std::move(response));
  });
  EXPECT_EQ(chained.wait().body, "quick");
  EXPECT_FALSE(outcomes[0].done());
  server.release();
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(outcomes[i].wait().body, "n=" + std::to_string(i));
  client.reset();
  const std::thread::id completer = quick.state->thread;
  for (const Outcome& outcome : outcomes)
    EXPECT_EQ(std::tuple(outcome.state->calls.load(), outcome.state->thread),
              std::tuple(1, completer));
  EXPECT_TRUE(completer != std::this_thread::get_id() && completer != sender);
}

TEST_F(HttpClientTest, AnExchangeTimesOutAtItsTimeoutAndDestroyingTheClientCancelsTheRestOnce) {
  holdReplies("/held");
  auto start = std::chrono::steady_clock::now();
  expectTransportError(exchange(*client, get("/held", 300ms)), CURLE_OPERATION_TIMEDOUT);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 290ms);  // curl's timer may fire a fraction of a millisecond early
  EXPECT_LT(elapsed, 3s);     // the request's own limit, not the default minute
  CurlHttpClient* raw = client.get();
  Outcome first, second, resent;
  client->send(get("/held"), first.callback());
  // A caller that retries on failure sends again while the client is going away.
  client->send(get("/held"), [raw, &resent, done = second.callback()](HttpResponse response) {
    raw->send(HttpRequest{.url = "https://127.0.0.1:9/"}, resent.callback());
    done(std::move(response));
  });
  ASSERT_EQ(server.requests(3).size(), 3u);
  client.reset();
  for (const Outcome* outcome : {&first, &second, &resent}) {
    ASSERT_TRUE(outcome->done()) << "completed only after the destructor returned";
    expectTransportError(outcome->wait(), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(std::tuple(outcome->wait().transportError, outcome->state->calls.load(),
                         outcome->state->thread == std::this_thread::get_id()),
              std::tuple("cancelled", 1, false));
  }
}

}  // namespace
}  // namespace zorva
