#include "platform/text/LowerCase.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>

#include <algorithm>

namespace zorva {

std::string lowerCase(std::string_view text) {
  std::string lower;
  lowerCaseInto(lower, text);
  return lower;
}

void lowerCaseInto(std::string& out, std::string_view text) {
  // Most paths are ASCII, where the full mapping is the ASCII one: no ICU call on the hot path.
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    out.assign(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return;
  }
  out.clear();
  icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(text.size()));
  UErrorCode status = U_ZERO_ERROR;
  // The root locale (""): the language-neutral mapping.
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) out.assign(text);
}

}  // namespace zorva
