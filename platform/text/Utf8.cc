#include "platform/text/Utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorva {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Most paths are ASCII: skip them sixteen, then eight bytes at a time.
#if defined(__SSE2__)
    if (end - p >= 16) {
      __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(block) == 0) {
        p += 16;
        continue;
      }
    }
#endif
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    int trailing;
    unsigned char lowest = 0x80, highest = 0xBF;  // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trailing = 2;
      if (lead == 0xE0) lowest = 0xA0;   // overlong
      if (lead == 0xED) highest = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trailing = 3;
      if (lead == 0xF0) lowest = 0x90;   // overlong
      if (lead == 0xF4) highest = 0x8F;  // past U+10FFFF
    } else {
      return false;
    }
    if (end - p <= trailing) return false;
    if (p[1] < lowest || p[1] > highest) return false;
    for (int i = 2; i <= trailing; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += trailing + 1;
  }
  return true;
}

}  // namespace zorva
