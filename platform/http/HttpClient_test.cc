#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <thread>

#include "platform/http/CurlHttpClient.h"
#include "platform/http/testing/HttpTestServer.h"

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

namespace zorva {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Reply = HttpTestServer::Reply;
using Request = HttpTestServer::Request;
using ::testing::Optional;

// The bound on anything expected to happen promptly; only reached when a test is failing.
constexpr auto kWait = 10s;

// One completion's result. The state is shared with the callback, so a completion arriving after
// the test gave up on it lands somewhere valid; calls beyond the first are counted, not hidden.
class Outcome {
 public:
  HttpClient::Completion callback() {
    return [state = _state](HttpResponse response) {
      if (state->calls.fetch_add(1) > 0) return;
      state->thread = std::this_thread::get_id();
      state->promise.set_value(std::move(response));
    };
  }
  bool done() const { return _future.wait_for(0s) == std::future_status::ready; }
  const HttpResponse& wait() const {
    static const HttpResponse kNone{.status = -1};
    if (_future.wait_for(kWait) == std::future_status::ready) return _future.get();
    ADD_FAILURE() << "no completion within " << kWait.count() << " s";
    return kNone;
  }
  std::thread::id thread() const { return _state->thread; }  // once wait() returned
  int calls() const { return _state->calls; }

 private:
  struct State {
    std::atomic<int> calls{0};
    std::thread::id thread;
    std::promise<HttpResponse> promise;
  };
  std::shared_ptr<State> _state = std::make_shared<State>();
  std::shared_future<HttpResponse> _future = _state->promise.get_future().share();
};

class HttpClientTest : public ::testing::Test {
 protected:
  HttpRequest get(const std::string& path, std::chrono::milliseconds timeout = kWait) const {
    return HttpRequest{.url = server.url() + path, .timeout = timeout};
  }

  static HttpResponse exchange(HttpClient& through, HttpRequest request) {
    Outcome outcome;
    through.send(std::move(request), outcome.callback());
    return outcome.wait();
  }

  void holdReplies(const std::string& path) {
    server.setHandler("GET", path, [this](const Request& request) {
      server.waitForRelease();
      return Reply{.status = 200, .body = request.query};
    });
  }

  // The server's certificate stands in for the system's store: the real one costs each new
  // connection tens of milliseconds of parsing, ten times that under the sanitizers. The real
  // store is in the trust table below.
  std::unique_ptr<CurlHttpClient> newClient(size_t cap = CurlHttpClient::kDefaultMaxReplyBytes) {
    return std::make_unique<CurlHttpClient>("", cap, server.caFile());
  }

  HttpTestServer server;
  std::unique_ptr<CurlHttpClient> client = newClient();  // destroyed first: it may cancel
};

void expectTransportError(const HttpResponse& response, int code) {
  EXPECT_TRUE(response.transportError.has_value());
  EXPECT_EQ(response.transportCode, code) << response.transportError.value_or("");
  EXPECT_EQ(std::tuple(response.status, response.body), std::tuple(0, ""s));
}

TEST_F(HttpClientTest, RequestsArriveAsSentAndEveryStatusComesBackWithItsBodyUnredirected) {
  server.setHandler("GET", "/v1/items", [](const Request&) { return Reply{.body = "listed"}; });
  server.setHandler("POST", "/v1/events",
                    [](const Request&) { return Reply{.status = 201, .body = "stored"}; });
  // NUL bytes and a size past the point where an "Expect: 100-continue" round would start.
  const std::string body = "{\"kind\":\"copy\"}\0"s + std::string(3000, 'x');

  HttpResponse listed = exchange(*client, {.url = server.url() + "/v1/items?since=5&tag=a%20b",
                                           .headers = {{"X-Zorva-Trace", "t-1"}}});
  HttpResponse stored = exchange(*client, {.method = "POST",
                                           .url = server.url() + "/v1/events",
                                           .headers = {{"Content-Type", "application/json"}},
                                           .body = body});
  EXPECT_EQ(std::tuple(listed.status, listed.body), std::tuple(200, "listed"s));
  EXPECT_EQ(std::tuple(stored.status, stored.body), std::tuple(201, "stored"s));
  std::vector<Request> seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(std::tuple(seen[0].method, seen[0].path, seen[0].query, seen[0].body),
            std::tuple("GET", "/v1/items", "since=5&tag=a%20b", ""));
  EXPECT_THAT(seen[0].header("x-zorva-trace"), Optional("t-1"s));
  EXPECT_EQ(std::tuple(seen[1].method, seen[1].path, seen[1].body),
            std::tuple("POST", "/v1/events", body));
  EXPECT_THAT(seen[1].header("Content-Type"), Optional("application/json"s));
  EXPECT_EQ(seen[1].header("Expect"), std::nullopt);

  for (int status : {299, 300, 404, 500}) {
    const std::string path = "/s/" + std::to_string(status);
    server.setHandler("GET", path, [status](const Request&) {
      return Reply{.status = status, .body = "body", .headers = {{"Location", "/v1/items"}}};
    });
    HttpResponse response = exchange(*client, get(path));
    EXPECT_EQ(std::tuple(response.status, response.body, response.transportError),
              std::tuple(status, "body", std::nullopt));
  }
  EXPECT_EQ(server.requests().size(), 6u) << "a redirect was followed";

  HttpTestServer plain(/*tls=*/false);
  plain.setHandler("GET", "/ping", [](const Request&) { return Reply{.body = "pong"}; });
  EXPECT_EQ(exchange(*client, {.url = plain.url() + "/ping"}).body, "pong");
}

// Trust is the system's store plus the given authority, never less and never more; whatever
// cannot be verified, reached or started completes with a transport error and reaches no server.
TEST_F(HttpClientTest, TrustIsExactlyWhatWasGivenAndExchangesThatCannotSucceedFailBelowHttp) {
  HttpTestServer other;  // stands in for an authority of the system's store
  // Bound but not listening: connections are refused, and nothing else can take the port.
  const int refusing = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string refused = "://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  constexpr size_t kCap = CurlHttpClient::kDefaultMaxReplyBytes;
  CurlHttpClient realStore, withRealStore{server.caFile()}, missingCa{"/nonexistent/ca.pem"};
  CurlHttpClient both{server.caFile(), kCap, other.caFile()}, systemOnly{"", kCap, other.caFile()};
  struct Case {
    HttpClient& through;
    HttpRequest request;
    int code;  // 0: the server's 404
  };
  const Case cases[] = {
      {withRealStore, get("/"), 0},
      {both, get("/"), 0},
      {both, {.url = other.url() + "/"}, 0},
      {systemOnly, {.url = other.url() + "/"}, 0},
      {systemOnly, get("/"), CURLE_PEER_FAILED_VERIFICATION},
      {realStore, get("/"), CURLE_PEER_FAILED_VERIFICATION},
      // The certificate names 127.0.0.1 alone.
      {*client,
       {.url = server.url().replace(8, 9, "localhost") + "/"},
       CURLE_PEER_FAILED_VERIFICATION},
      {missingCa, get("/"), CURLE_SSL_CACERT_BADFILE},
      {*client, {.url = "http" + refused}, CURLE_COULDNT_CONNECT},
      {*client, {.url = "https" + refused}, CURLE_COULDNT_CONNECT},
      {*client, {.method = "PUT", .url = server.url() + "/"}, CURLE_BAD_FUNCTION_ARGUMENT},
      {*client, {.url = "file:///etc/hostname"}, CURLE_UNSUPPORTED_PROTOCOL},
      {*client, {.url = "https://exa mple/"}, CURLE_URL_MALFORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.url);
    HttpResponse response = exchange(c.through, c.request);
    if (c.code != 0) {
      expectTransportError(response, c.code);
    } else {
      EXPECT_EQ(response.status, 404) << response.transportError.value_or("");
    }
  }
  EXPECT_EQ(server.requests().size(), 2u);
  close(refusing);
}

TEST_F(HttpClientTest, ServerThatNeverAnswersTimesOutAtTheRequestsTimeout) {
  holdReplies("/silent");
  auto start = std::chrono::steady_clock::now();
  expectTransportError(exchange(*client, get("/silent", 300ms)), CURLE_OPERATION_TIMEDOUT);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 290ms);  // curl's timer may fire a fraction of a millisecond early
  EXPECT_LT(elapsed, 3s);     // the request's own limit, not the default minute
}

std::string patterned(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  return text;
}

TEST_F(HttpClientTest, RepliesUpToTheCapArriveWholeAndLargerOnesAreRefusedWithoutBufferingPastIt) {
  // A little past a power of two, where a buffer left to double its way up nearly doubles it.
  constexpr size_t kCap = size_t{600} * 1000;
  constexpr size_t kLarge = 6 << 20;
  std::unique_ptr<CurlHttpClient> capped = newClient(kCap);
  for (bool chunked : {false, true}) {
    SCOPED_TRACE(chunked);
    for (size_t size : {kLarge, kCap, kCap + 1}) {
      server.setHandler("GET", "/" + std::to_string(size), [size, chunked](const Request&) {
        return Reply{.body = patterned(size), .chunked = chunked};
      });
    }
    HttpResponse whole = exchange(*client, get("/" + std::to_string(kLarge)));
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == patterned(kLarge)) << "got " << whole.body.size() << " bytes";
    HttpResponse atCap = exchange(*capped, get("/" + std::to_string(kCap)));
    EXPECT_EQ(std::tuple(atCap.status, atCap.body.size()), std::tuple(200, kCap));
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
  server.setHandler("GET", "/quick", [](const Request&) { return Reply{.body = "quick"}; });
  std::vector<Outcome> outcomes(kCount + 2);
  std::thread::id sender;
  auto sending = std::async(std::launch::async, [&] {
    sender = std::this_thread::get_id();
    for (int i = 0; i < kCount; ++i) {
      client->send(get("/echo?n=" + std::to_string(i)), outcomes[i].callback());
    }
  });
  ASSERT_EQ(sending.wait_for(kWait), std::future_status::ready) << "send() waited for a reply";
  // All of them reach the server before any is answered: none waits for another to finish.
  EXPECT_TRUE(server.waitForRequests(kCount, kWait)) << server.requests().size() << " arrived";

  // Sending from within a completion is how callers retry and chain; held exchanges delay neither.
  Outcome& quick = outcomes[kCount];
  Outcome& chained = outcomes[kCount + 1];
  client->send(get("/quick"), [&, done = quick.callback()](HttpResponse response) {
    client->send(get("/quick"), chained.callback());
    done(std::move(response));
  });
  EXPECT_EQ(chained.wait().body, "quick");
  EXPECT_FALSE(outcomes[0].done());
  server.release();
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(std::tuple(outcomes[i].wait().status, outcomes[i].wait().body),
              std::tuple(200, "n=" + std::to_string(i)));
  }
  client.reset();
  for (const Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.calls(), 1);
    EXPECT_EQ(outcome.thread(), quick.thread());
  }
  EXPECT_NE(quick.thread(), std::this_thread::get_id());
  EXPECT_NE(quick.thread(), sender);
}

TEST_F(HttpClientTest, DestroyingTheClientCompletesEachExchangeInFlightOnceAsCancelled) {
  holdReplies("/held");
  CurlHttpClient* raw = client.get();
  Outcome first, second, resent;
  client->send(get("/held"), first.callback());
  // A caller that retries on failure sends again while the client is going away.
  client->send(get("/held"), [raw, &resent, done = second.callback()](HttpResponse response) {
    raw->send(HttpRequest{.url = "https://127.0.0.1:9/"}, resent.callback());
    done(std::move(response));
  });
  ASSERT_TRUE(server.waitForRequests(2, kWait));

  client.reset();

  for (Outcome* outcome : {&first, &second, &resent}) {
    ASSERT_TRUE(outcome->done()) << "completed only after the destructor returned";
    expectTransportError(outcome->wait(), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(outcome->wait().transportError, "cancelled");
    EXPECT_EQ(outcome->calls(), 1);
    EXPECT_NE(outcome->thread(), std::this_thread::get_id());
  }
}

}  // namespace
}  // namespace zorva
