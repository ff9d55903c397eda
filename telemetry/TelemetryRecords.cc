#include "telemetry/TelemetryRecords.h"

#include <charconv>
#include <cmath>

#include "platform/text/Utf16.h"

namespace zorva {
namespace {

using json = nlohmann::json;

constexpr const char* kTaxonomyKeys[] = {"kingdom", "phylum", "class",  "order",
                                         "family",  "genus",  "species"};
constexpr const char* kFloatKeys[] = {"float1", "float2", "float3", "float4"};
// Room for the shortest round-trip text of any double.
constexpr size_t kNumberTextSize = 32;

// A number JSON can carry: integers, booleans and finite reals. NaN and infinities would be
// written as null (or refused by the settings store, and with them the whole stored list).
bool isSendableNumber(const json& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  return value.is_number() || value.is_boolean();
}

// Adds the spend values of an economy event; false when they make it invalid.
bool addSpend(json& record, const Spend& spend) {
  bool valid = spend.currency.has_value();
  if (auto currency = trimString(spend.currency, kSpendLimit)) {
    record["spend_currency"] = *currency;
  } else {
    telemetryConsole("spendCurrency is required");
  }
  if (!spend.amount) {
    telemetryConsole("missing required value spendAmount for economy event");
    valid = false;
  } else if (isSendableNumber(*spend.amount)) {
    record["spend_amount"] = *spend.amount;
  } else {
    telemetryConsoleFormat("bad value (%@) for spendAmount", describeValue(*spend.amount));
    valid = false;
  }
  if (auto cut = trimString(spend.type, kSpendLimit)) record["spend_type"] = *cut;
  return valid;
}

}  // namespace

void telemetryConsole(const std::string& message) {
  LogWriter& writer = logWriter();
  if (!writer.isEnabled(LogLevel::Console)) return;
  writer.write(LogLevel::Console, "PX_LOG: " + message);
}

std::optional<std::string> trimString(const std::optional<std::string>& value, int32_t maxLength) {
  if (!value) return std::nullopt;
  const size_t limit = maxLength > 0 ? static_cast<size_t>(maxLength) : 0;
  if (utf16Length(*value) <= limit) return value;
  return std::string(utf16Prefix(*value, limit > 0 ? limit - 1 : 0));
}

std::string describeValue(const json& value) {
  switch (value.type()) {
    case json::value_t::string:
      return value.get_ref<const std::string&>();
    case json::value_t::boolean:
      return value.get<bool>() ? "1" : "0";
    case json::value_t::number_integer:
      return std::to_string(value.get<int64_t>());
    case json::value_t::number_unsigned:
      return std::to_string(value.get<uint64_t>());
    case json::value_t::number_float: {
      const double number = value.get<double>();
      if (std::isnan(number)) return "nan";
      if (std::isinf(number)) return number > 0 ? "inf" : "-inf";
      char buffer[kNumberTextSize];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
      return std::string(buffer, result.ptr);
    }
    case json::value_t::null:
      return "<null>";
    default:
      return value.dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

std::optional<TelemetryRecord> makeEventRecord(const json& properties, const std::string& type,
                                               const Spend& spend, const std::string& now) {
  if (type.empty()) {
    telemetryConsoleFormat("failed to send event without a type, properties: %@",
                           describeValue(properties));
    return std::nullopt;
  }
  static const json kNoProperties = json::object();
  const json* given = &properties;
  if (!properties.is_object()) {
    if (!properties.is_null()) {
      telemetryConsoleFormat("properties are not a dictionary (%@); event %@ recorded without them",
                             describeValue(properties), type);
    }
    given = &kNoProperties;
  }

  json record = {{"event_datetime", now}, {"type", type}};
  for (const char* key : kTaxonomyKeys) {
    auto found = given->find(key);
    if (found == given->end()) continue;
    std::string text = describeValue(*found);
    if (!text.empty()) record[key] = *trimString(text, kTaxonomyLimit);
  }
  for (const char* key : kFloatKeys) {
    auto found = given->find(key);
    if (found == given->end()) continue;
    if (isSendableNumber(*found)) {
      record[key] = *found;
    } else {
      telemetryConsoleFormat("bad value (%@) for %@", describeValue(*found), key);
    }
  }

  if (type == kEconomyType && !addSpend(record, spend)) {
    const std::optional<std::string> amount =
        spend.amount ? std::optional(describeValue(*spend.amount)) : std::nullopt;
    telemetryConsoleFormat(
        "failed to send event with type: %@ and properties: %@, spendCurrency: %@, "
        "spendAmount: %@",
        type, describeValue(properties), trimString(spend.currency, kSpendLimit), amount);
    return std::nullopt;
  }
  return record;
}

TelemetryRecord makeLogRecord(const std::string& line, const std::optional<std::string>& level,
                              const std::string& now) {
  TelemetryRecord record = {{"event_datetime", now}, {"log_line", line}};
  if (level) record["log_level"] = *level;
  return record;
}

std::optional<std::string> unsendable(const TelemetryRecord& record) {
  for (const auto& [key, value] : record.items()) {
    if (value.is_number_float() && !std::isfinite(value.get<double>())) {
      return "the value of " + key + " is not a finite number";
    }
  }
  try {
    (void)record.dump();
  } catch (const json::exception& failure) {
    return std::string(failure.what());
  }
  return std::nullopt;
}

}  // namespace zorva
