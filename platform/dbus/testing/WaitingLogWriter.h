#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/LogWriter.h"

namespace zorva::testing {

// Keeps log lines like MemoryLogWriter and lets a test wait for a line that another thread
// writes, instead of sleeping. Installs itself as the process's writer for its lifetime.
class WaitingLogWriter final : public LogWriter {
 public:
  WaitingLogWriter() { setLogWriter(this); }
  ~WaitingLogWriter() override { setLogWriter(nullptr); }

  bool isEnabled(LogLevel) const override { return true; }
  void write(LogLevel level, std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back({level == LogLevel::Error, std::string(line)});
    changed_.notify_all();
  }

  // Waits until `count` lines contain `text`; false when they do not come within `limit`.
  bool waitFor(const std::string& text, size_t count = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return countLocked(text) >= count; });
  }

  size_t count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return countLocked(text);
  }

  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_) out.push_back(line.text);
    return out;
  }

 private:
  struct Line {
    bool error;
    std::string text;
  };
  size_t countLocked(const std::string& text) const {
    size_t found = 0;
    for (const auto& line : lines_) found += line.text.find(text) != std::string::npos;
    return found;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

}  // namespace zorva::testing
