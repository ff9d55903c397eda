#include "platform/event_source/PlatformExecutable.h"

#include <sys/stat.h>

#include <array>

namespace zorva {

bool isPlatformExecutable(std::string_view path, uid_t owner, mode_t mode) {
  static constexpr std::array<std::string_view, 4> kSystemPrefixes = {"/usr/", "/bin/", "/sbin/",
                                                                      "/lib"};
  if (owner != 0 || (mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  for (std::string_view prefix : kSystemPrefixes) {
    if (path.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace zorva
