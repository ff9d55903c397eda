#include "platform/log/LogWriter.h"

#include <sys/stat.h>
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
  explicit StderrWriter(LogLevel lowest) : lowest_(lowest) {}

  bool isEnabled(LogLevel level) const override { return levelEnabled(level, lowest_); }

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
  LogLevel lowest_;
};

class JournalWriter final : public LogWriter {
 public:
  explicit JournalWriter(LogLevel lowest) : lowest_(lowest) {}

  bool isEnabled(LogLevel level) const override { return levelEnabled(level, lowest_); }

  void write(LogLevel level, std::string_view line) override {
    int priority = level == LogLevel::Error     ? LOG_ERR
                   : level == LogLevel::Default ? LOG_NOTICE
                                                : LOG_DEBUG;
    // The line is an argument of "%.*s", never a format: "%" in a file name stays as it is.
    sd_journal_send("MESSAGE=%.*s", static_cast<int>(line.size()), line.data(), "PRIORITY=%d",
                    priority, "SYSLOG_IDENTIFIER=zorvad", nullptr);
  }

 private:
  LogLevel lowest_;
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
