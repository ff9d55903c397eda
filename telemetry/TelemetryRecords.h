#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/log/Log.h"
#include "platform/text/Format.h"

namespace zorva {

// An event or log record: an object of strings and numbers.
using TelemetryRecord = nlohmann::json;

// Taxonomy texts and spend texts keep at most this many UTF-16 units, less one (the trim rule).
inline constexpr int32_t kTaxonomyLimit = 32;
inline constexpr int32_t kSpendLimit = 32;
inline constexpr const char* kEventType = "event";
// Only this type, spelt exactly so, is checked for its spend values.
inline constexpr const char* kEconomyType = "economy";

// The telemetry client's own diagnostics: console lines "PX_LOG: <message>", never uploaded.
void telemetryConsole(const std::string& message);
template <class... Args>
void telemetryConsoleFormat(FormatString<std::type_identity_t<Args>...> format,
                            const Args&... args) {
  if (logWriter().isEnabled(LogLevel::Console)) telemetryConsole(formatMessage(format, args...));
}

// The trim rule: a value of at most `maxLength` UTF-16 units stays whole, a longer one keeps its
// first maxLength - 1 units, less one more where the cut would split a surrogate pair.
std::optional<std::string> trimString(const std::optional<std::string>& value, int32_t maxLength);

// The text of a caller's value, as "%@" would show it: a string as itself, a number in decimal,
// a boolean as 1 or 0, anything else as JSON.
std::string describeValue(const nlohmann::json& value);

struct Spend {
  std::optional<std::string> currency{};
  std::optional<std::string> type{};
  std::optional<nlohmann::json> amount{};
};

// The event record for a caller's description, stamped `now`, or nothing when it is refused
// (no type, or an economy event without a currency or a sendable amount). Refusals and left-out
// values show only as console lines. Of `properties` only the taxonomy keys ("kingdom" ...
// "species", as text) and the float keys ("float1" ... "float4", finite numbers) are kept.
std::optional<TelemetryRecord> makeEventRecord(const nlohmann::json& properties,
                                               const std::string& type, const Spend& spend,
                                               const std::string& now);

// A log line, taken literally, with its level when it has one.
TelemetryRecord makeLogRecord(const std::string& line, const std::optional<std::string>& level,
                              const std::string& now);

// Why a record cannot be sent as JSON, or nothing when it can.
std::optional<std::string> unsendable(const TelemetryRecord& record);

}  // namespace zorva
