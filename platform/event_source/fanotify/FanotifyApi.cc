#include "platform/event_source/fanotify/FanotifyApi.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace zorva {

int SystemFanotifyApi::init(unsigned flags, unsigned eventFlags) {
  return fanotify_init(flags, eventFlags);
}

int SystemFanotifyApi::mark(int group, unsigned flags, uint64_t mask, const std::string& path) {
  return fanotify_mark(group, flags, mask, AT_FDCWD, path.c_str());
}

ssize_t SystemFanotifyApi::read(int fd, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

int SystemFanotifyApi::close(int fd) { return ::close(fd); }

int SystemFanotifyApi::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }

int SystemFanotifyApi::stat(const std::string& path, struct stat* status) {
  return ::lstat(path.c_str(), status);
}

int SystemFanotifyApi::openByHandle(int mountFd, const std::vector<unsigned char>& handle) {
  // Copied into storage aligned for struct file_handle; the record's bytes need not be.
  std::vector<unsigned int> aligned((handle.size() + sizeof(unsigned int) - 1) /
                                    sizeof(unsigned int));
  std::memcpy(aligned.data(), handle.data(), handle.size());
  return open_by_handle_at(mountFd, reinterpret_cast<file_handle*>(aligned.data()),
                           O_PATH | O_CLOEXEC);
}

int SystemFanotifyApi::openPath(const std::string& path) {
  // open_by_handle_at refuses O_PATH descriptors as the mount to open from.
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::optional<std::string> SystemFanotifyApi::readLink(const std::string& path) {
  // Paths of open files can exceed PATH_MAX; the kernel gives up to a page.
  std::string target(size_t{2} * PATH_MAX, '\0');
  ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<size_t>(length) == target.size()) return std::nullopt;
  target.resize(static_cast<size_t>(length));
  return target;
}

std::optional<std::string> SystemFanotifyApi::readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Read to the end: the mount table of a machine with containers runs to many pages.
  std::string text;
  char chunk[16384];
  for (;;) {
    ssize_t length = ::read(fd, chunk, sizeof chunk);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      ::close(fd);
      if (length < 0) return std::nullopt;
      return text;
    }
    text.append(chunk, static_cast<size_t>(length));
  }
}

std::optional<uint64_t> SystemFanotifyApi::filesystemId(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return std::nullopt;
  uint64_t id;
  static_assert(sizeof id == sizeof info.f_fsid);
  std::memcpy(&id, &info.f_fsid, sizeof id);
  return id;
}

}  // namespace zorva
