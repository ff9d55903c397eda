#include "platform/http/CurlHttpClient.h"

#include <pthread.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace zorva {

namespace {

// The wait ends early for socket activity, libcurl's own timers and send()'s wake-up; this bound
// only keeps an idle thread from sleeping unchecked for long.
constexpr long kIdleWaitMs = 1000;
// A peer that has not even accepted the connection by then is not going to.
constexpr std::chrono::milliseconds kMaxConnectTimeout{30000};

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpResponse failure(std::string text, CURLcode code) {
  HttpResponse response;
  response.transportError = std::move(text);
  response.transportCode = code;
  return response;
}

HttpResponse cancelled() { return failure("cancelled", CURLE_ABORTED_BY_CALLBACK); }

// A file with no certificate in it (empty, a folder, the wrong file) counts as unreadable, so a
// mistaken path is reported instead of silently trusting only the system's store.
std::optional<std::string> readPem(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad() || text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    return std::nullopt;
  }
  return text;
}

std::string systemBundlePath() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info != nullptr && info->cainfo != nullptr) return info->cainfo;
  return "/etc/ssl/certs/ca-certificates.crt";
}

}  // namespace

struct CurlHttpClient::Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  Completion done;
  std::string body;
  size_t maxBytes = 0;
  bool tooLarge = false;

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (bytes > self->maxBytes - self->body.size()) {
      self->tooLarge = true;
      return 0;  // anything short of `bytes` makes libcurl abort the transfer
    }
    self->makeRoom(bytes);
    self->body.append(data, bytes);
    return bytes;
  }

  // The reply buffer grows here rather than by std::string's own rule, which doubles the capacity
  // (reserve() included) and so would hold up to twice the cap by the time a chunked reply is
  // refused, three times while it moves. Here it never passes the cap: past half of it, it takes
  // the cap at once rather than copy nearly the cap again for a last few bytes. A declared length,
  // which libcurl has already checked against the cap, is taken whole, so that a large reply is
  // not copied on its way in.
  void makeRoom(size_t bytes) {
    size_t needed = body.size() + bytes;
    if (needed <= body.capacity()) return;
    size_t room = std::max(needed, body.capacity() * 2);
    if (room > maxBytes / 2) room = maxBytes;
    curl_off_t declared = -1;
    if (body.empty() &&
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) == CURLE_OK &&
        declared > 0) {
      room = std::max(needed, static_cast<size_t>(declared));
    }
    // Only an empty string's reserve() takes the size asked for.
    std::string grown;
    grown.reserve(std::min(room, maxBytes));
    grown.append(body);
    body = std::move(grown);
  }
};

CurlHttpClient::CurlHttpClient(const std::string& caFile, size_t maxReplyBytes,
                               std::string systemCaFile)
    : _maxReplyBytes(maxReplyBytes) {
  initCurlOnce();
  // libcurl takes a CA file in place of its default bundle, not beside it, so the extra
  // authorities travel in one bundle together with the system's.
  if (!caFile.empty() || !systemCaFile.empty()) {
    if (systemCaFile.empty()) systemCaFile = systemBundlePath();
    // An unreadable system bundle leaves the system's certificate folder, which libcurl still
    // searches, rather than nothing.
    if (std::optional<std::string> system = readPem(systemCaFile)) _trustBundle = *system + "\n";
    if (!caFile.empty()) {
      if (std::optional<std::string> extra = readPem(caFile)) {
        _trustBundle += *extra;
      } else {
        _unreadableCaFile = caFile;
      }
    }
  }
  _multi = curl_multi_init();
  if (_multi == nullptr) throw std::runtime_error("curl_multi_init failed");
  _thread = std::thread([this] { run(); });
}

CurlHttpClient::~CurlHttpClient() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
    curl_multi_wakeup(_multi);
  }
  _thread.join();
  curl_multi_cleanup(_multi);
}

void CurlHttpClient::send(HttpRequest request, Completion done) {
  {
    std::lock_guard lock(_mutex);
    if (!_closed) {
      _inbox.push_back({std::move(request), std::move(done)});
      curl_multi_wakeup(_multi);
      return;
    }
  }
  // Only a send racing the destructor gets here; the thread that would have run `done` is gone.
  if (done) done(cancelled());
}

CURLcode CurlHttpClient::configure(Transfer& transfer, const HttpRequest& request) const {
  CURL* easy = transfer.easy;
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
  };
  long timeoutMs = std::max<long>(1, request.timeout.count());
  long connectMs = std::min<long>(timeoutMs, kMaxConnectTimeout.count());

  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_TIMEOUT_MS, timeoutMs);
  set(CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!_unreadableCaFile.empty()) {
    set(CURLOPT_CAINFO, _unreadableCaFile.c_str());
  } else if (!_trustBundle.empty()) {
    // The bundle outlives every handle: handles die on the completion thread, before it ends.
    curl_blob blob{const_cast<char*>(_trustBundle.data()), _trustBundle.size(), CURL_BLOB_NOCOPY};
    set(CURLOPT_CAINFO_BLOB, &blob);
  }
  // Rejects a declared length above the cap before any of the body comes; onBody catches the
  // rest.
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(_maxReplyBytes));
  set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  set(CURLOPT_WRITEDATA, &transfer);

  bool expectGiven = false;
  for (const auto& [name, value] : request.headers) {
    if (strcasecmp(name.c_str(), "Expect") == 0) expectGiven = true;
    // "Name;" is libcurl's way to send a header with an empty value; "Name:" would remove it.
    std::string line = name;
    if (value.empty()) {
      line += ';';
    } else {
      line += ": ";
      line += value;
    }
    curl_slist* appended = curl_slist_append(transfer.headers, line.c_str());
    if (appended == nullptr) return CURLE_OUT_OF_MEMORY;
    transfer.headers = appended;
  }
  if (!expectGiven) {
    // Without this, a larger POST waits up to a second for a "100 Continue" many servers never
    // send.
    curl_slist* appended = curl_slist_append(transfer.headers, "Expect:");
    if (appended == nullptr) return CURLE_OUT_OF_MEMORY;
    transfer.headers = appended;
  }
  set(CURLOPT_HTTPHEADER, transfer.headers);

  if (request.method == "POST") {
    set(CURLOPT_POST, 1L);
    // The size first: the body may hold NUL bytes, and COPYPOSTFIELDS copies that many.
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    set(CURLOPT_COPYPOSTFIELDS, request.body.data());
  } else {
    set(CURLOPT_HTTPGET, 1L);
  }
  return rc;
}

void CurlHttpClient::start(Pending pending) {
  auto transfer = std::make_unique<Transfer>();
  transfer->done = std::move(pending.done);
  transfer->maxBytes = _maxReplyBytes;
  const HttpRequest& request = pending.request;
  if (request.method != "GET" && request.method != "POST") {
    _finished.emplace_back(std::move(transfer->done),
                           failure("unsupported method", CURLE_BAD_FUNCTION_ARGUMENT));
    return;
  }
  transfer->easy = curl_easy_init();
  CURLcode rc = transfer->easy == nullptr ? CURLE_OUT_OF_MEMORY : configure(*transfer, request);
  if (rc == CURLE_OK && curl_multi_add_handle(_multi, transfer->easy) != CURLM_OK) {
    rc = CURLE_OUT_OF_MEMORY;
  }
  if (rc != CURLE_OK) {
    _finished.emplace_back(std::move(transfer->done), failure(curl_easy_strerror(rc), rc));
    return;
  }
  CURL* easy = transfer->easy;
  _active.emplace(easy, std::move(transfer));
}

HttpResponse CurlHttpClient::outcome(Transfer& transfer, CURLcode code) {
  if (code == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) return failure("no HTTP status in the reply", CURLE_WEIRD_SERVER_REPLY);
    HttpResponse response;
    response.status = status;
    response.body = std::move(transfer.body);
    return response;
  }
  if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    return failure("reply too large", CURLE_FILESIZE_EXCEEDED);
  }
  return failure(curl_easy_strerror(code), code);
}

void CurlHttpClient::collect() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(_multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    CURLcode code = message->data.result;  // `message` dies with the removal below
    curl_multi_remove_handle(_multi, easy);
    auto node = _active.extract(easy);
    if (node.empty()) continue;
    Transfer& transfer = *node.mapped();
    _finished.emplace_back(std::move(transfer.done), outcome(transfer, code));
  }
}

void CurlHttpClient::runCompletions() {
  // Taken out first, so the list starts empty again whatever a completion does.
  std::vector<std::pair<Completion, HttpResponse>> due;
  due.swap(_finished);
  for (auto& [done, response] : due) {
    if (done) done(std::move(response));
  }
}

void CurlHttpClient::run() {
  pthread_setname_np(pthread_self(), "zorva-http");
  for (;;) {
    std::vector<Pending> arrived;
    {
      std::lock_guard lock(_mutex);
      if (_stopping) break;
      arrived.swap(_inbox);
    }
    for (Pending& pending : arrived) start(std::move(pending));
    int running = 0;
    curl_multi_perform(_multi, &running);
    collect();
    runCompletions();
    curl_multi_poll(_multi, nullptr, 0, kIdleWaitMs, nullptr);
  }

  for (auto& [easy, transfer] : _active) {
    curl_multi_remove_handle(_multi, easy);
    _finished.emplace_back(std::move(transfer->done), cancelled());
  }
  _active.clear();
  runCompletions();
  // Completions above may have sent again; those are cancelled too, here, until none come.
  for (;;) {
    std::vector<Pending> left;
    {
      std::lock_guard lock(_mutex);
      if (_inbox.empty()) {
        _closed = true;
        break;
      }
      left.swap(_inbox);
    }
    for (Pending& pending : left) _finished.emplace_back(std::move(pending.done), cancelled());
    runCompletions();
  }
}

}  // namespace zorva
