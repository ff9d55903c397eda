#pragma once

#include <exception>
#include <string>

#include "platform/log/LogFields.h"
#include "platform/log/LogWriter.h"
#include "platform/text/Format.h"

namespace zorva {

// Where ZorvaRemote and ZorvaError lines go besides the log: finished lines, taken literally. The
// service registers its telemetry client here, so this layer knows nothing of telemetry.
class LogForwarder {
 public:
  virtual ~LogForwarder() = default;
  virtual void log(const std::string& line) = 0;
  virtual void logError(const std::string& line) = 0;
};

// The forwarder that ZorvaRemote and ZorvaError lines go to; none until one registers. Not owned:
// it must outlive every log call.
void setLogForwarder(LogForwarder* forwarder);
LogForwarder* logForwarder();

// The text of a caught exception for "threw" lines: its type and its message, as in
// "std::bad_alloc: std::bad_alloc".
std::string exceptionDescription(const std::exception& error);

namespace log_detail {
void writeLog(const std::string& message, const LogFields& fields);
void writeRemote(const std::string& message);
void writeError(const std::string& message, FaultKind kind);
}  // namespace log_detail

// Progress lines: "ZORVA_LOG: <message>" at default level, with fields beside the text where
// given (each transfer's line: ZorvaLog({.volumeId = 7, .source = from, ...}, "...", ...)); the
// text is the same with fields as without.
template <class... Args>
void ZorvaLog(const LogFields& fields, FormatString<std::type_identity_t<Args>...> format,
              const Args&... args) {
  // Nothing else uses the message, so a disabled level costs no formatting.
  if (!logWriter().isEnabled(LogLevel::Default)) return;
  log_detail::writeLog(formatMessage(format, args...), fields);
}

template <class... Args>
void ZorvaLog(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  ZorvaLog(LogFields{}, format, args...);
}

// Transfer findings: "ZORVA_LOG: REMOTE: <message>" at default level, and the message to the
// forwarder's log.
template <class... Args>
void ZorvaRemote(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  log_detail::writeRemote(formatMessage(format, args...));
}

// Failures: "ZORVA_LOG: ERROR: <message>" at error level, with the kind of fault as its journal
// field ZORVA_KIND, and the message to the forwarder's error log.
template <class... Args>
void ZorvaError(FaultKind kind, FormatString<std::type_identity_t<Args>...> format,
                const Args&... args) {
  log_detail::writeError(formatMessage(format, args...), kind);
}

}  // namespace zorva
