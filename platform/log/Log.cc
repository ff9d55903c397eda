#include "platform/log/Log.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace zorva {
namespace {

std::atomic<LogForwarder*> sharedForwarder{nullptr};

void writeLine(LogLevel level, std::string_view prefix, const std::string& message,
               const LogFields& fields) {
  LogWriter& writer = logWriter();
  if (!writer.isEnabled(level)) return;
  std::string line;
  line.reserve(prefix.size() + message.size());
  line.append(prefix).append(message);
  writer.writeWithFields(level, line, fields);
}

}  // namespace

void setLogForwarder(LogForwarder* forwarder) {
  sharedForwarder.store(forwarder, std::memory_order_release);
}

LogForwarder* logForwarder() { return sharedForwarder.load(std::memory_order_acquire); }

std::string exceptionDescription(const std::exception& error) {
  const char* mangled = typeid(error).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  std::string text = status == 0 && demangled ? demangled.get() : mangled;
  return text.append(": ").append(error.what());
}

namespace log_detail {

void writeLog(const std::string& message, const LogFields& fields) {
  writeLine(LogLevel::Default, "ZORVA_LOG: ", message, fields);
}

// The log is always written before the forwarder is called.
void writeRemote(const std::string& message) {
  writeLine(LogLevel::Default, "ZORVA_LOG: REMOTE: ", message, {});
  if (LogForwarder* forwarder = logForwarder()) forwarder->log(message);
}

void writeError(const std::string& message, FaultKind kind) {
  writeLine(LogLevel::Error, "ZORVA_LOG: ERROR: ", message, {.kind = faultKindName(kind)});
  if (LogForwarder* forwarder = logForwarder()) forwarder->logError(message);
}

}  // namespace log_detail
}  // namespace zorva
