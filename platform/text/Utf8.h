#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zorva {

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// It runs for every path of every file event, so ASCII runs take a fast path.
bool isValidUtf8(std::string_view bytes);

// The bytes as a string when they are UTF-8, and nothing when they are not: file names on Linux
// are arbitrary bytes, and a name that does not decode must not be passed on as if it did.
inline std::optional<std::string> decodeUtf8(std::string_view bytes) {
  if (!isValidUtf8(bytes)) return std::nullopt;
  return std::string(bytes);
}

}  // namespace zorva
