#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zorva {

// The service's status for a person: a few aligned lines, the volumes and mounts as lists. Parts
// the status lacks (a subsystem that did not answer in time) are left out and named on a line of
// their own.
std::string describeStatus(const nlohmann::json& status);

}  // namespace zorva
