#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zorva {

// The integer types a setting takes as integers; characters and bool are not numbers here.
template <class T>
concept SettingInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                         !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
                         !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;

// One stored setting: a string, bool, integer, real or date, or an array or dictionary of them.
// Types are strict: an integer is never read back as a real or a bool, so a value written as
// one type is only ever found as that type.
class SettingValue {
 public:
  using Date = std::chrono::system_clock::time_point;
  using Array = std::vector<SettingValue>;
  using Dictionary = std::map<std::string, SettingValue>;

  enum class Kind { String, Bool, Integer, Real, Date, Array, Dictionary };

  // An empty string, so that a default-constructed value is still a value.
  SettingValue() : _value(std::in_place_type<std::string>) {}
  // Implicit, so that set("name", "text") and Array{1, 2, 3} read naturally.
  SettingValue(std::string value) : _value(std::in_place_type<std::string>, std::move(value)) {}
  SettingValue(std::string_view value) : _value(std::in_place_type<std::string>, value) {}
  // Without this a string literal would quietly become a bool.
  SettingValue(const char* value) : _value(std::in_place_type<std::string>, value) {}
  SettingValue(bool value) : _value(std::in_place_type<bool>, value) {}
  // Any integer type, so that a literal 5 is not ambiguous between integer, real and bool.
  // An unsigned 64-bit value above INT64_MAX wraps, as a cast would.
  template <SettingInteger T>
  SettingValue(T value) : _value(std::in_place_type<int64_t>, static_cast<int64_t>(value)) {}
  template <std::floating_point T>
  SettingValue(T value) : _value(std::in_place_type<double>, static_cast<double>(value)) {}
  SettingValue(Date value) : _value(std::in_place_type<Date>, value) {}
  SettingValue(Array value) : _value(std::in_place_type<Array>, std::move(value)) {}
  SettingValue(Dictionary value) : _value(std::in_place_type<Dictionary>, std::move(value)) {}

  Kind kind() const { return static_cast<Kind>(_value.index()); }

  bool isInteger() const { return kind() == Kind::Integer; }

  // Scalars come back by value; strings and containers by pointer into this value, so reading
  // a large array does not copy it. Each is empty when the value holds another type.
  const std::string* asString() const { return std::get_if<std::string>(&_value); }
  std::optional<bool> asBool() const { return scalar<bool>(); }
  std::optional<int64_t> asInteger() const { return scalar<int64_t>(); }
  std::optional<double> asReal() const { return scalar<double>(); }
  std::optional<Date> asDate() const { return scalar<Date>(); }
  const Array* asArray() const { return std::get_if<Array>(&_value); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&_value); }

  // The contents moved out when the value holds T (std::string, bool, int64_t, double, Date,
  // Array or Dictionary), so an array can leave a temporary without being copied.
  template <class T>
  std::optional<T> take() && {
    if (T* value = std::get_if<T>(&_value)) return std::move(*value);
    return std::nullopt;
  }

  // Same type and same contents; reals compare as doubles, so NaN equals nothing.
  bool operator==(const SettingValue& other) const;

 private:
  template <class T>
  std::optional<T> scalar() const {
    if (const T* value = std::get_if<T>(&_value)) return *value;
    return std::nullopt;
  }

  // Alternatives in the order of Kind.
  std::variant<std::string, bool, int64_t, double, Date, Array, Dictionary> _value;
};

// The deepest nesting of arrays and dictionaries that is encoded or decoded. It bounds the
// decoder's recursion, so hostile input cannot exhaust the stack.
inline constexpr int kMaxSettingDepth = 64;

// A JSON text that decodes to an equal value. Dates are {"$date": <system_clock ticks, i.e.
// nanoseconds since the Unix epoch>} so they round-trip to the tick; dictionary keys that begin
// with "$" gain another "$" so they never read as a tag. Strings that are not UTF-8 have their
// bad bytes replaced by U+FFFD.
// Returns an empty string, which is never an encoding, when the value cannot be stored: a real
// that is NaN or infinite (JSON has no such numbers), or nesting deeper than kMaxSettingDepth.
// `failure`, when given, then receives the reason.
std::string encodeSettingValue(const SettingValue& value, std::string* failure = nullptr);

// The value of an encoding, or nullopt for anything else: any bytes at all are safe to pass.
std::optional<SettingValue> decodeSettingValue(std::string_view text);

}  // namespace zorva
