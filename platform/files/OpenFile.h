#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zorva {

// A descriptor of a file as a process had it open, kept by the service so that the bytes the
// process saw can still be read after the file was renamed or removed. Closed when the last
// reference goes; whoever made it says how.
class OpenFile {
 public:
  using Closer = std::function<void(int)>;

  OpenFile(int fd, Closer closer) : _fd(fd), _closer(std::move(closer)) {}
  ~OpenFile() {
    if (_fd >= 0 && _closer) _closer(_fd);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  int fd() const { return _fd; }

 private:
  const int _fd;
  const Closer _closer;
};

using SharedOpenFile = std::shared_ptr<const OpenFile>;

// A file to compare: by its descriptor when one is held, else by its path.
struct ComparedFile {
  ComparedFile(std::string path, SharedOpenFile opened = {})  // NOLINT(google-explicit-constructor)
      : path(std::move(path)), opened(std::move(opened)) {}

  std::string path;
  SharedOpenFile opened;
};

}  // namespace zorva
