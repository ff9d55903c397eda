#pragma once

#include <memory>
#include <string_view>

#include "platform/log/LogFields.h"

namespace zorva {

// Console lines are the telemetry client's own diagnostics; Default and Error are the two levels
// of the service's log lines.
enum class LogLevel { Console, Default, Error };

// Where log lines go: the journal, stderr, nowhere, or a test's memory.
class LogWriter {
 public:
  virtual ~LogWriter() = default;
  virtual bool isEnabled(LogLevel level) const = 0;
  // Writes one whole line; `line` carries no trailing newline of the writer's own.
  virtual void write(LogLevel level, std::string_view line) = 0;
  // The same line with fields beside its text. A writer with no place for fields writes the text
  // alone, so that the line reads the same on every target.
  virtual void writeWithFields(LogLevel level, std::string_view line, const LogFields& /*fields*/) {
    write(level, line);
  }
};

enum class LogTarget { Journal, Stderr, Off };

// `lowest` is the lowest of Default and Error that is written; console lines are written by any
// target but Off.
std::unique_ptr<LogWriter> makeLogWriter(LogTarget target, LogLevel lowest);

// Whether the journal's socket exists, so that lines sent there are not silently dropped.
bool journalAvailable();

// The process-wide writer that the log functions use; stderr at default level until start-up
// sets one. The writer is not owned and must outlive its use; pass nullptr to go back to stderr.
LogWriter& logWriter();
void setLogWriter(LogWriter* writer);

}  // namespace zorva
