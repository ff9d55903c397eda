#include "platform/files/FileContentComparator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace zorva {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : _fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(_fd, other._fd);
    return *this;
  }
  ~UniqueFd() {
    // Not retried on EINTR: on Linux the descriptor is released even then, and a retry could
    // close one that another thread has just been given.
    if (_fd >= 0) close(_fd);
  }

  int get() const { return _fd; }
  explicit operator bool() const { return _fd >= 0; }

 private:
  int _fd;
};

int openRetrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens `path` only if it is a regular file, and gives its size as the open file reports it.
UniqueFd openRegular(const std::string& path, off_t* size) {
  // Opening a device node can act by itself (a watchdog arms, a tape rewinds) and a symlink on a
  // watched volume can point at one, so anything but a regular file is refused before the open.
  // The fstat of the open file below is the check that counts; this one narrows the window for
  // swapping the path in between.
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return UniqueFd();

  // Non-blocking so that a FIFO swapped in after the stat cannot hold the queue waiting for a
  // writer. Reading must not touch access times the user sees, but the kernel refuses O_NOATIME
  // on another user's file without CAP_FOWNER.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = openRetrying(path, flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = openRetrying(path, flags);
  UniqueFd file(fd);
  if (!file || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return UniqueFd();
  // Some file systems (FUSE among them) pass O_NONBLOCK on and may answer EAGAIN to a read.
  const int fileFlags = fcntl(fd, F_GETFL);
  if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) return UniqueFd();
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only; a refusal changes nothing
  *size = status.st_size;
  return file;
}

ssize_t preadRetrying(int fd, char* buffer, size_t length, off_t offset) {
  ssize_t count;
  do {
    count = pread(fd, buffer, length, offset);
  } while (count < 0 && errno == EINTR);
  return count;
}

// True when `length` bytes were read from `offset`; false when the file ended first or a read
// failed. Positioned reads: a held descriptor may be shared, and its offset is not ours.
bool readBlock(int fd, char* buffer, size_t length, off_t offset) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t count =
        preadRetrying(fd, buffer + filled, length - filled, offset + static_cast<off_t>(filled));
    if (count <= 0) return false;
    filled += static_cast<size_t>(count);
  }
  return true;
}

bool atEnd(int fd, char* scratch, off_t offset) {
  return preadRetrying(fd, scratch, 1, offset) == 0;
}

// The descriptor to read a file through and its size: the held one when there is one, else one
// opened by path (kept in `owned`).
int descriptorOf(const ComparedFile& file, UniqueFd* owned, off_t* size) {
  if (file.opened) {
    struct stat status;
    if (fstat(file.opened->fd(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    *size = status.st_size;
    return file.opened->fd();
  }
  *owned = openRegular(file.path, size);
  return owned->get();
}

}  // namespace

FileContentComparator::FileContentComparator(size_t blockSize)
    : _blockSize(std::max<size_t>(blockSize, 1)),
      _buffers(std::make_unique_for_overwrite<char[]>(2 * _blockSize)) {}

bool FileContentComparator::contentsEqual(const ComparedFile& a, const ComparedFile& b) {
  off_t size = 0;
  off_t otherSize = 0;
  UniqueFd ownedA;
  UniqueFd ownedB;
  const int fdA = descriptorOf(a, &ownedA, &size);
  if (fdA < 0) return false;
  const int fdB = descriptorOf(b, &ownedB, &otherSize);
  if (fdB < 0 || size != otherSize) return false;

  char* blockA = _buffers.get();
  char* blockB = blockA + _blockSize;
  // The loop is bounded by the size fstat gave, not by end of file, so a file that keeps growing
  // cannot keep the queue reading; a file that shrinks ends early and fails its block.
  for (off_t offset = 0; offset < size;) {
    const size_t length =
        static_cast<size_t>(std::min(size - offset, static_cast<off_t>(_blockSize)));
    if (!readBlock(fdA, blockA, length, offset) || !readBlock(fdB, blockB, length, offset) ||
        std::memcmp(blockA, blockB, length) != 0) {
      return false;
    }
    offset += static_cast<off_t>(length);
  }
  // Bytes past the size were never compared: the file grew during the comparison, or it is one
  // whose fstat size is not its length (procfs reports 0).
  return atEnd(fdA, blockA, size) && atEnd(fdB, blockB, size);
}

}  // namespace zorva
