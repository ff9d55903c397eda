// Stored values are read back from a file on disk that may be damaged or edited by hand: decoding
// must never crash, and whatever decodes must encode and decode to the same value.

#include <cstdlib>

#include "platform/settings/SettingValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = zorva::decodeSettingValue(text);
  if (!value) return 0;
  const std::string encoded = zorva::encodeSettingValue(*value);
  if (encoded.empty()) return 0;
  const auto again = zorva::decodeSettingValue(encoded);
  if (!again || !(*again == *value)) std::abort();
  return 0;
}
