#pragma once

#include <sys/types.h>

#include <string_view>

namespace zorva {

// Linux has no "part of the operating system" flag on executables. The nearest trustworthy fact
// is that only root could have put the file there: owned by root, writable by nobody else, and
// in a system folder.
bool isPlatformExecutable(std::string_view path, uid_t owner, mode_t mode);

}  // namespace zorva
