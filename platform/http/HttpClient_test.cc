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
    return [state = state_](HttpResponse response) {
      if (state->calls.fetch_add(1) > 0) return;
      state->thread = std::this_thread::get_id();
      state->promise.set_value(std::move(response));
    };
  }

  bool done() const { return future_.wait_for(0s) == std::future_status::ready; }

  const HttpResponse& wait() {
    if (future_.wait_for(kWait) != std::future_status::ready) {
      ADD_FAILURE() << "no completion within " << kWait.count() << " s";
      static const HttpResponse kNone{.status = -1};
      return kNone;
    }
    return future_.get();
  }

  std::thread::id thread() const { return state_->thread; }  // once wait() returned
  int calls() const { return state_->calls; }

 private:
  struct State {
    std::atomic<int> calls{0};
    std::thread::id thread;
    std::promise<HttpResponse> promise;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::shared_future<HttpResponse> future_ = state_->promise.get_future().share();
};

// A port of 127.0.0.1 that is bound but not listening: connections are refused, and nothing else
// can take the port while the test runs.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size), 0);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
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
  // store has a test of its own.
  std::unique_ptr<CurlHttpClient> newClient(size_t cap = CurlHttpClient::kDefaultMaxReplyBytes) {
    return std::make_unique<CurlHttpClient>("", cap, server.caFile());
  }

  HttpTestServer server;
  std::unique_ptr<CurlHttpClient> client = newClient();  // destroyed first: it may cancel
};

void expectTransportError(const HttpResponse& response, int code) {
  EXPECT_TRUE(response.transportError.has_value());
  EXPECT_EQ(response.transportCode, code) << response.transportError.value_or("");
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.body, "");
}

TEST_F(HttpClientTest, GetAndPostArriveAsSentOverHttpsAndPlainHttp) {
  server.setHandler("GET", "/v1/items", [](const Request&) { return Reply{.body = "listed"}; });
  server.setHandler("POST", "/v1/events",
                    [](const Request&) { return Reply{.status = 201, .body = "stored"}; });
  // NUL bytes and a size past the point where an "Expect: 100-continue" round would start.
  std::string body = "{\"kind\":\"copy\"}";
  body += '\0';
  body += std::string(3000, 'x');

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

  HttpTestServer plain({.tls = false});  // needs no certificate
  plain.setHandler("GET", "/ping", [](const Request&) { return Reply{.body = "pong"}; });
  EXPECT_EQ(plain.url().rfind("http://127.0.0.1:", 0), 0u);
  EXPECT_EQ(exchange(*client, {.url = plain.url() + "/ping"}).body, "pong");
}

TEST_F(HttpClientTest, EveryStatusComesBackAsAStatusWithItsBodyAndRedirectsAreNotFollowed) {
  for (int status : {200, 299, 300, 404, 500}) {
    SCOPED_TRACE(status);
    const std::string path = "/s/" + std::to_string(status);
    server.setHandler("GET", path, [status](const Request&) {
      return Reply{.status = status, .body = "body", .headers = {{"Location", "/s/200"}}};
    });
    HttpResponse response = exchange(*client, get(path));
    EXPECT_EQ(std::tuple(response.status, response.body, response.transportCode),
              std::tuple(status, "body", 0));
    EXPECT_EQ(response.transportError, std::nullopt);
  }
  EXPECT_EQ(server.requests().size(), 5u);
}

TEST_F(HttpClientTest, ServerThatNeverAnswersTimesOutAtTheRequestsTimeout) {
  holdReplies("/silent");
  auto start = std::chrono::steady_clock::now();
  HttpResponse response = exchange(*client, get("/silent", 300ms));
  auto elapsed = std::chrono::steady_clock::now() - start;

  expectTransportError(response, CURLE_OPERATION_TIMEDOUT);
  EXPECT_GE(elapsed, 290ms);  // curl's timer may fire a fraction of a millisecond early
  EXPECT_LT(elapsed, 3s);     // the request's own limit, not the default minute
}

TEST_F(HttpClientTest, NothingListeningIsATransportError) {
  RefusingPort refusing;
  for (const char* scheme : {"http", "https"}) {
    SCOPED_TRACE(scheme);
    std::string url = std::string(scheme) + "://127.0.0.1:" + std::to_string(refusing.port());
    expectTransportError(exchange(*client, {.url = url + "/"}), CURLE_COULDNT_CONNECT);
  }
}

TEST_F(HttpClientTest, TlsThatCannotBeVerifiedNeverSucceeds) {
  HttpTestServer misnamed({.host = "127.0.0.2"});  // its certificate names 127.0.0.1
  CurlHttpClient untrusting;
  CurlHttpClient trustingMisnamed{misnamed.caFile()};
  CurlHttpClient missingCa{"/nonexistent/zorva-ca.pem"};

  expectTransportError(exchange(untrusting, get("/")), CURLE_PEER_FAILED_VERIFICATION);
  expectTransportError(exchange(trustingMisnamed, {.url = misnamed.url() + "/"}),
                       CURLE_PEER_FAILED_VERIFICATION);
  expectTransportError(exchange(missingCa, get("/")), CURLE_SSL_CACERT_BADFILE);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(misnamed.requests().empty());
}

TEST_F(HttpClientTest, ExtraAuthorityIsTrustedBesideTheSystemStoreNotInsteadOfIt) {
  HttpTestServer other;
  CurlHttpClient withSystemStore{server.caFile()};
  // `other` stands in for an authority of the system's store.
  CurlHttpClient both{server.caFile(), CurlHttpClient::kDefaultMaxReplyBytes, other.caFile()};
  CurlHttpClient systemOnly{"", CurlHttpClient::kDefaultMaxReplyBytes, other.caFile()};

  EXPECT_EQ(exchange(withSystemStore, get("/")).status, 404);
  EXPECT_EQ(exchange(both, get("/")).status, 404);
  EXPECT_EQ(exchange(both, {.url = other.url() + "/"}).status, 404);
  EXPECT_EQ(exchange(systemOnly, {.url = other.url() + "/"}).status, 404);
  expectTransportError(exchange(systemOnly, get("/")), CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(HttpClientTest, RequestsThatCannotStartStillCompleteOnceWithATransportError) {
  for (const auto& [request, code] :
       {std::pair{HttpRequest{.method = "PUT", .url = server.url() + "/"},
                  CURLE_BAD_FUNCTION_ARGUMENT},
        {HttpRequest{.url = "file:///etc/hostname"}, CURLE_UNSUPPORTED_PROTOCOL},
        {HttpRequest{.url = "https://exa mple/"}, CURLE_URL_MALFORMAT}}) {
    expectTransportError(exchange(*client, request), code);
  }
  EXPECT_TRUE(server.requests().empty());
}

std::string patterned(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  return text;
}

// The largest block operator new has handed to `client`'s completion thread so far.
size_t largestAllocationOn(HttpClient& client) {
  std::promise<size_t> largest;
  // A request that cannot start completes at once, on that thread.
  client.send(HttpRequest{.method = "PUT", .url = "https://127.0.0.1/"},
              [&largest](const HttpResponse&) { largest.set_value(largestAllocation); });
  return largest.get_future().get();
}

TEST_F(HttpClientTest, RepliesUpToTheCapArriveWholeAndLargerOnesAreRefusedWithoutBufferingPastIt) {
  // A little past a power of two, where a buffer left to double its way up nearly doubles it.
  constexpr size_t kCap = size_t{600} * 1000;
  std::unique_ptr<CurlHttpClient> capped = newClient(kCap);
  constexpr size_t kLarge = 6 << 20;
  for (bool chunked : {false, true}) {
    std::string suffix = chunked ? "-chunked" : "";
    for (auto [path, size] : {std::pair{"/large", kLarge}, {"/cap", kCap}, {"/over", kCap + 1}}) {
      // clang 14 cannot capture a structured binding.
      const size_t bytes = size;
      server.setHandler("GET", path + suffix, [bytes, chunked](const Request&) {
        return Reply{.body = patterned(bytes), .chunked = chunked};
      });
    }
  }

  for (std::string suffix : {"", "-chunked"}) {
    SCOPED_TRACE(suffix);
    HttpResponse whole = exchange(*client, get("/large" + suffix));
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == patterned(kLarge)) << "got " << whole.body.size() << " bytes";
    HttpResponse atCap = exchange(*capped, get("/cap" + suffix));
    EXPECT_EQ(std::tuple(atCap.status, atCap.body.size()), std::tuple(200, kCap));
    HttpResponse over = exchange(*capped, get("/over" + suffix));
    expectTransportError(over, CURLE_FILESIZE_EXCEEDED);
    EXPECT_EQ(over.transportError, "reply too large");
  }
  // The string's terminating NUL is the one byte past the cap.
  EXPECT_LE(largestAllocationOn(*capped), kCap + 1);
}

TEST_F(HttpClientTest, CompletionsRunOnceOnTheClientsThreadAndASlowExchangeHoldsUpNoOther) {
  holdReplies("/held");
  server.setHandler("GET", "/quick", [](const Request&) { return Reply{.body = "quick"}; });
  std::unique_ptr<CurlHttpClient> local = newClient();
  Outcome held, quick, chained;

  std::thread::id sender;
  auto sending = std::async(std::launch::async, [&] {
    sender = std::this_thread::get_id();
    local->send(get("/held?slow"), held.callback());
  });
  ASSERT_EQ(sending.wait_for(kWait), std::future_status::ready) << "send() waited for the reply";
  ASSERT_TRUE(server.waitForRequests(1, kWait));

  // Sending from within a completion is how callers retry and chain.
  local->send(get("/quick"), [&, done = quick.callback()](HttpResponse response) {
    local->send(get("/quick"), chained.callback());
    done(std::move(response));
  });
  EXPECT_EQ(quick.wait().body, "quick");
  EXPECT_EQ(chained.wait().body, "quick");
  EXPECT_FALSE(held.done());
  server.release();
  EXPECT_EQ(held.wait().body, "slow");
  local.reset();

  for (Outcome* outcome : {&held, &quick, &chained}) {
    EXPECT_EQ(outcome->calls(), 1);
    EXPECT_EQ(outcome->thread(), held.thread());
  }
  EXPECT_NE(held.thread(), std::this_thread::get_id());
  EXPECT_NE(held.thread(), sender);
}

TEST_F(HttpClientTest, FiftyRequestsAreInFlightAtOnceAndEachGetsItsOwnReply) {
  constexpr int kCount = 50;
  holdReplies("/echo");
  std::vector<Outcome> outcomes(kCount);
  for (int i = 0; i < kCount; ++i) {
    client->send(get("/echo?n=" + std::to_string(i)), outcomes[i].callback());
  }
  // All of them reach the server before any is answered: none waits for another to finish.
  EXPECT_TRUE(server.waitForRequests(kCount, kWait)) << server.requests().size() << " arrived";
  server.release();
  for (int i = 0; i < kCount; ++i) {
    const HttpResponse& response = outcomes[i].wait();
    EXPECT_EQ(std::tuple(response.status, response.body),
              std::tuple(200, "n=" + std::to_string(i)));
  }
}

TEST_F(HttpClientTest, DestroyingTheClientCompletesEachExchangeInFlightOnceAsCancelled) {
  holdReplies("/held");
  std::unique_ptr<CurlHttpClient> local = newClient();
  CurlHttpClient* raw = local.get();
  Outcome first, second, resent;
  local->send(get("/held"), first.callback());
  // A caller that retries on failure sends again while the client is going away.
  local->send(get("/held"), [raw, &resent, done = second.callback()](HttpResponse response) {
    raw->send(HttpRequest{.url = "https://127.0.0.1:9/"}, resent.callback());
    done(std::move(response));
  });
  ASSERT_TRUE(server.waitForRequests(2, kWait));

  local.reset();

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
