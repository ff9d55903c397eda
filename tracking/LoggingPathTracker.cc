#include "tracking/LoggingPathTracker.h"

#include "service/Log.h"

namespace zorva {

void LoggingPathTracker::open(std::string_view path, const struct stat& status, int32_t pid,
                              const OptionalString& exec, uint32_t flags) {
  ZorvaLog("open: %@ size %ld pid %d exec %@ flags %d", path, static_cast<int64_t>(status.st_size),
           pid, exec, flags);
}

void LoggingPathTracker::close(std::string_view path, const struct stat& status, int32_t pid,
                               const OptionalString& exec, bool isModified) {
  ZorvaLog("close: %@ size %ld pid %d exec %@ modified %@", path,
           static_cast<int64_t>(status.st_size), pid, exec, isModified);
}

void LoggingPathTracker::source(std::string_view source, const OptionalString& dest,
                                bool eitherDirection, bool bothModified, const OptionalString& exec,
                                std::string_view type) {
  ZorvaLog("%@: %@ -> %@ either %@ both %@ exec %@", type, source, dest, eitherDirection,
           bothModified, exec);
}

void LoggingPathTracker::modify(const OptionalString& path, const OptionalString& exec,
                                std::string_view type) {
  ZorvaLog("%@: %@ exec %@", type, path, exec);
}

}  // namespace zorva
