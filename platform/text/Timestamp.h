#pragma once

#include <chrono>
#include <string>

namespace zorva {

// A time as both services expect it on the wire: "2026-12-06T10:41:01Z", whole seconds in UTC,
// whatever the machine's time zone or locale.
std::string wireTimestamp(std::chrono::system_clock::time_point time);

}  // namespace zorva
