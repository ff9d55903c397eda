#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/LogWriter.h"

namespace zorva {

// Keeps lines in memory for tests, and installs itself as the process's writer for its lifetime.
class MemoryLogWriter final : public LogWriter {
 public:
  struct Line {
    LogLevel level;
    std::string text;
    std::map<std::string, std::string> fields;  // by name, as the journal would have them
    bool operator==(const Line&) const = default;
  };

  explicit MemoryLogWriter(LogLevel lowest = LogLevel::Default) : _lowest(lowest) {
    setLogWriter(this);
  }
  ~MemoryLogWriter() override { setLogWriter(nullptr); }

  bool isEnabled(LogLevel level) const override {
    return level == LogLevel::Console || level >= _lowest;
  }
  void write(LogLevel level, std::string_view line) override { writeWithFields(level, line, {}); }
  void writeWithFields(LogLevel level, std::string_view line, const LogFields& fields) override {
    std::lock_guard lock(_mutex);
    Line& kept = _lines.emplace_back(Line{level, std::string(line), {}});
    fields.forEach([&](std::string_view k, std::string_view v) { kept.fields.emplace(k, v); });
  }

  std::vector<Line> lines() const {
    std::lock_guard lock(_mutex);
    return _lines;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(line.text);
    return out;
  }
  void clear() {
    std::lock_guard lock(_mutex);
    _lines.clear();
  }

 private:
  const LogLevel _lowest;
  mutable std::mutex _mutex;
  std::vector<Line> _lines;
};

}  // namespace zorva
