#pragma once

#include <cstddef>
#include <string_view>

namespace zorva {

// Lengths as the analytics service counts them: in UTF-16 code units, where a character outside
// the Basic Multilingual Plane (most emoji) takes two. Bytes that are not UTF-8 count as one
// unit per ill-formed sequence, as the U+FFFD that would stand in for them.
size_t utf16Length(std::string_view utf8);

// The longest prefix of `utf8` made of whole characters that takes at most `units` UTF-16 code
// units. A character of two units that would straddle the limit is left out whole, so a cut never
// leaves half a surrogate pair (or half a UTF-8 sequence) behind.
std::string_view utf16Prefix(std::string_view utf8, size_t units);

}  // namespace zorva
