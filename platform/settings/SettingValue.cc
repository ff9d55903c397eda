#include "platform/settings/SettingValue.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <ratio>

namespace zorva {

// Spelt out rather than defaulted: clang 14 crashes on a defaulted comparison of a type that
// holds containers of itself, and the fuzzers and clang-tidy are built with clang.
bool SettingValue::operator==(const SettingValue& other) const { return _value == other._value; }

namespace {

using Json = nlohmann::json;

constexpr std::string_view kDateTag = "$date";

// The tag's number is in system_clock ticks; pin the tick so stored dates keep their meaning.
static_assert(std::is_same_v<SettingValue::Date::period, std::nano>);
static_assert(std::is_same_v<SettingValue::Date::rep, int64_t>);

bool isTagged(std::string_view key) { return !key.empty() && key.front() == '$'; }

// `depth` counts the arrays and dictionaries around `value`.
bool toJson(const SettingValue& value, int depth, Json& out, std::string& failure) {
  switch (value.kind()) {
    case SettingValue::Kind::String:
      out = *value.asString();
      return true;
    case SettingValue::Kind::Bool:
      out = *value.asBool();
      return true;
    case SettingValue::Kind::Integer:
      out = *value.asInteger();
      return true;
    case SettingValue::Kind::Real: {
      double real = *value.asReal();
      if (!std::isfinite(real)) {
        failure = "a real that is NaN or infinite has no JSON form";
        return false;
      }
      out = real;
      return true;
    }
    case SettingValue::Kind::Date:
      out = Json::object();
      out[std::string(kDateTag)] = value.asDate()->time_since_epoch().count();
      return true;
    case SettingValue::Kind::Array:
    case SettingValue::Kind::Dictionary:
      break;
  }
  if (depth >= kMaxSettingDepth) {
    failure = "arrays and dictionaries nest deeper than " + std::to_string(kMaxSettingDepth);
    return false;
  }
  if (const SettingValue::Array* array = value.asArray()) {
    out = Json::array();
    for (const SettingValue& element : *array) {
      Json& slot = out.emplace_back();
      if (!toJson(element, depth + 1, slot, failure)) return false;
    }
    return true;
  }
  out = Json::object();
  for (const auto& [key, element] : *value.asDictionary()) {
    Json& slot = out[isTagged(key) ? "$" + key : key];
    if (!toJson(element, depth + 1, slot, failure)) return false;
  }
  return true;
}

// nlohmann's parser keeps its own stack, but the tree it builds and fromJson() below do not;
// measuring first means a hostile "[[[[..." never becomes a tree at all. Inside valid JSON the
// string tracking is exact; for invalid JSON the parse fails anyway.
bool withinDepth(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

std::optional<SettingValue> fromJson(const Json& json, int depth) {
  switch (json.type()) {
    case Json::value_t::string:
      return SettingValue(json.get_ref<const std::string&>());
    case Json::value_t::boolean:
      return SettingValue(json.get<bool>());
    case Json::value_t::number_integer:
      return SettingValue(json.get<int64_t>());
    case Json::value_t::number_unsigned: {
      // The parser reads every non-negative integer as unsigned; the encoder never writes one
      // beyond int64.
      uint64_t number = json.get<uint64_t>();
      if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
      return SettingValue(static_cast<int64_t>(number));
    }
    case Json::value_t::number_float: {
      double real = json.get<double>();
      if (!std::isfinite(real)) return std::nullopt;
      return SettingValue(real);
    }
    case Json::value_t::array:
    case Json::value_t::object:
      break;
    default:
      // null, binary and discarded values are never written.
      return std::nullopt;
  }

  if (json.is_object() && json.size() == 1 && json.begin().key() == kDateTag) {
    std::optional<SettingValue> ticks = fromJson(json.begin().value(), depth);
    if (!ticks || !ticks->isInteger()) return std::nullopt;
    return SettingValue(SettingValue::Date(SettingValue::Date::duration(*ticks->asInteger())));
  }

  if (depth >= kMaxSettingDepth) return std::nullopt;
  if (json.is_array()) {
    SettingValue::Array array;
    array.reserve(json.size());
    for (const Json& element : json) {
      std::optional<SettingValue> value = fromJson(element, depth + 1);
      if (!value) return std::nullopt;
      array.push_back(std::move(*value));
    }
    return SettingValue(std::move(array));
  }
  SettingValue::Dictionary dictionary;
  for (const auto& [key, element] : json.items()) {
    std::string_view name = key;
    if (isTagged(name)) {
      // A lone "$" marks a tag, and the only tag is a date standing alone.
      if (name.size() < 2 || name[1] != '$') return std::nullopt;
      name.remove_prefix(1);
    }
    std::optional<SettingValue> value = fromJson(element, depth + 1);
    if (!value) return std::nullopt;
    dictionary.emplace(name, std::move(*value));
  }
  return SettingValue(std::move(dictionary));
}

}  // namespace

std::string encodeSettingValue(const SettingValue& value, std::string* failure) {
  std::string reason;
  try {
    Json json;
    if (toJson(value, 0, json, reason)) {
      // Replacing bad UTF-8 rather than throwing: a stray byte in a file name must not make a
      // whole setting unstorable.
      return json.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
  } catch (const std::exception& error) {
    reason = error.what();
  }
  if (failure) *failure = reason;
  return std::string();
}

std::optional<SettingValue> decodeSettingValue(std::string_view text) {
  // One more level than values may nest, for the object around a date in the deepest container.
  if (!withinDepth(text, kMaxSettingDepth + 1)) return std::nullopt;
  try {
    Json json = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return std::nullopt;
    return fromJson(json, 0);
  } catch (const std::exception&) {
    // Only allocation can throw here; a value too large to hold is as good as absent.
    return std::nullopt;
  }
}

}  // namespace zorva
