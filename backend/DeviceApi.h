#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/SerialQueue.h"
#include "platform/http/HttpClient.h"
#include "platform/settings/SettingsStore.h"

namespace zorva {

struct DeviceApiError {
  std::string domain;  // "http", "auth", or "transport" for failures below HTTP
  long code = 0;
  std::string description;  // for log lines
  bool operator==(const DeviceApiError&) const = default;
};

// What the audit-event queue needs of the backend client; tests hand in a fake.
class DeviceRequests {
 public:
  using Reply = std::optional<nlohmann::json>;  // a JSON object, when the reply held one
  using RequestHandler = std::function<void(std::optional<DeviceApiError>, Reply)>;

  virtual ~DeviceRequests() = default;
  virtual bool isReady() const = 0;
  // Sends to `path` with the key held now; POST with the body as JSON, GET without one. The
  // handler runs exactly once, after the last attempt.
  virtual void deviceRequest(std::string path, std::optional<nlohmann::json> body,
                             int64_t retryCount, RequestHandler handler) = 0;
  // Called whenever a key starts being held, so waiting work can go out at once.
  virtual void setOnReady(std::function<void()> onReady) = 0;
};

// The client of the product backend: holds the device session key a client application hands
// over, has the backend confirm it, keeps it across restarts, and sends requests with the key
// attached, retrying transport failures and server errors every 20 seconds.
//
// Only the backend's refusal (a status from 300 to 499, or a disabled device) drops a key. A key
// offered while the backend cannot be reached is kept pending, under kPendingKey across restarts,
// and checked again every kRetryPause until the backend decides. Stored keys that cannot be read
// at start-up (another process holds the settings) are read again every kSettingsRetry.
class DeviceApi final : public DeviceRequests {
 public:
  static constexpr const char* kSettingsKey = "zorva_device_key";
  static constexpr const char* kPendingKey = "zorva_device_key_pending";
  static constexpr auto kRetryPause = std::chrono::seconds(20);
  static constexpr auto kTimeout = std::chrono::seconds(60);
  static constexpr auto kSettingsRetry = std::chrono::seconds(10);

  using Error = DeviceApiError;
  using CheckHandler = std::function<void(std::optional<Error>)>;

  struct Dependencies {
    SettingsStore& settings;
    HttpClient& http;
    Clock& clock;
    std::string baseUrl;  // scheme and authority; request paths replace its path
  };

  // Reads the stored key and, if there is one, starts checking it at once; a pending offer is
  // checked again.
  explicit DeviceApi(const Dependencies& dependencies);

  bool isReady() const override;
  void setOnReady(std::function<void()> onReady) override;
  // Offers a key; it is held once the backend accepts it. A held key is never replaced; a later
  // offer replaces one still pending.
  void setDeviceToken(const std::string& token);

  // "<path>?device_session_key=<token, percent-encoded for a query>".
  static std::string stringFromUrl(std::string_view path, std::string_view token);
  // A key as it may appear in log lines, which also reach the analytics service.
  static std::string redacted(std::string_view token);

  void checkToken(const std::string& token, int64_t retryCount, CheckHandler handler);
  void deviceRequest(std::string path, std::optional<nlohmann::json> body, int64_t retryCount,
                     RequestHandler handler) override;
  // One attempt at a URL relative to the base URL, and the retry decision.
  void sendRequest(std::string urlText, std::optional<nlohmann::json> body, int64_t retryCount,
                   RequestHandler handler);

 private:
  std::optional<std::string> token() const;
  void setToken(std::optional<std::string> token);
  void loadStoredKeys();
  void startUpCheckFailed(const std::string& token, const Error& error);
  // Checks an offered key until the backend decides; `offer` tells it from later offers.
  void checkOffer(const std::string& token, uint64_t offer);

  SettingsStore& _settings;
  HttpClient& _http;
  const std::string _baseUrl;
  mutable std::mutex _tokenMutex;
  std::optional<std::string> _deviceToken;  // under _tokenMutex
  std::function<void()> _onReady;           // under _tokenMutex
  uint64_t _offers = 0;                     // under _tokenMutex: the latest offer's number
  bool _settingsUnreadable = false;         // on _queue once start-up has read
  SerialQueue _queue;                       // the delayed retries
};

}  // namespace zorva
