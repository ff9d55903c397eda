#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/http/HttpClient.h"

namespace zorva {

// HttpClient over one libcurl multi handle, driven by one thread of its own ("HTTP client's
// completion thread"), on which every completion runs, outside any lock. Completions must not
// throw, and must not destroy the client; they may call send() again.
//
// TLS peers are always verified, against the system's trust store plus `caFile`. Redirects are
// never followed: a 3xx comes back as a status. Only http and https URLs are accepted.
//
// How exchanges end when not with a status:
// - reply body above `maxReplyBytes`: transportError "reply too large", CURLE_FILESIZE_EXCEEDED;
// - method other than GET or POST: "unsupported method", CURLE_BAD_FUNCTION_ARGUMENT;
// - still in flight or queued when the client is destroyed: "cancelled",
//   CURLE_ABORTED_BY_CALLBACK, called on the completion thread before the destructor returns;
// - any other libcurl failure: curl_easy_strerror's text and the libcurl code.
// Whenever transportError is set, status is 0 and body is empty, even when a status line had
// arrived before the failure (a reply cut short), so a caller never acts on half a reply.
class CurlHttpClient final : public HttpClient {
 public:
  static constexpr size_t kDefaultMaxReplyBytes = size_t{16} << 20;

  // `caFile`: a PEM file of certificate authorities trusted on top of the system's store. If it
  // cannot be read, every https exchange ends with libcurl's CA-file error rather than quietly
  // trusting less. `systemCaFile` stands in for the system's bundle (tests); empty means the one
  // libcurl was built to use.
  explicit CurlHttpClient(const std::string& caFile = {},
                          size_t maxReplyBytes = kDefaultMaxReplyBytes,
                          std::string systemCaFile = {});
  // Cancels what is in flight (see above) and joins the completion thread. Not to be called from
  // a completion.
  ~CurlHttpClient() override;

  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  void send(HttpRequest request, Completion done) override;

 private:
  struct Pending {
    HttpRequest request;
    Completion done;
  };
  struct Transfer;

  void run();
  CURLcode configure(Transfer& transfer, const HttpRequest& request) const;
  void start(Pending pending);
  static HttpResponse outcome(Transfer& transfer, CURLcode code);
  void collect();
  void runCompletions();

  const size_t _maxReplyBytes;
  std::string _trustBundle;  // the system's and the extra PEM text; empty: libcurl's defaults
  // Handed to libcurl in place of the bundle, so that it reports the failure on each exchange.
  std::string _unreadableCaFile;
  CURLM* _multi;

  std::mutex _mutex;
  std::vector<Pending> _inbox;
  bool _stopping = false;
  bool _closed = false;  // the completion thread has finished; nothing more can run there
  std::thread _thread;

  // The completion thread's own; never touched elsewhere.
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> _active;
  std::vector<std::pair<Completion, HttpResponse>> _finished;
};

}  // namespace zorva
