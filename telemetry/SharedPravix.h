#pragma once

#include <optional>
#include <string>

#include "platform/dispatch/SharedInstance.h"
#include "platform/log/Log.h"
#include "telemetry/Pravix.h"

namespace zorva {

// The service's telemetry identity, built in.
inline constexpr const char* kTelemetryApiKey = "zorva_svc-4f7b2c9e81d3a6b05e2f91";
inline constexpr const char* kTelemetryOrg = "zorva";

// The process's one telemetry client: created on the first sharedInstanceWithAPIKey() call, with
// that call's arguments, and kept until the process ends. The log functions reach it through this
// object (register it with setLogForwarder); lines logged before the client exists are not
// forwarded.
class SharedPravix final : public LogForwarder {
 public:
  explicit SharedPravix(Pravix::Dependencies dependencies)
      : dependencies_(std::move(dependencies)) {}

  // Concurrent first calls create one instance; later calls return it and ignore their arguments.
  Pravix& sharedInstanceWithAPIKey(const std::string& apiKey, const std::string& org,
                                   const std::optional<std::string>& dauTimeZone = std::nullopt) {
    return instance_.get([&] { return new Pravix(dependencies_, apiKey, org, dauTimeZone); });
  }

  // The instance, or nullptr with a console line when none has been created yet.
  Pravix* sharedInstance() const {
    Pravix* created = instance_.ifCreated();
    if (created == nullptr) {
      LogWriter& writer = logWriter();
      if (writer.isEnabled(LogLevel::Console)) {
        writer.write(LogLevel::Console,
                     "PX_LOG Error: Dont call sharedInstance before "
                     "sharedInstanceWithAPIKey:forOrg:");
      }
    }
    return created;
  }

  void log(const std::string& line) override {
    if (Pravix* telemetry = sharedInstance()) telemetry->log(line);
  }
  void logError(const std::string& line) override {
    if (Pravix* telemetry = sharedInstance()) telemetry->logError(line);
  }

 private:
  const Pravix::Dependencies dependencies_;
  SharedInstance<Pravix> instance_;
};

}  // namespace zorva
