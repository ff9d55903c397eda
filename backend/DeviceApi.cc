#include "backend/DeviceApi.h"

#include "platform/log/Log.h"

namespace zorva {
namespace {

constexpr const char* kCurrentDevice = "/api/1/device/current";
// A stored key is checked for about half an hour at start-up; a backend away longer than that
// leaves the key in place for the next start to check.
constexpr int64_t kStartUpCheckRetries = 99;
// Retries of one round of checking an offered key; a round that ends without the backend's
// answer is followed by another after kRetryPause, for as long as it takes.
constexpr int64_t kOfferCheckRetries = 5;
// How many characters of a key a log line shows.
constexpr int kShownKeyCharacters = 4;
constexpr long kFirstSuccess = 200;
constexpr long kLastSuccess = 299;
constexpr long kFirstServerError = 500;
// The status a disabled device's check reports, as the backend would have refused it.
constexpr long kDeviceDisabled = 412;

// What a URL query may hold as it is: unreserved characters, sub-delimiters, ":", "@", "/" and
// "?". So "&", "=" and "+" in a key go out as they are, as clients of this backend expect.
bool queryAllowed(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

// Whether "is_disabled" holds true or a number of at least 1; anything else counts as enabled,
// since the backend confirmed the key by answering at all. Numbers are compared as they came:
// casting a huge or not-a-number real to an integer is undefined, and an unsigned value above
// the signed range would wrap to a negative one.
bool isDisabled(const DeviceApi::Reply& reply) {
  if (!reply || !reply->is_object()) return false;
  auto member = reply->find("is_disabled");
  if (member == reply->end()) return false;
  if (member->is_boolean()) return member->get<bool>();
  if (member->is_number_unsigned()) return member->get<uint64_t>() >= 1;
  if (member->is_number_integer()) return member->get<int64_t>() >= 1;
  if (member->is_number_float()) return member->get<double>() >= 1.0;
  return false;
}

std::string describe(const DeviceApi::Error& error) {
  return error.domain + " " + std::to_string(error.code) +
         (error.description.empty() ? "" : " (" + error.description + ")");
}

// A failure the backend did not decide: it never answered, or answered with a server error.
bool retryable(const DeviceApi::Error& error) {
  return error.domain == "transport" || (error.domain == "http" && error.code >= kFirstServerError);
}

}  // namespace

DeviceApi::DeviceApi(const Dependencies& dependencies)
    : _settings(dependencies.settings),
      _http(dependencies.http),
      _baseUrl(dependencies.baseUrl),
      _queue("com.zorva.deviceApiQueue", dependencies.clock) {
  loadStoredKeys();
}

void DeviceApi::loadStoredKeys() {
  SettingsStore::Read stored = _settings.read(kSettingsKey);
  // A held store makes each read wait out its busy time-out: one failure is enough to know.
  SettingsStore::Read pending = stored.failed ? stored : _settings.read(kPendingKey);
  if (stored.failed || pending.failed) {
    // Unreadable is not absent: a key the backend confirmed before must not be lost to a lock.
    if (!_settingsUnreadable) {
      ZorvaError(FaultKind::Store,
                 "DeviceApi.init: the stored token cannot be read now; trying again every %ld s",
                 static_cast<int64_t>(kSettingsRetry.count()));
    }
    _settingsUnreadable = true;
    _queue.after(kSettingsRetry, [this] { loadStoredKeys(); });
    return;
  }
  auto text = [](const SettingsStore::Read& read) -> std::optional<std::string> {
    if (!read.value) return std::nullopt;
    if (const std::string* value = read.value->asString()) return *value;
    return std::nullopt;
  };
  std::optional<std::string> key = text(stored);
  std::function<void()> onReady;
  uint64_t offer = 0;
  std::optional<std::string> offered = text(pending);
  {
    std::lock_guard lock(_tokenMutex);
    // A key offered and confirmed while the settings could not be read is the newer one.
    if (_deviceToken) return;
    if (key) {
      _deviceToken = key;
      onReady = _onReady;
    } else if (offered && _offers == 0) {
      offer = ++_offers;
    }
  }
  if (key) {
    if (onReady) onReady();
    checkToken(*key, kStartUpCheckRetries, [this, stored = *key](std::optional<Error> error) {
      if (error) startUpCheckFailed(stored, *error);
    });
  } else if (offer != 0) {
    ZorvaLog("DeviceApi.init: checking the token offered before the restart: %@",
             redacted(*offered));
    checkOffer(*offered, offer);
  }
}

void DeviceApi::startUpCheckFailed(const std::string& token, const Error& error) {
  // A backend that never answered has not refused the key: keep it and check again at the next
  // start, rather than cut the device off because of an outage.
  if (retryable(error)) {
    ZorvaError(FaultKind::DeviceKey, "DeviceApi.init: could not check token %@: %@; keeping it",
               redacted(token), describe(error));
    return;
  }
  ZorvaError(FaultKind::DeviceKey, "DeviceApi.init: bad token: %@", redacted(token));
  setToken(std::nullopt);
  _settings.remove(kSettingsKey);
}

std::optional<std::string> DeviceApi::token() const {
  std::lock_guard lock(_tokenMutex);
  return _deviceToken;
}

void DeviceApi::setToken(std::optional<std::string> token) {
  std::lock_guard lock(_tokenMutex);
  _deviceToken = std::move(token);
}

bool DeviceApi::isReady() const { return token().has_value(); }

void DeviceApi::setOnReady(std::function<void()> onReady) {
  std::lock_guard lock(_tokenMutex);
  _onReady = std::move(onReady);
}

void DeviceApi::setDeviceToken(const std::string& token) {
  uint64_t offer;
  {
    std::lock_guard lock(_tokenMutex);
    if (_deviceToken) {
      ZorvaLog("setDeviceToken: already have token, ignoring");
      return;
    }
    offer = ++_offers;
  }
  // Kept until the backend decides, across a restart too: an outage is not a refusal.
  _settings.set(kPendingKey, token);
  checkOffer(token, offer);
}

void DeviceApi::checkOffer(const std::string& token, uint64_t offer) {
  checkToken(token, kOfferCheckRetries, [this, token, offer](const std::optional<Error>& error) {
    if (error && retryable(*error)) {
      {
        std::lock_guard lock(_tokenMutex);
        // Held already, or replaced by a later offer: this one is settled.
        if (_deviceToken || offer != _offers) return;
      }
      ZorvaError(FaultKind::DeviceKey,
                 "setDeviceToken: could not check token %@: %@; keeping it and checking again",
                 redacted(token), describe(*error));
      _queue.after(kRetryPause, [this, token, offer] { checkOffer(token, offer); });
      return;
    }
    if (error) {
      ZorvaError(FaultKind::DeviceKey, "setDeviceToken: bad token: %@", redacted(token));
      bool latest;
      {
        std::lock_guard lock(_tokenMutex);
        latest = offer == _offers && !_deviceToken;
      }
      if (latest) _settings.remove(kPendingKey);
      return;
    }
    std::function<void()> onReady;
    {
      // Two offers checked at once: the first confirmed is held, and never replaced.
      std::lock_guard lock(_tokenMutex);
      if (_deviceToken) return;
      _deviceToken = token;
      onReady = _onReady;
    }
    _settings.set(kSettingsKey, token);
    _settings.remove(kPendingKey);
    if (onReady) onReady();
  });
}

std::string DeviceApi::stringFromUrl(std::string_view path, std::string_view token) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url(path);
  url.append("?device_session_key=");
  for (unsigned char c : token) {
    if (queryAllowed(c)) {
      url.push_back(static_cast<char>(c));
    } else {
      url.push_back('%');
      url.push_back(kHex[c >> 4]);
      url.push_back(kHex[c & 0xF]);
    }
  }
  return url;
}

std::string DeviceApi::redacted(std::string_view token) {
  // A few characters say which key it was without giving it away; never cut one in half.
  size_t shown = 0;
  for (int characters = 0; characters < kShownKeyCharacters && shown < token.size(); ++characters) {
    ++shown;
    while (shown < token.size() && (static_cast<unsigned char>(token[shown]) & 0xC0) == 0x80) {
      ++shown;
    }
  }
  return std::string(token.substr(0, shown)) + "...(" + std::to_string(token.size()) + " bytes)";
}

void DeviceApi::checkToken(const std::string& token, int64_t retryCount, CheckHandler handler) {
  sendRequest(stringFromUrl(kCurrentDevice, token), std::nullopt, retryCount,
              [handler = std::move(handler)](std::optional<Error> error, const Reply& reply) {
                if (error) return handler(std::move(error));
                if (isDisabled(reply)) {
                  ZorvaError(FaultKind::DeviceKey, "checkToken: device is disabled");
                  return handler(Error{"auth", kDeviceDisabled, "device is disabled"});
                }
                handler(std::nullopt);
              });
}

void DeviceApi::deviceRequest(std::string path, std::optional<nlohmann::json> body,
                              int64_t retryCount, RequestHandler handler) {
  // Read once: retries reuse the same URL text.
  sendRequest(stringFromUrl(path, token().value_or("")), std::move(body), retryCount,
              std::move(handler));
}

void DeviceApi::sendRequest(std::string urlText, std::optional<nlohmann::json> body,
                            int64_t retryCount, RequestHandler handler) {
  HttpRequest request;
  // The paths used all begin with "/": they replace the base URL's path.
  size_t authority = _baseUrl.find("://");
  size_t pathStart = _baseUrl.find('/', authority == std::string::npos ? 0 : authority + 3);
  request.url = _baseUrl.substr(0, pathStart) + urlText;
  request.timeout = kTimeout;
  if (body) {
    // Invalid UTF-8 is replaced rather than thrown on: every path that reaches a body decoded.
    request.body = body->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    request.method = "POST";
    request.headers.emplace_back("Content-Type", "application/json");
  }
  _http.send(
      std::move(request), [this, urlText = std::move(urlText), body = std::move(body), retryCount,
                           handler = std::move(handler)](HttpResponse response) mutable {
        std::optional<Error> error;
        if (response.transportError) {
          error = Error{"transport", response.transportCode, *response.transportError};
        } else if (response.status >= kFirstSuccess && response.status <= kLastSuccess) {
          Reply reply;
          if (!response.body.empty()) {
            auto parsed = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
            if (parsed.is_object()) reply = std::move(parsed);
          }
          return handler(std::nullopt, std::move(reply));
        } else {
          error = Error{"http", response.status, ""};
        }
        if (retryCount >= 1 && retryable(*error)) {
          // The key ends the URL text and is a credential: log lines show it redacted.
          std::string shown = urlText;
          if (size_t key = shown.rfind("device_session_key="); key != std::string::npos) {
            size_t start = key + std::string_view("device_session_key=").size();
            shown.replace(start, std::string::npos, redacted(shown.substr(start)));
          }
          ZorvaLog("DeviceApi: sendRequest: retry: url: %@, error: %@, count: %ld", shown,
                   describe(*error), retryCount);
          _queue.after(kRetryPause, [this, urlText = std::move(urlText), body = std::move(body),
                                     retryCount, handler = std::move(handler)]() mutable {
            sendRequest(std::move(urlText), std::move(body), retryCount - 1, std::move(handler));
          });
          return;
        }
        handler(std::move(error), std::nullopt);
      });
}

}  // namespace zorva
