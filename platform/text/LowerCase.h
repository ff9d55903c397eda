#pragma once

#include <string>
#include <string_view>

namespace zorva {

// The full Unicode lower-case mapping of UTF-8 text, the same in every locale (so a Turkish or
// Lithuanian system locale cannot change which paths match a watch root). A letter's lower case
// may be longer than the letter ("İ" becomes "i̇"), so the result's length may differ from the
// input's. Text that is not UTF-8 is returned unchanged.
std::string lowerCase(std::string_view text);

// The same into `out`, replacing its contents and reusing its storage: for the per-event path,
// where most paths are looked up once and dropped.
void lowerCaseInto(std::string& out, std::string_view text);

}  // namespace zorva
