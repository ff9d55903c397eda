#include "platform/log/LogWriter.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace zorva {
namespace {

bool levelEnabled(LogLevel level, LogLevel lowest) {
  return level == LogLevel::Console || static_cast<int>(level) >= static_cast<int>(lowest);
}

class StderrWriter final : public LogWriter {
 public:
  explicit StderrWriter(LogLevel lowest) : _lowest(lowest) {}

  bool isEnabled(LogLevel level) const override { return levelEnabled(level, _lowest); }

  void write(LogLevel, std::string_view line) override {
    // One write() per line keeps lines of different threads from interleaving.
    std::string buffer;
    buffer.reserve(line.size() + 1);
    buffer.append(line).push_back('\n');
    const char* data = buffer.data();
    size_t left = buffer.size();
    while (left > 0) {
      ssize_t written = ::write(STDERR_FILENO, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // nowhere left to report a broken stderr
      data += written;
      left -= static_cast<size_t>(written);
    }
  }

 private:
  LogLevel _lowest;
};

class JournalWriter final : public LogWriter {
 public:
  explicit JournalWriter(LogLevel lowest) : _lowest(lowest) {}

  bool isEnabled(LogLevel level) const override { return levelEnabled(level, _lowest); }

  void write(LogLevel level, std::string_view line) override { writeWithFields(level, line, {}); }

  // One iovec per field, "NAME=" and the value's bytes: the journal takes any bytes after the
  // first "=" (a value with a line break goes with its length), and the names are fixed, so a
  // path can neither cut a field short nor add one. No format is involved: "%" in a file name
  // stays as it is.
  void writeWithFields(LogLevel level, std::string_view line, const LogFields& fields) override {
    static_assert(LOG_ERR == 3 && LOG_NOTICE == 5 && LOG_DEBUG == 7);
    std::string_view priority = level == LogLevel::Error     ? "PRIORITY=3"
                                : level == LogLevel::Default ? "PRIORITY=5"
                                                             : "PRIORITY=7";
    std::string entries[1 + LogFields::kMaxFields];
    size_t count = 0;
    entries[count++].append("MESSAGE=").append(line);
    fields.forEach([&](std::string_view name, std::string_view value) {
      entries[count++].append(name).append("=").append(value);
    });
    iovec parts[2 + 1 + LogFields::kMaxFields];
    size_t used = 0;
    auto add = [&](std::string_view part) {
      parts[used++] = {const_cast<char*>(part.data()), part.size()};
    };
    add(priority);
    add("SYSLOG_IDENTIFIER=zorvad");
    for (size_t i = 0; i < count; ++i) add(entries[i]);
    sd_journal_sendv(parts, static_cast<int>(used));
  }

 private:
  LogLevel _lowest;
};

class OffWriter final : public LogWriter {
 public:
  bool isEnabled(LogLevel) const override { return false; }
  void write(LogLevel, std::string_view) override {}
};

std::atomic<LogWriter*> currentWriter{nullptr};

}  // namespace

std::unique_ptr<LogWriter> makeLogWriter(LogTarget target, LogLevel lowest) {
  switch (target) {
    case LogTarget::Journal:
      return std::make_unique<JournalWriter>(lowest);
    case LogTarget::Stderr:
      return std::make_unique<StderrWriter>(lowest);
    case LogTarget::Off:
      break;
  }
  return std::make_unique<OffWriter>();
}

bool journalAvailable() {
  struct stat info {};
  return ::stat("/run/systemd/journal/socket", &info) == 0 && S_ISSOCK(info.st_mode);
}

LogWriter& logWriter() {
  if (LogWriter* writer = currentWriter.load(std::memory_order_acquire)) return *writer;
  static StderrWriter fallback(LogLevel::Default);
  return fallback;
}

void setLogWriter(LogWriter* writer) { currentWriter.store(writer, std::memory_order_release); }

}  // namespace zorva
