#pragma once

#include <exception>
#include <string>

#include "platform/log/LogWriter.h"
#include "platform/text/Format.h"

namespace zorva {

// What the log functions need of the telemetry client: it records finished lines, taken
// literally. The telemetry client implements it and registers itself when it is created.
class TelemetryLog {
 public:
  virtual ~TelemetryLog() = default;
  virtual void log(const std::string& line) = 0;
  virtual void logError(const std::string& line) = 0;
};

// The telemetry client that ZorvaRemote and ZorvaError forward to; none until one registers.
// Not owned: it must outlive every log call, as the shared telemetry client does.
void setTelemetryLog(TelemetryLog* telemetry);
TelemetryLog* telemetryLog();

// The text of a caught exception for "threw" lines: its type and its message, as in
// "std::bad_alloc: std::bad_alloc".
std::string exceptionDescription(const std::exception& error);

namespace log_detail {
void writeLog(const std::string& message);
void writeRemote(const std::string& message);
void writeError(const std::string& message);
}  // namespace log_detail

// Progress lines: "ZORVA_LOG: <message>" at default level.
template <class... Args>
void ZorvaLog(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  // Nothing else uses the message, so a disabled level costs no formatting.
  if (!logWriter().isEnabled(LogLevel::Default)) return;
  log_detail::writeLog(formatMessage(format, args...));
}

// Transfer findings: "ZORVA_LOG: REMOTE: <message>" at default level, and the message to the
// telemetry client's app log.
template <class... Args>
void ZorvaRemote(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  log_detail::writeRemote(formatMessage(format, args...));
}

// Failures: "ZORVA_LOG: ERROR: <message>" at error level, and the message to the telemetry
// client's error log.
template <class... Args>
void ZorvaError(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  log_detail::writeError(formatMessage(format, args...));
}

}  // namespace zorva
