#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace zorva {

// Printf-style message formatting with the placeholders the service's messages use:
//   %@  an object's text: a string's own characters, a number's decimal form, "(null)" for none
//   %d  an integer of at most 32 bits     %ld  an integer of at most 64 bits
//   %s  a C string                        %%   a literal "%"
// Formats are checked at compile time: a placeholder without an argument, an argument without a
// placeholder, an unknown placeholder, or an argument of the wrong kind does not compile.
// Arguments are appended as text and never read as formats, so a "%" inside a file name stays.

// The text of an object for "%@". Further types join by adding an overload of describe().
inline void describe(std::string& out, std::string_view text) { out.append(text); }
inline void describe(std::string& out, const std::string& text) { out.append(text); }
inline void describe(std::string& out, const char* text) { out.append(text ? text : "(null)"); }
inline void describe(std::string& out, const std::optional<std::string>& text) {
  out.append(text ? std::string_view(*text) : std::string_view("(null)"));
}
template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) void describe(std::string& out,
                                                                         T value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}
inline void describe(std::string& out, bool value) { out.append(value ? "1" : "0"); }
inline void describe(std::string& out, double value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

namespace format_detail {

template <class T>
using Plain = std::remove_cvref_t<std::decay_t<T>>;

template <class T>
concept Describable = requires(std::string& out, const T& value) {
  describe(out, value);
};

template <class T>
concept CString = std::same_as < Plain<T>,
const char* > || std::same_as<Plain<T>, char*> || std::same_as<Plain<T>, std::string> ||
    std::same_as<Plain<T>, std::string_view>;

template <class T>
concept Int32 =
    std::integral<Plain<T>> && !std::same_as<Plain<T>, bool> && sizeof(Plain<T>) <= sizeof(int32_t);

template <class T>
concept Int64 =
    std::integral<Plain<T>> && !std::same_as<Plain<T>, bool> && sizeof(Plain<T>) <= sizeof(int64_t);

// What each argument may stand for, known at compile time.
struct Kinds {
  bool object, int32, int64, cstring;
};

template <class T>
consteval Kinds kindsOf() {
  return {Describable<Plain<T>>, Int32<T>, Int64<T>, CString<T>};
}

// Throwing inside a consteval function makes the call ill-formed: the error names this function.
inline void formatStringError(const char*) {}

template <size_t N>
consteval void check(std::string_view format, const Kinds (&kinds)[N], size_t count) {
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (++i == format.size()) formatStringError("format ends in a lone %");
    char spec = format[i];
    if (spec == '%') continue;
    if (next >= count) formatStringError("more placeholders than arguments");
    const Kinds& kind = kinds[next++];
    if (spec == '@') {
      if (!kind.object) formatStringError("argument of %@ has no describe()");
    } else if (spec == 'd') {
      if (!kind.int32) formatStringError("argument of %d is not an integer of 32 bits");
    } else if (spec == 'l' && i + 1 < format.size() && format[i + 1] == 'd') {
      ++i;
      if (!kind.int64) formatStringError("argument of %ld is not an integer");
    } else if (spec == 's') {
      if (!kind.cstring) formatStringError("argument of %s is not a string");
    } else {
      formatStringError("unknown placeholder");
    }
  }
  if (next != count) formatStringError("more arguments than placeholders");
}

}  // namespace format_detail

template <class... Args>
class FormatString {
 public:
  template <class S>
  requires std::convertible_to<const S&, std::string_view>
  consteval FormatString(const S& format) : _text(format) {  // NOLINT: implicit by design
    constexpr format_detail::Kinds kinds[sizeof...(Args) + 1] = {format_detail::kindsOf<Args>()...,
                                                                 {}};
    format_detail::check(_text, kinds, sizeof...(Args));
  }

  std::string_view text() const { return _text; }

 private:
  std::string_view _text;
};

namespace format_detail {

template <class T>
void appendOne(std::string& out, const void* value) {
  describe(out, *static_cast<const T*>(value));
}

template <class... Args>
std::string formatChecked(std::string_view format, const Args&... args) {
  using Appender = void (*)(std::string&, const void*);
  const void* values[] = {static_cast<const void*>(&args)..., nullptr};
  const Appender appenders[] = {&appendOne<Args>..., nullptr};

  std::string out;
  out.reserve(format.size() + 32 * sizeof...(Args));
  size_t next = 0;
  size_t i = 0;
  while (i < format.size()) {
    size_t percent = format.find('%', i);
    out.append(format.substr(i, percent - i));
    if (percent == std::string_view::npos) break;
    // The format was checked at compile time: a valid placeholder follows every "%".
    char spec = format[percent + 1];
    if (spec == '%') {
      out.push_back('%');
    } else {
      appenders[next](out, values[next]);
      ++next;
    }
    i = percent + (spec == 'l' ? 3 : 2);
  }
  return out;
}

}  // namespace format_detail

template <class... Args>
std::string formatMessage(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
  return format_detail::formatChecked(format.text(), args...);
}

}  // namespace zorva
