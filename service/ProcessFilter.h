#pragma once

#include <optional>
#include <string>

#include "platform/event_source/EndpointSecurity.h"

namespace zorva {

// Whether the acting process is one whose file activity the service ignores: the client
// application, and a fixed set of platform daemons. The executable path (nothing when it is not
// UTF-8) is written to *executablePath in every case, ignored or not.
bool ignoreProcess(const es_process_t& process, std::optional<std::string>* executablePath);

}  // namespace zorva
