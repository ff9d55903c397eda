#include "telemetry/DayFormatter.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace zorva {

struct DayFormatter::Impl {
  std::unique_ptr<icu::SimpleDateFormat> format;
};

DayFormatter::DayFormatter(const std::optional<std::string>& timeZone)
    : impl_(std::make_unique<Impl>()) {
  std::unique_ptr<icu::TimeZone> zone(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone.value_or("UTC"))));
  if (*zone == icu::TimeZone::getUnknown()) {
    valid_ = false;
    zone.reset(icu::TimeZone::createTimeZone("UTC"));
  }
  UErrorCode status = U_ZERO_ERROR;
  impl_->format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString("yyyy-MM-dd"),
                                                          icu::Locale("en_US_POSIX"), status);
  // The pattern and locale are constants; ICU without its data could still refuse them.
  if (U_FAILURE(status)) {
    impl_->format.reset();
    return;
  }
  impl_->format->adoptTimeZone(zone.release());
}

DayFormatter::~DayFormatter() = default;

std::string DayFormatter::format(Clock::TimePoint time) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  std::string text;
  if (!impl_->format) return text;
  icu::UnicodeString day;
  impl_->format->format(static_cast<UDate>(millis), day);
  return day.toUTF8String(text);
}

}  // namespace zorva
