#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Clock.h"

namespace zorva {

// The calendar day of a moment, "yyyy-MM-dd", in a given time zone (an IANA name such as
// "Europe/Vienna"), or in UTC. Not safe for concurrent use: each user keeps its own.
class DayFormatter {
 public:
  // An unknown zone name leaves `valid()` false and counts days in UTC.
  explicit DayFormatter(const std::optional<std::string>& timeZone);
  ~DayFormatter();
  DayFormatter(const DayFormatter&) = delete;
  DayFormatter& operator=(const DayFormatter&) = delete;

  bool valid() const { return valid_; }
  std::string format(Clock::TimePoint time);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool valid_ = true;
};

}  // namespace zorva
