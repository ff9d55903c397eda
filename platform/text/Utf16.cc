#include "platform/text/Utf16.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace zorva {
namespace {

// Walks `utf8` a character at a time while the units taken stay within `limit`; returns the
// byte offset after the last whole character that fits, and the units up to there in `units`.
size_t walk(std::string_view utf8, size_t limit, size_t& units) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  units = 0;
  size_t offset = 0;
  while (offset < utf8.size()) {
    size_t width = 1;
    size_t step = 1;
    if (bytes[offset] >= 0x80) {
      // One sequence is at most four bytes, which keeps ICU's int32_t indices small whatever
      // the text's size.
      const auto window = static_cast<int32_t>(std::min<size_t>(utf8.size() - offset, 4));
      int32_t i = 0;
      UChar32 c = 0;
      U8_NEXT(bytes + offset, i, window, c);
      width = c < 0 ? 1 : static_cast<size_t>(U16_LENGTH(c));
      step = static_cast<size_t>(i);
    }
    if (units + width > limit) break;
    units += width;
    offset += step;
  }
  return offset;
}

}  // namespace

size_t utf16Length(std::string_view utf8) {
  size_t units = 0;
  walk(utf8, std::numeric_limits<size_t>::max(), units);
  return units;
}

std::string_view utf16Prefix(std::string_view utf8, size_t units) {
  size_t taken = 0;
  return utf8.substr(0, walk(utf8, units, taken));
}

}  // namespace zorva
