#pragma once

#include <string>

namespace zorva {

// A new random (version 4) UUID in upper case, as "0F8FAD5B-D9CB-469F-A165-70867728950E".
std::string randomUuid();

}  // namespace zorva
